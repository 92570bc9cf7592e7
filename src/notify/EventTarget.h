// EventTarget: one target that an event is delivered to (a webhook URL, a
// hook program), called by the delivery queue's adapters (EventTargetChannel),
// one call at a time per instance, on that caller's thread. ChannelEvent carries the event's fields,
// ChannelOutcome what became of one attempt: sent, worth another try later, or
// failed for good, with what the target answered.
#pragma once

#include <ctime>
#include <string>

struct ChannelEvent {
    std::string id;           // the event's identifier, unique on this host
    std::string host;         // this host's name
    int controller = 0;       // 1 to 4 as the pages name it; 0: the service's own (a test)
    char level = 'I';         // 'I', 'W' or 'E'
    std::time_t time = 0;     // when the controller reported it (UTC seconds)
    std::string text;         // the controller's message

    // "information", "warning" or "error".
    const char* LevelName() const;
    // "2026-12-08T10:04:05Z".
    std::string TimeText() const;
};

struct ChannelOutcome {
    enum Kind { SENT, RETRY, FAILED };
    Kind kind = FAILED;
    std::string reason;      // why not sent; empty when sent
    int httpStatus = 0;      // a webhook's answer; 0 when none came
    int exitStatus = -1;     // a hook program's exit status; -1 when it did not exit by itself
    std::string output;      // the first lines the target answered or printed

    static ChannelOutcome Sent() { return ChannelOutcome{SENT, "", 0, -1, ""}; }
    static ChannelOutcome Retry(std::string why) { return ChannelOutcome{RETRY, std::move(why), 0, -1, ""}; }
    static ChannelOutcome Failed(std::string why) { return ChannelOutcome{FAILED, std::move(why), 0, -1, ""}; }
};

class EventTarget {
public:
    virtual ~EventTarget() = default;
    // One attempt, bounded in time by the channel's own limit.
    virtual ChannelOutcome Deliver(const ChannelEvent& event) = 0;
    // The target as it may be logged or shown: never a password or token.
    virtual std::string Describe() const = 0;
};
