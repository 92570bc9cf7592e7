// Connection throughput of a GenericServer with an echo responder, and the
// memory and thread cost of 63 connected clients. Prints figures; not a test.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "server/EchoResponser.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"

namespace {

using namespace std::chrono;

FILE* g_report = stderr;  // the real standard output; the servers' lines go to /dev/null

long StatusField(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t len = strlen(name);
    while (std::getline(in, line))
        if (line.compare(0, len, name) == 0) return atol(line.c_str() + len + 1);
    return -1;
}

std::unique_ptr<GenericServer> MakeServer(int port) {
    auto server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port, 0),
                                                  std::make_unique<kvotest::EchoResponser>(), 0, 0);
    server->Run();
    return server;
}

bool EchoOnce(int port) {
    int fd = kvotest::ConnectLoopback(port);
    if (fd < 0) return false;
    const char msg[] = "0123456789abcdef";
    bool ok = send(fd, msg, 16, MSG_NOSIGNAL) == 16;
    char buf[16];
    size_t got = 0;
    while (ok && got < 16) {
        ssize_t n = recv(fd, buf + got, 16 - got, 0);
        if (n <= 0) ok = false;
        else got += static_cast<size_t>(n);
    }
    close(fd);
    return ok;
}

void ConnectionsPerSecond(int clientThreads, double seconds) {
    int port = kvotest::FreeTcpPort();
    auto server = MakeServer(port);
    std::atomic<long> done{0}, failed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    auto start = steady_clock::now();
    for (int i = 0; i < clientThreads; ++i)
        threads.emplace_back([&] {
            while (!stop) (EchoOnce(port) ? done : failed)++;
        });
    std::this_thread::sleep_for(duration<double>(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    double took = duration<double>(steady_clock::now() - start).count();
    kvotest::WaitUntil([&] { return server->GetClientCount() == 0; });
    server->ShutDown();
    fprintf(g_report, "connections/s with %d client thread(s): %.0f (echo of 16 bytes each, %ld dropped)\n",
            clientThreads, done / took, failed.load());
}

void SixtyThreeClients() {
    long rssBefore = StatusField("VmRSS:");
    long threadsBefore = StatusField("Threads:");
    std::vector<int> ports;
    std::vector<std::unique_ptr<GenericServer>> servers;
    for (int i = 0; i < 13; ++i) {
        ports.push_back(kvotest::FreeTcpPort());
        servers.push_back(MakeServer(ports.back()));
    }
    long rssServers = StatusField("VmRSS:");
    std::vector<int> fds;
    for (int c = 0; c < 63; ++c) {
        int port = ports[c % 13];
        int fd = kvotest::ConnectLoopback(port);
        send(fd, "x", 1, MSG_NOSIGNAL);
        char b;
        recv(fd, &b, 1, 0);  // served: both threads are up
        fds.push_back(fd);
    }
    long rssClients = StatusField("VmRSS:");
    long threadsClients = StatusField("Threads:");
    fprintf(g_report, "13 idle servers: RSS %ld kB -> %ld kB, threads %ld -> %ld\n", rssBefore, rssServers,
            threadsBefore, threadsBefore + 13);
    fprintf(g_report, "63 connected clients: RSS %ld kB (+%ld kB, %.1f kB per client), threads %ld\n", rssClients,
            rssClients - rssServers, double(rssClients - rssServers) / 63, threadsClients);
    for (int fd : fds) close(fd);
    for (auto& s : servers) kvotest::WaitUntil([&] { return s->GetClientCount() == 0; });
    for (auto& s : servers) s->ShutDown();
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    // The servers' own console lines would drown the figures.
    g_report = fdopen(dup(STDOUT_FILENO), "w");
    setvbuf(g_report, nullptr, _IOLBF, 0);
    if (!g_report || !freopen("/dev/null", "w", stdout)) return 1;
    ConnectionsPerSecond(1, 3.0);
    ConnectionsPerSecond(4, 3.0);
    SixtyThreeClients();
    return 0;
}
