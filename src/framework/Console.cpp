#include "framework/Console.h"

#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "DefaultLogImp.h"

namespace {

std::atomic<bool> g_dead{false};
std::atomic<bool> g_syslog{false};
std::atomic<bool> g_journal{false};
std::atomic<bool> g_trace{false};
std::atomic<int> g_deferredSigpipe{0};
// The text a signal handler deferred; only one handler line exists ("Handle SIGPIPE").
std::atomic<const char*> g_deferredText{nullptr};
std::atomic<size_t> g_deferredLength{0};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
                  std::atomic<const char*>::is_always_lock_free &&
                  std::atomic<size_t>::is_always_lock_free,
              "read and written in signal handlers");

int SyslogPriority(int level) {
    switch (level) {
        case Console::kWarning: return LOG_WARNING;
        case Console::kError: return LOG_ERR;
        case Console::kTrace: return LOG_DEBUG;
        default: return LOG_INFO;
    }
}

// Calls `use(line, size)` for every non-empty line of `text`, without its
// line end ("\n", "\r\n") or trailing NULs.
template <typename Use>
void ForEachLine(const char* text, size_t length, Use use) {
    size_t start = 0;
    while (start < length) {
        size_t end = start;
        while (end < length && text[end] != '\n') ++end;
        size_t stop = end;
        while (stop > start && (text[stop - 1] == '\r' || text[stop - 1] == '\0')) --stop;
        if (stop > start) use(text + start, stop - start);
        start = end + 1;
    }
}

// One syslog record per non-empty line; line ends are not sent.
void SendToSyslog(int level, const char* text, size_t length) {
    ForEachLine(text, length, [level](const char* line, size_t size) {
        syslog(SyslogPriority(level), "%.*s", static_cast<int>(size), line);
    });
}

// Every non-empty line of `text` with "<N>" in front (N its priority) and "\n"
// as its end ("\r\n" would leave a "\r" in the journal).
std::string WithJournalPrefixes(int level, const char* text, size_t length) {
    const std::string prefix = "<" + std::to_string(SyslogPriority(level)) + ">";
    std::string out;
    out.reserve(length + 2 * prefix.size());
    ForEachLine(text, length, [&](const char* line, size_t size) {
        out += prefix;
        out.append(line, size);
        out += '\n';
    });
    return out;
}

// Writes all of `text` to standard output; marks the console dead when its
// reader has gone. Returns at the first other failure (the line is dropped).
void WriteAll(const char* text, size_t length) {
    while (length > 0 && !g_dead) {
        ssize_t n = write(STDOUT_FILENO, text, length);
        if (n > 0) {
            text += n;
            length -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno == EPIPE) g_dead = true;
            return;
        }
    }
}

// Async-signal-safe: true when standard output can take bytes now; marks the
// console dead when poll reports that nobody reads it any more.
bool ConsoleWritableNow() {
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1) return false;
    if (p.revents & (POLLERR | POLLHUP)) {
        g_dead = true;
        return false;
    }
    return (p.revents & POLLOUT) != 0;
}

std::string Format(const char* format, va_list args) {
    if (!format) return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

}  // namespace

void Console::Write(int level, const char* text, size_t length) {
    if (!text || length == 0) return;
    if (level == kTrace && !g_trace) return;
    std::lock_guard<KvoLock> guard(DefaultLogImp::lock);
    if (g_syslog) {
        SendToSyslog(level, text, length);
        return;
    }
    if (g_dead) return;
    // Lines still printed through stdio elsewhere come out before this one.
    fflush(stdout);
    if (g_journal) {
        std::string prefixed = WithJournalPrefixes(level, text, length);
        WriteAll(prefixed.data(), prefixed.size());
        return;
    }
    WriteAll(text, length);
}

void Console::Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    Write(kInformation, text.data(), text.size());
}

void Console::PrintLevel(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPrintLevel(level, format, args);
    va_end(args);
}

void Console::VPrintLevel(int level, const char* format, va_list args) {
    std::string text = Format(format, args);
    Write(level, text.data(), text.size());
}

void Console::UseSyslog() {
    std::lock_guard<KvoLock> guard(DefaultLogImp::lock);
    openlog("kvoomxsvr", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    g_syslog = true;
}

bool Console::UsesSyslog() { return g_syslog; }

void Console::UseJournalPrefixes() { g_journal = true; }

bool Console::CarriesPriority() { return g_syslog || g_journal; }

void Console::SetTraceLines(bool on) { g_trace = on; }

void Console::WriteFromSignalHandler(const char* text, size_t length) {
    int saved = errno;
    if (g_syslog) {
        // syslog(3) takes locks of its own: the main loop sends the line.
        g_deferredText = text;
        g_deferredLength = length;
        g_deferredSigpipe.fetch_add(1);
    } else if (!g_dead && ConsoleWritableNow()) {
        // A write that still finds the reader gone raises SIGPIPE once more;
        // that delivery finds the console dead and writes nothing.
        WriteAll(text, length);
    }
    errno = saved;
}

void Console::FlushDeferred() {
    for (int n = g_deferredSigpipe.exchange(0); n > 0 && g_deferredText; --n)
        Write(kInformation, g_deferredText.load(), g_deferredLength.load());
}
