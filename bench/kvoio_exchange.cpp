// Whole HTTP exchanges made straight through kvoIO against kvoctlsim, reading
// back to back with no sleeps: the floor that the web relay is measured
// against. One connection byte is announced once; then COUNT times: write the
// request for /bench/<BYTES>, read until the whole answer is in.
//
// Usage: bench_kvoio_exchange BYTES [COUNT] [DELAY_MS]
//   DELAY_MS makes the simulated firmware answer that many milliseconds late.
// Prints one line: median and best exchange time, driver reads per exchange.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SimulatorProcess.h"
#include "controller/kvoIO.h"

namespace {

constexpr unsigned kConnection = 1;

// Reads one answer with a Content-Length; false when the controller fails.
// Only the head is kept; body bytes are counted.
bool ReadAnswer(kvoIO* io, size_t& reads) {
    std::string head;
    size_t want = std::string::npos, got = 0;
    char buf[2016];
    while (want == std::string::npos || got < want) {
        int n = io->readIO(0, 2, kConnection, buf, sizeof buf);
        ++reads;
        if (n < 0) return false;
        got += static_cast<size_t>(n);
        if (want != std::string::npos) continue;
        head.append(buf, static_cast<size_t>(n));
        size_t end = head.find("\r\n\r\n");
        size_t at = head.find("Content-Length: ");
        if (end != std::string::npos && at != std::string::npos)
            want = end + 4 + std::strtoul(head.c_str() + at + 16, nullptr, 10);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BYTES [COUNT] [DELAY_MS]\n", argv[0]);
        return 2;
    }
    const unsigned long bytes = std::strtoul(argv[1], nullptr, 10);
    const int count = argc > 2 ? std::atoi(argv[2]) : 20;
    const int delayMs = argc > 3 ? std::atoi(argv[3]) : 0;

    kvotest::SimulatorProcess::Options options;
    options.controllers = 1;
    options.transcript = false;
    kvotest::SimulatorProcess sim(options);
    if (!sim.ok()) {
        std::fprintf(stderr, "simulator did not start:\n%s", sim.Log().c_str());
        return 1;
    }
    if (delayMs > 0 && sim.Command("delay 0 " + std::to_string(delayMs)).rfind("ok", 0) != 0) return 1;
    sim.ExportDriverDir();
    kvoIO* io = kvoIO::GetInstance();
    io->initialize();
    if (io->getControllerCount() != 1) return 1;

    const std::string request =
        "GET /bench/" + std::to_string(bytes) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    io->writeIO(0, 2, kConnection, "Socket connect!", 16);
    std::vector<double> ms;
    size_t reads = 0;
    for (int i = 0; i < count + 1; ++i) {
        size_t r = 0;
        auto start = std::chrono::steady_clock::now();
        io->writeIO(0, 2, kConnection, request.data(), static_cast<unsigned>(request.size()));
        if (!ReadAnswer(io, r)) return 1;
        double t = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (i == 0) continue;  // warm-up
        ms.push_back(t);
        reads += r;
    }
    io->writeIO(0, 2, kConnection, "Socket disconnect!", 19);
    io->terminate();
    std::sort(ms.begin(), ms.end());
    std::printf("floor /bench/%lu delay %d ms: median %.3f ms best %.3f ms reads/exchange %.1f\n", bytes,
                delayMs, ms[ms.size() / 2], ms.front(), static_cast<double>(reads) / ms.size());
    return 0;
}
