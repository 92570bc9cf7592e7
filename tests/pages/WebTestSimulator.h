// The two simulated controllers that every web test program shares: kvoIO is
// a process-wide singleton, so one simulator serves all test files of the
// program. Started on first use, on the main thread, and kept to the end.
#pragma once

#include <memory>

#include "SimulatorProcess.h"
#include "controller/kvoIO.h"

namespace kvotest {

inline SimulatorProcess* WebTestSimulator() {
    static std::unique_ptr<SimulatorProcess> sim;
    if (!sim) {
        sim = std::make_unique<SimulatorProcess>(2);
        if (sim->ok()) {
            sim->ExportDriverDir();
            kvoIO::GetInstance()->initialize();
        }
    }
    return sim.get();
}

}  // namespace kvotest
