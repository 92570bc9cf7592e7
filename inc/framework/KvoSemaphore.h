// KvoSemaphore: a counting launch signal starting at 0, private to its owner
// (an unnamed semaphore: a post from another object's thread can never satisfy
// this one's wait). Any thread may Post or wait.
#pragma once

#include <semaphore.h>
#include <string>

class KvoSemaphore {
public:
    explicit KvoSemaphore(const char* name);
    ~KvoSemaphore();
    KvoSemaphore(const KvoSemaphore&) = delete;
    KvoSemaphore& operator=(const KvoSemaphore&) = delete;

    bool IsValid() const { return m_valid; }
    void Post();
    // Waits at most `polls` milliseconds for the signal; true when taken.
    bool WaitingForSignal(int polls);
    const std::string& Name() const { return m_name; }

private:
    bool m_valid;
    sem_t m_sem;
    std::string m_name;
};
