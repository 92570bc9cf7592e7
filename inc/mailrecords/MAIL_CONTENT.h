// _MAIL_CONTENT: one notification mail (level, subject, body).
// A plain value record built by the e-mail center and copied by the SMTP client.
// No locking of its own.
#pragma once

#include <cstdint>
#include <string>

struct _MAIL_CONTENT {
    uint8_t byMailLevel = 0;  // one MAIL_LEVEL_* bit; every user sets it
    std::string strSubject;   // empty: the client's default subject
    std::string strBody;
};
