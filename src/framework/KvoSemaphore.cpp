#include "KvoSemaphore.h"

#include <cerrno>
#include <ctime>

KvoSemaphore::KvoSemaphore(const char* name) : m_valid(false), m_name(name ? name : "") {
    m_valid = sem_init(&m_sem, 0, 0) == 0;
}

KvoSemaphore::~KvoSemaphore() {
    if (m_valid) sem_destroy(&m_sem);
    m_valid = false;
}

void KvoSemaphore::Post() {
    if (m_valid) sem_post(&m_sem);
}

// The bound is `polls` milliseconds, as with a 1 ms polling loop, but a post
// wakes the waiter at once instead of at the next poll.
bool KvoSemaphore::WaitingForSignal(int polls) {
    if (!m_valid) return false;
    if (sem_trywait(&m_sem) == 0) return true;
    if (polls <= 0) return false;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += polls / 1000;
    deadline.tv_nsec += static_cast<long>(polls % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_clockwait(&m_sem, CLOCK_MONOTONIC, &deadline) == 0) return true;
        if (errno != EINTR) return false;
    }
}
