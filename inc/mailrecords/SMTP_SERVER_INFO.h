// SMTP_SERVER_INFO: the SMTP account used to send notification mails.
// A plain value record, copied freely between the e-mail center, the SMTP client
// and the e-mail page; no locking of its own. Text fields are NUL-terminated.
#pragma once

#include <cstdint>

// byAuth flags.
constexpr uint8_t SMTP_AUTH_LOGIN = 0x01;     // log in to the server
constexpr uint8_t SMTP_AUTH_DISABLED = 0x02;  // e-mail notification switched off

// bySecurity values: how the connection is protected.
constexpr uint8_t SMTP_SECURITY_NONE = 0;      // plain text throughout
constexpr uint8_t SMTP_SECURITY_STARTTLS = 1;  // plain greeting, then STARTTLS before anything else
constexpr uint8_t SMTP_SECURITY_TLS = 2;       // TLS from the first byte

// byTlsFlags: zero (the value of a record or file that has none) is the safe choice.
constexpr uint8_t SMTP_TLS_NO_VERIFY = 0x01;  // accept any server certificate

struct SMTP_SERVER_INFO {
    char szSMTPServer[64] = {0};  // host name or dotted IPv4 address
    uint16_t uPort = 0;
    uint8_t byAuth = 0;       // SMTP_AUTH_* flags
    uint8_t byAuthType = 0;   // stored and loaded only; the mechanism comes from EHLO
    char szLoginName[64] = {0};
    char szPassword[64] = {0};  // clear in memory, Base64 in the file
    char szMailFrom[64] = {0};
    uint8_t bySecurity = SMTP_SECURITY_NONE;  // SMTP_SECURITY_*
    uint8_t byTlsFlags = 0;                   // SMTP_TLS_* flags
    char szCAFile[256] = {0};  // trusted authorities (PEM) for the certificate; empty: the system's
};
