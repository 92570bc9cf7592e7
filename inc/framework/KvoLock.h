// KvoLock: a recursive mutex; a thread may re-enter a lock it holds.
// Usable with std::lock_guard / std::unique_lock (lock, unlock, try_lock).
// Locking is skipped once the lock has been destroyed (`m_valid` false), which
// keeps statics usable during process exit.
#pragma once

#include <atomic>
#include <mutex>

class KvoLock {
public:
    KvoLock() : m_valid(true) {}
    ~KvoLock() { m_valid = false; }
    KvoLock(const KvoLock&) = delete;
    KvoLock& operator=(const KvoLock&) = delete;

    void lock() { if (m_valid) m_mutex.lock(); }
    void unlock() { if (m_valid) m_mutex.unlock(); }
    bool try_lock() { return m_valid ? m_mutex.try_lock() : true; }

    void Lock() { lock(); }
    void Unlock() { unlock(); }

private:
    std::atomic<bool> m_valid;
    std::recursive_mutex m_mutex;
};
