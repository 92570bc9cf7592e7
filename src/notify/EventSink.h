// EventSink: where the event poller hands what it learns: each event that
// passed the reply checks, and whether each visit got an answer. Called on the
// poller's thread only; implementations that pages also reach lock themselves.
#pragma once

#include <string>

struct PolledEvent {
    int controller = 0;     // index 0..3
    int level = 'I';        // the reply's level letter
    std::string eventTime;  // "YYYY-MM-DD hh:mm:ss"
    std::string text;       // the event's own text
    std::string message;    // "At ... Controller n:\r\n text"
};

class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void EventArrived(const PolledEvent& event) = 0;
    // One visit to `controller` ended; `answered` when the channel replied.
    virtual void ControllerVisited(int /*controller*/, bool /*answered*/) {}
};
