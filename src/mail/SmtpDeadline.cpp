#include "mail/SmtpDeadline.h"

#include <algorithm>

constexpr std::chrono::milliseconds SmtpDeadline::kDeliveryBound;

namespace {
thread_local SmtpDeadline* t_current = nullptr;
thread_local std::chrono::steady_clock::time_point t_end;
}  // namespace

SmtpDeadline::SmtpDeadline(std::chrono::milliseconds total)
    : m_end(std::chrono::steady_clock::now() + total), m_outer(t_current) {
    if (m_outer && t_end < m_end) m_end = t_end;
    t_current = this;
    t_end = m_end;
}

SmtpDeadline::~SmtpDeadline() {
    t_current = m_outer;
    if (m_outer) t_end = m_outer->m_end;
}

int SmtpDeadline::BoundUs(int timeoutUs) {
    if (!t_current) return timeoutUs;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(t_end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return 0;
    if (timeoutUs < 0) return static_cast<int>(std::min<long long>(left, 0x7fffffff));
    return static_cast<int>(std::min<long long>(left, timeoutUs));
}

bool SmtpDeadline::Expired() { return t_current && std::chrono::steady_clock::now() >= t_end; }
