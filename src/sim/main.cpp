// kvoctlsim: plays the RAID controllers' kernel driver and firmware for the
// service on machines without controllers. Runs in the foreground until
// SIGINT or SIGTERM and removes its sockets when it ends.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sim/SimOptions.h"
#include "sim/Simulator.h"

namespace {

int g_stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    ssize_t ignored = write(g_stopPipe[1], &byte, 1);
    (void)ignored;
}

bool InstallSignals() {
    if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    if (!ParseSimOptions(argc, argv, options, error)) {
        if (!error.empty()) std::fprintf(stderr, "kvoctlsim: %s\n", error.c_str());
        std::fputs(SimUsage(), error.empty() ? stdout : stderr);
        return error.empty() ? 0 : 2;
    }
    if (!InstallSignals()) {
        std::perror("kvoctlsim: pipe");
        return 1;
    }
    Simulator simulator(options);
    if (!simulator.Start(error)) {
        std::fprintf(stderr, "kvoctlsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("kvoctlsim: %zu class(es) x %d controller(s) in %s, control socket %s/control\n",
                options.classes.size(), options.controllers, options.dir.c_str(),
                options.dir.c_str());
    std::fflush(stdout);
    simulator.Run(g_stopPipe[0]);
    std::printf("kvoctlsim: stopped\n");
    return 0;
}
