// What one webhook or hook delivery costs the delivery queue's thread: a generic
// JSON POST to a loopback receiver that answers 200 at once (connect, request,
// answer, close), and one run of a hook program that exits 0 (fork, exec of
// /bin/sh, wait), each through the queue's adapter with the ledger's event.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "notify/EventTargetChannel.h"
#include "notify/WebhookChannel.h"

namespace {

LedgerEvent SampleEvent() {
    LedgerEvent e;
    e.id = 42;
    e.received = EventLedger::NowMs();
    e.controller = 0;
    e.level = 'E';
    e.eventTime = "2026-12-08 10:00:00";
    e.text = "Volume 'ARC-1883-VOL#000' failed";
    return e;
}

// Answers every connection with 200 once the request's blank line has come.
class OkReceiver {
public:
    OkReceiver() : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_fd, 64);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~OkReceiver() {
        m_stop = true;
        shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        close(m_fd);
    }
    int port() const { return m_port; }

private:
    void Serve() {
        while (!m_stop) {
            int c = accept(m_fd, nullptr, nullptr);
            if (c < 0) continue;
            std::string request;
            char block[4096];
            ssize_t n;
            while (request.find("\r\n\r\n") == std::string::npos && (n = read(c, block, sizeof block)) > 0)
                request.append(block, static_cast<size_t>(n));
            // The body is small: it came with the head or is just behind it.
            const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nok\n";
            send(c, answer, sizeof answer - 1, MSG_NOSIGNAL);
            close(c);
        }
    }
    int m_fd;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

void BM_WebhookPost(benchmark::State& state) {
    OkReceiver receiver;
    auto channel = EventTargetChannel::Webhooks(std::chrono::seconds(10), [] { return std::string("bench"); });
    LedgerDelivery d;
    d.kind = EventTargetChannel::kWebhookKind;
    d.target = WebhookChannel::LedgerTarget("http://127.0.0.1:" + std::to_string(receiver.port()) + "/in",
                                            WebhookSettings::GENERIC);
    LedgerEvent event = SampleEvent();
    for (auto _ : state) {
        std::string peer;
        auto outcomes = channel->Deliver(event, {d}, peer);
        if (outcomes[0].result != DeliveryOutcome::Sent) state.SkipWithError(outcomes[0].reason.c_str());
    }
}
BENCHMARK(BM_WebhookPost)->Unit(benchmark::kMicrosecond);

void BM_HookRun(benchmark::State& state) {
    kvotest::TempDir dir;
    std::string hook = dir.file("10-ok");
    kvotest::WriteFileText(hook, "#!/bin/sh\nexit 0\n");
    chmod(hook.c_str(), 0755);
    auto channel = EventTargetChannel::Hooks(std::chrono::seconds(30), [] { return std::string("bench"); });
    LedgerDelivery d;
    d.kind = EventTargetChannel::kHookKind;
    d.target = hook;
    LedgerEvent event = SampleEvent();
    for (auto _ : state) {
        std::string peer;
        auto outcomes = channel->Deliver(event, {d}, peer);
        if (outcomes[0].result != DeliveryOutcome::Sent) state.SkipWithError(outcomes[0].reason.c_str());
    }
}
BENCHMARK(BM_HookRun)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
