// Console: the one path of every line the service prints. In the foreground a
// line goes to standard output byte for byte, whole, in one write under the log
// lock (DefaultLogImp::lock); once standard output is a pipe whose reader has
// gone, lines are dropped instead of raising SIGPIPE again and again. In daemon
// mode (UseSyslog) lines go to syslog, facility daemon, identifier "kvoomxsvr",
// with a priority from the line's level; under systemd (UseJournalPrefixes) each
// line on standard output starts with its priority as "<N>", which the journal
// reads. Per-transfer trace lines are dropped unless switched on. Static only;
// any thread may call it, and WriteFromSignalHandler is the one entry a signal
// handler may use.
#pragma once

#include <cstdarg>
#include <cstddef>

class Console {
public:
    // Levels as the log facility numbers them: 0 information, 1 warning, 2 error;
    // 3 marks per-transfer trace lines, which syslog keeps at debug priority.
    enum Level { kInformation = 0, kWarning = 1, kError = 2, kTrace = 3 };

    Console() = delete;

    // printf-like; the text goes out exactly as formatted (the caller writes
    // its own line end). Print is information level.
    static void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void PrintLevel(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void VPrintLevel(int level, const char* format, va_list args);
    static void Write(int level, const char* text, size_t length);

    // From now on lines go to syslog instead of standard output (daemon mode).
    static void UseSyslog();
    static bool UsesSyslog();
    // From now on every line on standard output begins with "<N>", N its
    // syslog priority (the journal's stream protocol).
    static void UseJournalPrefixes();
    // True when the priority travels with the line (syslog or journal), so the
    // level words in front of a log message would only repeat it.
    static bool CarriesPriority();
    // Trace lines (kTrace) are written only while this is on; off at start.
    static void SetTraceLines(bool on);

    // Async-signal-safe: writes `text` to standard output without a lock when
    // the console is alive and can take it at once; in syslog mode the line is
    // counted and written by the next FlushDeferred. Never raises SIGPIPE twice.
    static void WriteFromSignalHandler(const char* text, size_t length);
    // Writes what signal handlers deferred (syslog mode); called by the main loop.
    static void FlushDeferred();

};
