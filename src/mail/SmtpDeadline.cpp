#include "mail/SmtpDeadline.h"

#include <algorithm>

constexpr std::chrono::milliseconds SmtpDeadline::kDeliveryBound;
constexpr std::chrono::milliseconds SmtpDeadline::kWaitBound;

namespace {
thread_local SmtpDeadline* t_current = nullptr;
thread_local std::chrono::steady_clock::time_point t_end;
thread_local std::chrono::milliseconds t_waitBound = SmtpDeadline::kWaitBound;
}  // namespace

SmtpDeadline::SmtpDeadline(std::chrono::milliseconds total, std::chrono::milliseconds waitBound)
    : m_end(std::chrono::steady_clock::now() + total), m_waitBound(waitBound), m_outer(t_current) {
    if (m_outer && t_end < m_end) m_end = t_end;
    t_current = this;
    t_end = m_end;
    t_waitBound = m_waitBound;
}

SmtpDeadline::~SmtpDeadline() {
    t_current = m_outer;
    if (m_outer) {
        t_end = m_outer->m_end;
        t_waitBound = m_outer->m_waitBound;
    } else {
        t_waitBound = kWaitBound;
    }
}

int SmtpDeadline::BoundUs(int timeoutUs) {
    if (!t_current) return timeoutUs;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(t_end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return 0;
    if (timeoutUs < 0) return static_cast<int>(std::min<long long>(left, 0x7fffffff));
    return static_cast<int>(std::min<long long>(left, timeoutUs));
}

int SmtpDeadline::WaitBoundUs() {
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(t_waitBound).count();
    return BoundUs(static_cast<int>(std::min<long long>(us, 0x7fffffff)));
}

bool SmtpDeadline::Expired() { return t_current && std::chrono::steady_clock::now() >= t_end; }
