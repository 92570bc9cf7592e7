#include "sim/SimOptions.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

bool ParseCount(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

bool ValidClassName(const std::string& name) {
    if (name.empty() || name.size() > 100) return false;
    for (char c : name)
        if (c == '/' || c == ',' || c <= ' ') return false;
    return true;
}

}  // namespace

const char* SimUsage() {
    return "usage: kvoctlsim [--dir DIR] [--controllers N] [--class NAME[,NAME...]]\n"
           "                 [--transcript FILE] [--events-every SECONDS] [--big-endian]\n"
           "                 [--sg SGDIR]\n"
           "--sg: SCSI-target mode: device nodes SGDIR/dev/sgN (sockets) described by the\n"
           "      sysfs tree SGDIR/sys, in place of the driver sockets\n"
           "Control socket DIR/control, one command a line (answer: ok ... | error: ...):\n"
           "  ping | help | stats N\n"
           "  event N I|W|E now|YYYY-MM-DDTHH:MM:SS TEXT   queue an event\n"
           "  bad-event N          queue a reply that is not an event\n"
           "  probe N ok|fail      control code 0 succeeds or fails (default fail)\n"
           "  fail-open N K        selector 0 fails the next K times\n"
           "  refuse-connect N     the next connect message is taken with 0 bytes\n"
           "  pull N | plug N      every transfer fails / works again\n"
           "  delay N MS           web answers become ready MS milliseconds late\n"
           "  zero-returned N      the next driver call returns 0 bytes\n"
           "  overlong N           the next read reply claims 4096 bytes more than asked\n"
           "  hold N MS [SELECTOR] the next reply (to SELECTOR 0-2 only) waits MS ms\n"
           "SCSI-target mode only:\n"
           "  sense N KEY ASC ASCQ the next command ends in CHECK CONDITION (hex values)\n"
           "  short N              the next WRITE BUFFER takes only half its bytes\n"
           "  vanish N | appear N  the device node goes away (connections cut) / returns\n";
}

bool ParseSimOptions(int argc, char** argv, SimOptions& options, std::string& error) {
    const char* envDir = std::getenv("KVOOMX_DRIVER_DIR");
    options.dir = (envDir && *envDir) ? envDir : "/run/kvoomx/driver";
    options.classes.clear();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) {
                error = "missing value for " + arg;
                return false;
            }
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (arg == "--big-endian") {
            options.bigEndian = true;
        } else if (arg == "--dir") {
            if (!value(v)) return false;
            options.dir = v;
        } else if (arg == "--controllers") {
            if (!value(v)) return false;
            if (!ParseCount(v, 0, 64, options.controllers)) {
                error = "--controllers takes 0 to 64";
                return false;
            }
        } else if (arg == "--class") {
            if (!value(v)) return false;
            std::stringstream list(v);
            std::string name;
            while (std::getline(list, name, ',')) {
                if (!ValidClassName(name)) {
                    error = "bad class name '" + name + "'";
                    return false;
                }
                options.classes.push_back(name);
            }
        } else if (arg == "--sg") {
            if (!value(v)) return false;
            if (!*v) {
                error = "--sg takes a directory";
                return false;
            }
            options.sgDir = v;
        } else if (arg == "--transcript") {
            if (!value(v)) return false;
            options.transcript = v;
        } else if (arg == "--events-every") {
            if (!value(v)) return false;
            if (!ParseCount(v, 0, 86400, options.eventsEvery)) {
                error = "--events-every takes 0 to 86400 seconds";
                return false;
            }
        } else if (arg == "--help" || arg == "-h") {
            error = "";
            return false;
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (options.classes.empty()) options.classes.push_back("QZQRMController");
    return true;
}
