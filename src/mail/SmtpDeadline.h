// SmtpDeadline: a bound on a whole SMTP dialogue. While one lives on a thread,
// every wait of the SMTP client on that thread (connect, TLS handshake, each
// send and each reply) ends by its deadline, whatever the single wait's own
// bound. Lives on the stack of the thread that runs the dialogue; scopes nest
// (the earlier deadline wins); no lock (thread-local).
#pragma once

#include <chrono>

class SmtpDeadline {
public:
    // Bound of one whole delivery (event mail or test mail), connect to QUIT.
    static constexpr std::chrono::milliseconds kDeliveryBound{std::chrono::minutes(2)};

    explicit SmtpDeadline(std::chrono::milliseconds total);
    ~SmtpDeadline();
    SmtpDeadline(const SmtpDeadline&) = delete;
    SmtpDeadline& operator=(const SmtpDeadline&) = delete;

    // `timeoutUs` (-1: no limit) cut to what is left of the thread's deadline;
    // 0 once it has passed.
    static int BoundUs(int timeoutUs);
    // True when the thread's deadline has passed.
    static bool Expired();

private:
    std::chrono::steady_clock::time_point m_end;
    SmtpDeadline* m_outer;
};
