// WebChannel: one controller's firmware side of the web channel (buffer 2).
// Each connection byte 1..63 is one browser connection: opened by the connect
// message, fed with the browser's bytes, answered per complete HTTP request,
// dropped by the disconnect message. Owned by its SimController; used only
// from the simulator's loop thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "sim/WebUi.h"

class WebChannel {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxPendingRequest = 1024 * 1024;

    // Bytes taken: the whole write, or 0 (refused connect, unknown connection).
    uint32_t Write(unsigned connection, const uint8_t* data, uint32_t size,
                   const WebUiContext& context, Clock::time_point now);
    // Up to `max` bytes of answers that are ready; 0 when none is.
    uint32_t Read(unsigned connection, uint8_t* out, uint32_t max, Clock::time_point now);

    void RefuseNextConnect() { m_refuseNextConnect = true; }
    void SetDelay(std::chrono::milliseconds delay) { m_delay = delay; }
    int OpenCount() const;

private:
    struct Chunk {
        Clock::time_point readyAt;
        std::string bytes;
        size_t offset = 0;
    };
    struct Connection {
        bool open = false;
        std::string input;            // browser bytes not yet answered
        size_t bodyLeft = 0;          // request body bytes still to skip
        std::string answerAfterBody;  // sent once the body has arrived, as a server would
        std::deque<Chunk> output;
    };

    void AnswerCompleteRequests(Connection& c, const WebUiContext& context,
                                Clock::time_point now);
    void Queue(Connection& c, std::string bytes, Clock::time_point now);

    Connection m_connections[64];
    bool m_refuseNextConnect = false;
    std::chrono::milliseconds m_delay{0};
};
