// SendWatchdog: bounds a blocking send. While a Guard is alive its client is
// shut down (Client::Shutdown, which makes a blocked send fail) once the
// deadline passes. One process-wide watchdog thread, started on first use; the
// instance is deliberately never destroyed so late threads can still disarm.
// All state is guarded by `m_mutex`; Shutdown is called only under it, so once
// a Guard is gone the watchdog never touches its client again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "Client.h"

class SendWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    // Arms the watchdog for `client` for `timeoutUs` microseconds (negative:
    // no limit, nothing armed); disarms on destruction.
    class Guard {
    public:
        Guard(Client* client, int timeoutUs);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        // True when the deadline passed and the client was shut down.
        bool Fired() const;

    private:
        uint64_t m_token;
    };

    static SendWatchdog& Instance();

private:
    struct Entry {
        Client* client;
        Clock::time_point deadline;
        bool fired;
    };

    SendWatchdog() = default;
    uint64_t Arm(Client* client, Clock::time_point deadline);
    bool Disarm(uint64_t token);
    bool HasFired(uint64_t token);
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<uint64_t, Entry> m_entries;
    uint64_t m_nextToken = 1;
    bool m_started = false;
};
