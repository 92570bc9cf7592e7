// SmtpDeadline: the bounds of a whole SMTP dialogue. While one lives on a
// thread, every wait of the SMTP client on that thread (connect, TLS handshake,
// each send and each reply) is bounded by the scope's single-wait bound and
// ends by its deadline. Lives on the stack of the thread that runs the
// dialogue; scopes nest (the earlier deadline wins, the innermost wait bound
// holds); no lock (thread-local).
#pragma once

#include <chrono>

class SmtpDeadline {
public:
    // Bound of one whole delivery (event mail or test mail), connect to QUIT.
    static constexpr std::chrono::milliseconds kDeliveryBound{std::chrono::minutes(2)};
    // Bound of each single wait: the connect, the handshake, a send, a whole reply.
    static constexpr std::chrono::milliseconds kWaitBound{std::chrono::seconds(10)};

    explicit SmtpDeadline(std::chrono::milliseconds total, std::chrono::milliseconds waitBound = kWaitBound);
    ~SmtpDeadline();
    SmtpDeadline(const SmtpDeadline&) = delete;
    SmtpDeadline& operator=(const SmtpDeadline&) = delete;

    // `timeoutUs` (-1: no limit) cut to what is left of the thread's deadline;
    // 0 once it has passed.
    static int BoundUs(int timeoutUs);
    // The innermost scope's single-wait bound (kWaitBound outside any scope),
    // cut to what is left of the thread's deadline.
    static int WaitBoundUs();
    // True when the thread's deadline has passed.
    static bool Expired();

private:
    std::chrono::steady_clock::time_point m_end;
    std::chrono::milliseconds m_waitBound;
    SmtpDeadline* m_outer;
};
