// _MAIL_RECIPIENT_INFO: one notification mail recipient and the event levels it gets.
// A plain value record kept in std::vector by the e-mail center; no locking of its own.
// szMailAddress is the key of the recipient list (compared byte for byte).
#pragma once

#include <cstdint>

// Level mask bits, shared with the trap receivers.
constexpr uint8_t MAIL_LEVEL_INFORMATION = 0x01;
constexpr uint8_t MAIL_LEVEL_WARNING = 0x02;
constexpr uint8_t MAIL_LEVEL_ERROR = 0x04;

struct _MAIL_RECIPIENT_INFO {
    char szMailAddress[128] = {0};
    char szName[64] = {0};  // display name for the To header
    uint8_t byLevel = 0;    // MAIL_LEVEL_* mask
};
