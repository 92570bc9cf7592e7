// EventChannel: one controller's firmware side of the event channel (buffer 1,
// connection byte 65): handshake, event request, event reply, disconnect. Holds
// the queue of events not yet fetched and a log of every event for the web UI.
// Owned by its SimController; used only from the simulator's loop thread.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

struct SimEvent {
    char level = 'I';          // 'I', 'W' or 'E'
    uint32_t packedTime = 0;
    std::string text;
    bool notAnEvent = false;   // answer this request with a reply of the wrong kind
    bool delivered = false;
};

class EventChannel {
public:
    // Bytes taken (0 = refused).
    uint32_t Write(const uint8_t* data, uint32_t size);
    // Copies up to `max` bytes of the pending reply; 0 when none is pending.
    uint32_t Read(uint8_t* out, uint32_t max);

    void Queue(const SimEvent& event);
    // A silent firmware takes every record and never answers (reads return 0).
    void SetSilent(bool silent) { m_silent = silent; }
    size_t QueuedCount() const { return m_queue.size(); }
    const std::deque<SimEvent>& Queued() const { return m_queue; }
    const std::deque<SimEvent>& History() const { return m_history; }

private:
    void AnswerHandshake();
    void AnswerEventRequest();

    bool m_handshaken = false;
    bool m_silent = false;
    std::string m_pending;           // the reply the next reads return
    std::deque<SimEvent> m_queue;
    std::deque<SimEvent> m_history;  // newest last, bounded
};
