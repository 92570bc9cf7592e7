// Process entry of the service: foreground or daemon mode, the main thread
// function and the termination signals. The signal handlers only set flags and
// write one byte to a pipe; the initial thread, woken by that byte, runs the
// shutdown as ordinary code (locks, output and deletes are not safe inside a
// handler). The globals are owned here and live for the whole process.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "service/SvrManager.h"

class SvrManager;

extern SvrManager* pServerManager;     // set once by kvomainthread, never freed
extern std::atomic<int> shutdownFlag;  // 1 once every server has been shut down
extern std::atomic<int> sig_handed;    // 1 from the first SIGINT/SIGTERM on

// True when argv[1] begins with "-NODAEMON" in any case (nine characters compared).
bool KvoIsForegroundMode(int argc, char** argv);

// What the command line asks for. Every argument must be understood: an
// unknown one (a typo) starts nothing.
struct KvoCommandLine {
    enum Action { kRun, kHelp, kVersion, kCheckConfig, kUsageError };
    Action action = kRun;
    bool foreground = false;  // -NODAEMON (any case, nine characters compared)
    bool journal = false;     // --journal: "<N>" priority prefixes on standard output
    bool verbose = false;     // --verbose: per-transfer trace lines too
    std::string unknown;      // the argument that was not understood
};
KvoCommandLine KvoParseCommandLine(int argc, char** argv);

// Timings of the whole service, the standard values by default; main builds
// them once and hands them down to the manager and its components.
struct ServiceOptions {
    // Nothing is created or listens before this pause has passed.
    std::chrono::milliseconds startPause{2000};
    SvrManagerOptions manager;
};

// The options, shortened where the test-only variable KVOOMX_TEST_TIMINGS
// asks for it ("startpause=0,rescan=200": names and milliseconds, comma
// separated); the standard values when it is unset. Unknown names and bad
// numbers are ignored.
ServiceOptions KvoServiceOptions(const char* testTimings);

// Waits the start pause, creates, initialises and runs the manager, then
// serves until a termination signal has been handled. Returns 0.
int kvomainthread(const ServiceOptions& options);

// Installs SIGINT and SIGTERM (sig_handle), then SIGPIPE (sig_pipe_handle).
void KVO_SET_ON_EXIT_HANDLER();
void sig_handle(int sig);
void sig_pipe_handle(int sig);

// The whole process: command line, mode choice, daemonising, kvomainthread,
// _exit (status 0; 1 when a server could not listen; 2 for a bad command line). Never returns.
[[noreturn]] void KvoServiceMain(int argc, char** argv);
