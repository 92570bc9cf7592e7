// ClientWake: lets a connection's threads sleep until the state they share
// changes (the launch hand-over in nState, the relay's nLinkState) or a
// deadline passes, instead of polling. One per _CLIENT_PARAMS, owned with it;
// any thread may Notify or wait. Writers change the atomic field first and
// then Notify; waiters test their condition under `m_mutex`, so no wake-up is
// lost between the test and the sleep.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class ClientWake {
public:
    using Clock = std::chrono::steady_clock;

    void Notify() {
        { std::lock_guard<std::mutex> guard(m_mutex); }
        m_cond.notify_all();
    }

    // Sleeps until ready() holds.
    template <class Ready>
    void Wait(Ready ready) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, ready);
    }

    // Sleeps until ready() holds or `deadline` passes; returns ready().
    template <class Ready>
    bool WaitUntil(Clock::time_point deadline, Ready ready) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_until(lock, deadline, ready);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
};
