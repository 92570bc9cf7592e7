#include "notify/CommandHookChannel.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

bool EndsWith(const std::string& text, const char* suffix) {
    size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool IsHookName(const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    for (const char* skipped : {"~", ".dpkg-old", ".dpkg-new", ".dpkg-dist", ".bak"}) {
        if (EndsWith(name, skipped)) return false;
    }
    return true;
}

// Keeps the first lines of a hook's output, up to a byte limit; the rest is read and dropped.
class OutputHead {
public:
    void Add(const char* data, size_t size) {
        for (size_t i = 0; i < size && !m_full; ++i) {
            if (data[i] == '\n' && ++m_lines >= CommandHookChannel::kOutputLines) {
                m_full = true;
                break;
            }
            m_text += data[i];
            if (m_text.size() >= CommandHookChannel::kOutputBytes) m_full = true;
        }
    }
    std::string Text() const {
        std::string text = m_text;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    }

private:
    std::string m_text;
    size_t m_lines = 0;
    bool m_full = false;
};

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecHook(const char* program, char* const argv[], char* const envp[], int output) {
    setpgid(0, 0);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(output, 1);
    dup2(output, 2);
    // Nothing of the service (sockets, files) reaches the hook.
    if (close_range(3, ~0U, 0) != 0) {
        long limit = sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < (limit > 0 ? limit : 1024); ++fd) close(fd);
    }
    execve(program, argv, envp);
    _exit(127);
}

// What a hook wrote before it ended and is still waiting in the pipe.
void DrainReady(int fd, OutputHead& head) {
    char block[512];
    pollfd readable{fd, POLLIN, 0};
    // Bounded: something the hook left behind may still be writing.
    for (int reads = 0; reads < 64 && poll(&readable, 1, 0) > 0; ++reads) {
        ssize_t n = read(fd, block, sizeof block);
        if (n <= 0) break;
        head.Add(block, static_cast<size_t>(n));
    }
}

std::string WaitStatusText(int status) {
    if (WIFSIGNALED(status)) return std::string("ended by signal ") + strsignal(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

CommandHookChannel::CommandHookChannel(std::string program, std::chrono::milliseconds timeout)
    : m_program(std::move(program)), m_timeout(timeout) {}

std::vector<std::string> CommandHookChannel::ListHooks(const std::string& directory) {
    std::vector<std::string> hooks;
    DIR* dir = opendir(directory.c_str());
    if (!dir) return hooks;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (!IsHookName(name)) continue;
        std::string path = directory + (EndsWith(directory, "/") ? "" : "/") + name;
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0)
            hooks.push_back(path);
    }
    closedir(dir);
    std::sort(hooks.begin(), hooks.end());
    return hooks;
}

std::vector<std::string> CommandHookChannel::Environment(const ChannelEvent& event) {
    return {"KVOOMX_EVENT_ID=" + event.id,
            "KVOOMX_HOST=" + event.host,
            "KVOOMX_CONTROLLER=" + std::to_string(event.controller),
            std::string("KVOOMX_LEVEL=") + event.LevelName(),
            std::string("KVOOMX_LEVEL_CODE=") + event.level,
            "KVOOMX_TIME=" + event.TimeText(),
            "KVOOMX_TEXT=" + event.text,
            "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "LANG=C.UTF-8"};
}

ChannelOutcome CommandHookChannel::Deliver(const ChannelEvent& event) {
    // Everything the child needs is made before fork: it may not allocate.
    std::vector<std::string> environment = Environment(event);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::string program = m_program;
    char* argv[] = {&program[0], nullptr};

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return ChannelOutcome::Retry(std::string("no pipe for the hook: ") + std::strerror(errno));
    const Clock::time_point deadline = Clock::now() + m_timeout;
    pid_t pid = fork();
    if (pid < 0) {
        int error = errno;
        close(pipeFds[0]);
        close(pipeFds[1]);
        return ChannelOutcome::Retry(std::string("the hook could not be started: ") + std::strerror(error));
    }
    if (pid == 0) ExecHook(program.c_str(), argv, envp.data(), pipeFds[1]);
    // Also here, so the kill below reaches the group whoever runs first.
    setpgid(pid, pid);
    close(pipeFds[1]);

    OutputHead head;
    bool killed = false;
    int status = 0;
    bool exited = false;
    bool outputClosed = false;
    int closedSlice = 1;
    char block[512];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            kill(-pid, SIGKILL);
            killed = true;
            break;
        }
        // A hook may close its output and still run on: after the end of the
        // output only the bound decides, never a blocking wait.
        pollfd readable{outputClosed ? -1 : pipeFds[0], POLLIN, 0};
        // Short slices: a hook may exit while something it started keeps the pipe open.
        // Once the output has ended the exit is usually a moment away: look again
        // after 1, 2, 4 ... ms.
        int slice = outputClosed ? (closedSlice = std::min(closedSlice * 2, 50)) / 2 : 50;
        int ready = poll(&readable, 1, static_cast<int>(std::min<long long>(left, slice)));
        if (ready > 0) {
            ssize_t n = read(pipeFds[0], block, sizeof block);
            if (n > 0) {
                head.Add(block, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) outputClosed = true;  // every writer has gone
            else if (errno == EINTR) continue;
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            if (!outputClosed) DrainReady(pipeFds[0], head);
            break;
        }
    }
    close(pipeFds[0]);
    if (killed) waitpid(pid, &status, 0);

    ChannelOutcome outcome;
    if (killed) {
        outcome = ChannelOutcome::Failed("no end within " + std::to_string(m_timeout.count()) +
                                         " ms: the hook's process group was killed");
    } else if (!exited) {
        outcome = ChannelOutcome::Failed("the hook's end could not be awaited");
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        outcome = ChannelOutcome::Sent();
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kExitTryAgain) {
        outcome = ChannelOutcome::Retry("the hook asked to be run again later (exit status 75)");
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        outcome = ChannelOutcome::Failed("the hook could not be run (exit status 127)");
    } else {
        outcome = ChannelOutcome::Failed("the hook failed: " + WaitStatusText(status));
    }
    if (exited && WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
    outcome.output = head.Text();
    return outcome;
}
