// SimOptions: the simulator's command line. A plain value filled once by
// ParseSimOptions on the main thread.
#pragma once

#include <string>
#include <vector>

struct SimOptions {
    std::string dir;                        // driver directory
    int controllers = 2;                    // per class
    std::vector<std::string> classes;       // driver class names, in order
    std::string transcript;                 // JSON-lines file, empty = none
    int eventsEvery = 0;                    // seconds between generated events, 0 = none
    bool bigEndian = false;                 // 32-bit pass-through fields big-endian
    // SCSI-target mode: device nodes SGDIR/dev/sgN and their sysfs description
    // SGDIR/sys instead of driver sockets; empty = driver mode.
    std::string sgDir;
};

// Fills `options` from argv; false with `error` set on a bad command line.
bool ParseSimOptions(int argc, char** argv, SimOptions& options, std::string& error);
const char* SimUsage();
