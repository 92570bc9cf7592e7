// SmtpOptions: the SMTP client's bounds, the standard values by default. A plain
// value record handed by whoever builds a mail sender (the delivery queue's mail
// channel, the e-mail page's test mail) to the SMTP client; no locking.
#pragma once

#include <chrono>

struct SmtpOptions {
    // Each single wait: the connect, the TLS handshake, a send, a whole reply.
    std::chrono::milliseconds waitBound{std::chrono::seconds(10)};
    // One whole call, connect to QUIT (an enclosing deadline may end it sooner).
    std::chrono::milliseconds dialogueBound{std::chrono::minutes(2)};
};
