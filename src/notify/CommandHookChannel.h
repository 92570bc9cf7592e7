// CommandHookChannel: delivers an event by running one hook program (an
// executable of the hooks directory, e.g. /etc/kvoomx/hooks.d) directly, without
// a shell, as the service's own user, with the event's fields in environment
// variables. Owned by whoever delivers events; Deliver runs on that caller's
// thread and ends within the time bound, after which the hook's whole process
// group is killed. Exit status and the first lines of output are kept.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "notify/EventTarget.h"

class CommandHookChannel : public EventTarget {
public:
    static constexpr size_t kOutputLines = 5;
    static constexpr size_t kOutputBytes = 1024;
    // Exit status of a hook that asks to be run again later (sysexits' EX_TEMPFAIL).
    static constexpr int kExitTryAgain = 75;

    explicit CommandHookChannel(std::string program,
                                std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // The hooks of a directory, sorted by name: regular files (or links to
    // them) this user may execute, skipping names that begin with "." or end in
    // "~", ".dpkg-old", ".dpkg-new", ".dpkg-dist" or ".bak". None when the
    // directory is missing.
    static std::vector<std::string> ListHooks(const std::string& directory);

    // The variables a hook gets, "NAME=value" each: KVOOMX_EVENT_ID, KVOOMX_HOST,
    // KVOOMX_CONTROLLER, KVOOMX_LEVEL (information, warning, error),
    // KVOOMX_LEVEL_CODE (I, W, E), KVOOMX_TIME (ISO 8601, UTC), KVOOMX_TEXT,
    // plus PATH and LANG; nothing of the service's own environment.
    static std::vector<std::string> Environment(const ChannelEvent& event);

    // Sent on exit status 0; retry on 75; failed on any other status, a signal,
    // a program that could not be started, or one killed at the time bound.
    ChannelOutcome Deliver(const ChannelEvent& event) override;
    std::string Describe() const override { return m_program; }

private:
    std::string m_program;
    std::chrono::milliseconds m_timeout;
};
