#include "http/SendWatchdog.h"

#include <thread>

SendWatchdog& SendWatchdog::Instance() {
    // Never destroyed: detached client threads may still disarm during exit.
    static SendWatchdog* instance = new SendWatchdog();
    return *instance;
}

SendWatchdog::Guard::Guard(Client* client, int timeoutUs) : m_token(0) {
    if (!client || timeoutUs < 0) return;
    m_token = Instance().Arm(client, Clock::now() + std::chrono::microseconds(timeoutUs));
}

SendWatchdog::Guard::~Guard() {
    if (m_token) Instance().Disarm(m_token);
}

bool SendWatchdog::Guard::Fired() const { return m_token && Instance().HasFired(m_token); }

uint64_t SendWatchdog::Arm(Client* client, Clock::time_point deadline) {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (!m_started) {
        m_started = true;
        std::thread([this] { Run(); }).detach();
    }
    uint64_t token = m_nextToken++;
    m_entries[token] = Entry{client, deadline, false};
    m_wake.notify_one();
    return token;
}

bool SendWatchdog::Disarm(uint64_t token) {
    std::lock_guard<std::mutex> hold(m_mutex);
    auto it = m_entries.find(token);
    if (it == m_entries.end()) return false;
    bool fired = it->second.fired;
    m_entries.erase(it);
    return fired;
}

bool SendWatchdog::HasFired(uint64_t token) {
    std::lock_guard<std::mutex> hold(m_mutex);
    auto it = m_entries.find(token);
    return it != m_entries.end() && it->second.fired;
}

void SendWatchdog::Run() {
    std::unique_lock<std::mutex> hold(m_mutex);
    for (;;) {
        auto next = Clock::time_point::max();
        auto now = Clock::now();
        for (auto& item : m_entries) {
            Entry& entry = item.second;
            if (entry.fired) continue;
            if (entry.deadline <= now) {
                // Under the mutex: the guard's owner can't be past Disarm yet.
                entry.client->Shutdown();
                entry.fired = true;
            } else if (entry.deadline < next) {
                next = entry.deadline;
            }
        }
        if (next == Clock::time_point::max()) {
            m_wake.wait(hold);
        } else {
            m_wake.wait_until(hold, next);
        }
    }
}
