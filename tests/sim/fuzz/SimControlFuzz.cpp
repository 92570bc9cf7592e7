// Harness: the simulator's control commands, one per line as the control
// socket takes them. Every command gets one answer line, "ok..." or
// "error: ...", and a command that was refused changes nothing visible in
// "stats".
#include <string>

#include "fuzz/FuzzInput.h"
#include "sim/Simulator.h"

using namespace kvofuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    SimOptions options;
    options.dir = "/nonexistent";  // never started: no sockets
    options.controllers = 1 + input.Byte() % 2;
    options.classes = {"QZQRMController"};
    Simulator sim(options);
    std::string rest = input.Rest();
    size_t start = 0;
    int lines = 0;
    while (start <= rest.size() && lines++ < 64) {
        size_t end = rest.find('\n', start);
        if (end == std::string::npos) end = rest.size();
        std::string line = rest.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string before = sim.Execute("stats 0");
        std::string answer = sim.Execute(line);
        Expect(answer.find('\n') == std::string::npos, "an answer of more than one line");
        Expect(answer.compare(0, 2, "ok") == 0 || answer.compare(0, 7, "error: ") == 0, "answer neither ok nor error");
        if (answer.compare(0, 7, "error: ") == 0) Expect(sim.Execute("stats 0") == before, "a refused command changed something");
    }
    return 0;
}
