// SmtpTestMail: the e-mail page's test: sends GenSMTP's test mail to one
// recipient with the stored account and tells the outcome in words, quoting
// the server's own reply when it refused. A plain value used on the caller's
// thread for one test; blocks it for the dialogue (10 s bound per reply, the
// whole dialogue bounded as an event mail's).
#pragma once

#include <chrono>
#include <string>

#include "MAIL_RECIPIENT_INFO.h"
#include "SMTP_SERVER_INFO.h"
#include "SmtpOptions.h"

class SmtpTestMail {
public:
    explicit SmtpTestMail(const SMTP_SERVER_INFO& server, const SmtpOptions& options = SmtpOptions())
        : m_server(server), m_options(options) {}

    // True when the server accepted the mail. Outcome() then reads "Test mail
    // sent to ...", otherwise "Test mail to ... not sent: <reason>".
    bool Send(const _MAIL_RECIPIENT_INFO& recipient);
    const std::string& Outcome() const { return m_outcome; }
    // The SendMail result of the last Send.
    int Result() const { return m_result; }

private:
    std::string ServerName() const;
    std::string WaitBoundText() const;
    std::string ConnectFailure() const;
    std::string SettingHint() const;

    SMTP_SERVER_INFO m_server;
    SmtpOptions m_options;
    std::string m_outcome;
    int m_result = 0;
};
