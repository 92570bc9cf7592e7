#include "service/ServiceMain.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "framework/Console.h"
#include "service/ConfigCheck.h"
#include "service/SvrManager.h"

// Both come from the build (cmake/KvoInstall.cmake).
#ifndef KVO_VERSION
#define KVO_VERSION "unknown"
#endif
#ifndef KVO_STATE_DIR
#define KVO_STATE_DIR "/var/lib/kvoomx"
#endif

SvrManager* pServerManager = nullptr;
std::atomic<int> shutdownFlag{0};
std::atomic<int> sig_handed{0};

static_assert(std::atomic<int>::is_always_lock_free, "flags are touched from signal handlers");

namespace {

// Self-pipe from the termination handler to the initial thread.
int g_wakePipe[2] = {-1, -1};

void OpenWakePipe() {
    if (g_wakePipe[0] != -1) return;
    if (pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wakePipe[0] = g_wakePipe[1] = -1;
}

void InstallHandler(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, nullptr);
}

// The shutdown proper, run on the initial thread once a termination signal
// has been seen: every server in creation order, then the flag.
void RunShutdown() {
    if (pServerManager) pServerManager->terminate();
    shutdownFlag = 1;
}

// Wakes the initial thread; async-signal-safe (the pipe never blocks).
void WakeInitialThread() {
    if (g_wakePipe[1] == -1) return;
    int saved = errno;
    char one = 1;
    if (write(g_wakePipe[1], &one, 1) < 0) {
        // Full: a wake-up is pending anyway.
    }
    errno = saved;
}

// Sleeps until a signal handler has written to the pipe or `timeoutMs` has
// passed (-1: no limit); true when a handler woke it. Without the pipe it
// falls back to looking every 100 ms.
bool WaitForSignalNews(int timeoutMs) {
    if (g_wakePipe[0] == -1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return true;
    }
    pollfd p{g_wakePipe[0], POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    char drain[16];
    while (read(g_wakePipe[0], drain, sizeof drain) > 0) {
    }
    return true;
}

[[noreturn]] void DaemonError() {
    Console::PrintLevel(Console::kError, "Daemon error\n");
    exit(-1);
}

// Double fork; only the grandchild returns, detached, with 0-2 on /dev/null.
void Daemonise() {
    pid_t pid = fork();
    if (pid < 0) DaemonError();
    if (pid > 0) _exit(0);
    if (setsid() < 0) DaemonError();
    pid = fork();
    if (pid < 0) DaemonError();
    if (pid > 0) _exit(0);
    if (chdir("/") != 0) {
        // Results are not acted upon: the service runs on regardless.
    }
    close(0);
    close(1);
    close(2);
    int fd = open("/dev/null", O_RDWR);
    if (dup(fd) < 0 || dup(fd) < 0) {
    }
    // No console any more: its lines are kept by syslog instead of /dev/null.
    Console::UseSyslog();
}

bool IsForegroundOption(const char* argument) {
    return argument && strncasecmp(argument, "-NODAEMON", 9) == 0;
}

void PrintUsage(FILE* to) {
    fputs("Usage: kvoomxsvr [-NODAEMON [--journal]] [--verbose]\n"
          "       kvoomxsvr --check-config | --help | --version\n"
          "RAID controller host daemon: web relay, configuration pages, event notification.\n"
          "  (no option)     run as a daemon; lines go to syslog (facility daemon)\n"
          "  -NODAEMON       run in the foreground; lines go to standard output\n"
          "  --journal       begin every line with its priority (<N>), for systemd's journal\n"
          "  --verbose       also log every transfer to a controller (\"DevIOCtl success N\")\n"
          "  --check-config  read both settings files and the web root, report problems,\n"
          "                  exit 0 when there are none, else 1; starts nothing\n"
          "  --help          show this text\n"
          "  --version       show the version\n"
          "Files: $KVOOMX_HOME (default " KVO_STATE_DIR ") holds kvoomxsvr.conf and\n"
          "kvoomxemail.conf; the driver's services are in $KVOOMX_DRIVER_DIR\n"
          "(default /run/kvoomx/driver).\n",
          to);
}

// Answers --help, --version, --check-config and a bad command line, and ends
// the process; returns for a command line that runs the service.
void HandleCommandLineOnly(const KvoCommandLine& line) {
    switch (line.action) {
        case KvoCommandLine::kRun:
            return;
        case KvoCommandLine::kHelp:
            PrintUsage(stdout);
            exit(0);
        case KvoCommandLine::kVersion:
            printf("kvoomxsvr %s\n", KVO_VERSION);
            exit(0);
        case KvoCommandLine::kCheckConfig:
            exit(ConfigCheck().Run(stdout) ? 0 : 1);
        case KvoCommandLine::kUsageError:
            fprintf(stderr, "kvoomxsvr: unknown option \"%s\"\n", line.unknown.c_str());
            PrintUsage(stderr);
            exit(2);
    }
}

// Where console lines go and which are written, from the command line.
void ApplyConsoleOptions(const KvoCommandLine& line) {
    if (line.journal) Console::UseJournalPrefixes();
    Console::SetTraceLines(line.verbose);
}

// A server that cannot listen (address or port unusable) ends the process
// with status 1, so a supervisor sees the failure instead of an idle process.
void ExitWhenStartFailed(int runResult) {
    if (runResult == 0) return;
    Console::PrintLevel(Console::kError,
                        "kvoomxsvr stops: a server could not listen (see above)\n");
    pServerManager->terminate();
    fflush(stdout);
    _exit(1);
}

}  // namespace

namespace {
void ApplyTestTiming(ServiceOptions& options, const std::string& name, std::chrono::milliseconds value) {
    const int ms = static_cast<int>(std::min<long long>(value.count(), INT_MAX));
    if (name == "startpause") {
        options.startPause = value;
    } else if (name == "rescan") {
        options.manager.rescanInterval = value;
    } else if (name == "mailwait") {
        options.manager.mail.waitBound = value;
    } else if (name == "shutdownround") {
        options.manager.configServer.shutdownRoundMs = ms;
        options.manager.relayServer.shutdownRoundMs = ms;
    }
}
}  // namespace

bool KvoIsForegroundMode(int argc, char** argv) { return argc >= 2 && IsForegroundOption(argv[1]); }

KvoCommandLine KvoParseCommandLine(int argc, char** argv) {
    KvoCommandLine line;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i] ? argv[i] : "";
        if (IsForegroundOption(argv[i])) line.foreground = true;
        else if (argument == "--journal") line.journal = true;
        else if (argument == "--verbose") line.verbose = true;
        else if (argument == "--help" || argument == "-h") line.action = KvoCommandLine::kHelp;
        else if (argument == "--version") line.action = KvoCommandLine::kVersion;
        else if (argument == "--check-config") line.action = KvoCommandLine::kCheckConfig;
        else {
            line.action = KvoCommandLine::kUsageError;
            line.unknown = argument;
            return line;
        }
    }
    return line;
}

void sig_handle(int) {
    if (sig_handed) return;
    sig_handed = 1;
    WakeInitialThread();
}

// Never re-raises: to a console whose reader has gone the line is dropped.
void sig_pipe_handle(int) {
    static const char line[] = "Handle SIGPIPE\n";
    Console::WriteFromSignalHandler(line, sizeof line - 1);
    // In syslog mode the line waits for the initial thread.
    if (Console::UsesSyslog()) WakeInitialThread();
}

void KVO_SET_ON_EXIT_HANDLER() {
    OpenWakePipe();
    InstallHandler(SIGINT, sig_handle);
    InstallHandler(SIGTERM, sig_handle);
    InstallHandler(SIGPIPE, sig_pipe_handle);
}

ServiceOptions KvoServiceOptions(const char* testTimings) {
    ServiceOptions options;
    std::string text = testTimings ? testTimings : "";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(start, end - start);
        start = end + 1;
        size_t equals = item.find('=');
        if (equals == std::string::npos) continue;
        char* rest = nullptr;
        const std::string value = item.substr(equals + 1);
        long ms = strtol(value.c_str(), &rest, 10);
        if (value.empty() || *rest != '\0' || ms < 0) continue;
        ApplyTestTiming(options, item.substr(0, equals), std::chrono::milliseconds(ms));
    }
    return options;
}

int kvomainthread(const ServiceOptions& options) {
    std::this_thread::sleep_for(options.startPause);
    pServerManager = new SvrManager(options.manager);  // the one manager; never freed
    // After the manager exists (the handler's work needs it) and before any
    // server can send to a client (SIGPIPE must not end the process).
    KVO_SET_ON_EXIT_HANDLER();
    pServerManager->initialize();
    ExitWhenStartFailed(pServerManager->run());
    // Sleeps until a handler has news: no wake-ups while the service idles.
    while (shutdownFlag == 0) {
        if (WaitForSignalNews(-1) && sig_handed) RunShutdown();
        Console::FlushDeferred();
    }
    return 0;
}

void KvoServiceMain(int argc, char** argv) {
    // Console lines must come out whole and at once, also into a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    KvoCommandLine line = KvoParseCommandLine(argc, argv);
    HandleCommandLineOnly(line);
    ApplyConsoleOptions(line);
    if (!line.foreground) Daemonise();
    kvomainthread(KvoServiceOptions(getenv("KVOOMX_TEST_TIMINGS")));
    fflush(stdout);
    _exit(0);
}
