#include "KvoSemaphore.h"

#include <unistd.h>

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

bool KvoSemaphore::WaitingForSignal(int polls) {
    if (!m_valid) return false;
    for (int failed = 0;; ++failed) {
        if (sem_trywait(&m_sem) == 0) return true;
        if (failed >= polls) return false;
        usleep(1000);
    }
}
