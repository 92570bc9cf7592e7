// Back-to-back kvoIO::readIO calls of 2016 bytes against kvoctlsim: the
// ceiling of the web relay. Streams a /bench/<bytes> answer through one
// connection byte, then times empty reads (nothing ready).
#include <chrono>
#include <cstdio>
#include <string>

#include "SimulatorProcess.h"
#include "controller/kvoIO.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    const size_t bodyBytes = argc > 1 ? std::stoul(argv[1]) : 64u * 1024 * 1024;
    kvotest::SimulatorProcess::Options options;
    options.controllers = 1;
    options.transcript = false;
    kvotest::SimulatorProcess sim(options);
    if (!sim.ok()) {
        std::fprintf(stderr, "simulator did not start:\n%s", sim.Log().c_str());
        return 1;
    }
    sim.ExportDriverDir();
    kvoIO* io = kvoIO::GetInstance();
    io->initialize();
    if (io->getControllerCount() != 1) return 1;

    const std::string request = "GET /bench/" + std::to_string(bodyBytes) + " HTTP/1.1\r\n\r\n";
    io->writeIO(0, 2, 1, "Socket connect!", 16);
    io->writeIO(0, 2, 1, request.data(), static_cast<unsigned>(request.size()));

    char buf[2016];
    size_t moved = 0, calls = 0, empty = 0;
    const size_t expected = bodyBytes + 100;  // body plus a head of about 150 bytes
    auto start = std::chrono::steady_clock::now();
    while (moved < expected) {
        int n = io->readIO(0, 2, 1, buf, sizeof buf);
        ++calls;
        if (n < 0) return 1;
        if (n == 0 && ++empty > 1000) break;  // the answer is complete
        moved += static_cast<size_t>(n);
    }
    double t = Seconds(std::chrono::steady_clock::now() - start);
    std::printf("readIO 2016 bytes, data-carrying: %zu calls, %.0f calls/s, %.1f MB/s (%zu bytes in %.3f s)\n",
                calls, calls / t, moved / t / 1e6, moved, t);

    const size_t emptyCalls = 50000;
    start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < emptyCalls; ++i) io->readIO(0, 2, 1, buf, sizeof buf);
    t = Seconds(std::chrono::steady_clock::now() - start);
    std::printf("readIO 2016 bytes, nothing ready:  %zu calls, %.0f calls/s, %.1f us/call\n",
                emptyCalls, emptyCalls / t, t / emptyCalls * 1e6);
    io->writeIO(0, 2, 1, "Socket disconnect!", 19);
    io->terminate();
    return 0;
}
