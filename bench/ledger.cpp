// The event ledger and the poller's share of an event: events committed per
// second (WAL, synchronous=FULL: every commit is synced), and the time an
// event holds the poller with the mail sent inline (as it used to be)
// against committed and handed to the delivery queue, both with a mail server
// that answers each command after 200 ms.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "TestSupport.h"
#include "ledger/DeliveryQueue.h"
#include "ledger/EventLedger.h"
#include "mail/ScriptedSmtpServer.h"
#include "notify/EmailCenter.h"
#include "notify/EventDispatcher.h"
#include "notify/KvoSnmpTrap.h"
#include "notify/MailChannel.h"

namespace {

LedgerEvent SampleEvent(int recipients) {
    LedgerEvent e;
    e.received = EventLedger::NowMs();
    e.controller = 0;
    e.level = 'E';
    e.eventTime = "2026-12-08 10:00:00";
    e.text = "Volume 'ARC-1883-VOL#000' failed";
    e.message = "At 2026-12-08 10:00:00 Controller 1:\r\n " + e.text;
    e.traps = {"127.0.0.1:162"};
    for (int i = 0; i < recipients; ++i) {
        LedgerDelivery d;
        d.kind = "mail";
        d.target = "ops" + std::to_string(i) + "@example.com";
        d.nextAttempt = e.received;
        e.deliveries.push_back(d);
    }
    return e;
}

void BM_CommitEvent(benchmark::State& state) {
    kvotest::TempDir dir;
    EventLedger ledger;
    ledger.Open(dir.file("events.db"));
    for (auto _ : state) {
        LedgerEvent e = SampleEvent(static_cast<int>(state.range(0)));
        benchmark::DoNotOptimize(ledger.Record(e));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CommitEvent)->Arg(0)->Arg(3)->UseRealTime();

// A mail server that waits 200 ms before each answer; one connection each.
std::unique_ptr<kvotest::ScriptedSmtpServer> SlowServer() {
    return std::make_unique<kvotest::ScriptedSmtpServer>([](kvotest::ScriptedConnection& c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        c.Send("220 slow\r\n");
        c.Serve([](const std::string& line) -> std::string {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (line.rfind("DATA", 0) == 0) return "354 go\r\n";
            return "250 ok\r\n";
        });
    });
}

void PointAt(EmailCenter& center, const kvotest::TempDir& dir, int port) {
    center.InitEmailCenter(dir.file("kvoomxemail.conf"));
    SMTP_SERVER_INFO info;
    std::strcpy(info.szSMTPServer, "127.0.0.1");
    info.uPort = static_cast<uint16_t>(port);
    std::strcpy(info.szMailFrom, "raid@sender.example");
    center.SetSMTPServer(&info);
    _MAIL_RECIPIENT_INFO r;
    std::strcpy(r.szMailAddress, "ops@example.com");
    r.byLevel = 7;
    center.EditRcpt(&r, RCPT_EDIT_ADD);
}

void BM_PollerTimePerEventMailInline(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        kvotest::TempDir dir;
        auto server = SlowServer();
        EmailCenter center;
        PointAt(center, dir, server->Port());
        KvoSnmpTrap trap;
        state.ResumeTiming();
        trap.SendTextTrap('E', "At ... Controller 1:\r\n failed");
        center.EventArrived('E', "At ... Controller 1:\r\n failed");
        state.PauseTiming();
        server->Join();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PollerTimePerEventMailInline)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PollerTimePerEventQueued(benchmark::State& state) {
    kvotest::TempDir dir;
    auto ledger = std::make_shared<EventLedger>();
    ledger->Open(dir.file("events.db"));
    auto queue = std::make_shared<DeliveryQueue>(ledger);
    KvoSnmpTrap trap;
    for (auto _ : state) {
        state.PauseTiming();
        auto server = SlowServer();
        EmailCenter center;
        PointAt(center, dir, server->Port());
        EventDispatcher dispatcher(trap, center, ledger, queue);
        queue->AddChannel(std::make_shared<MailChannel>(center));
        PolledEvent event;
        event.level = 'E';
        event.message = "At ... Controller 1:\r\n failed";
        state.ResumeTiming();
        dispatcher.EventArrived(event);
        state.PauseTiming();
        // The queue's thread delivers it meanwhile; served here so each round is alike.
        queue->Start();
        kvotest::WaitUntil([&] { return !ledger->NextDue().has_value(); }, std::chrono::seconds(20));
        queue->Stop();
        server->Join();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PollerTimePerEventQueued)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
