#include "mail/SmtpTestMail.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "RecordText.h"
#include "framework/Text.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpDeadline.h"
#include "mail/SmtpReply.h"
#include "mail/SmtpReplyCapture.h"

namespace {

// What the step that failed was trying to do, by SendMail's result.
const char* FailedStep(int result) {
    switch (result) {
        case SMTP_ERR_GREETING: return "the server did not greet";
        case SMTP_ERR_EHLO: return "the server refused EHLO";
        case SMTP_ERR_HELO: return "the server refused HELO";
        case SMTP_ERR_MAIL_FROM: return "the server refused the sender address";
        case SMTP_ERR_NO_RECIPIENT: return "the server refused the recipient";
        case SMTP_ERR_DATA: return "the server refused to take the mail";
        case SMTP_ERR_SEND: return "the server refused the mail";
        case SMTP_ERR_AUTH_START:
        case SMTP_ERR_AUTH_USER:
        case SMTP_ERR_AUTH_FAILED: return "the server refused the login";
        default: return nullptr;
    }
}

}  // namespace

// "10 seconds" with the standard bound; shorter bounds in milliseconds.
std::string SmtpTestMail::WaitBoundText() const {
    const long long ms = m_options.waitBound.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " seconds";
    return std::to_string(ms) + " milliseconds";
}

std::string SmtpTestMail::ServerName() const {
    return FieldText(m_server.szSMTPServer) + ":" + std::to_string(m_server.uPort);
}

bool SmtpTestMail::Send(const _MAIL_RECIPIENT_INFO& recipient) {
    _MAIL_RECIPIENT_INFO to = recipient;
    std::string address = FieldText(to.szMailAddress);
    SmtpReplyCapture capture;
    GenSMTP smtp(m_server, m_options);
    bool late = false;
    {
        SmtpDeadline whole(m_options.dialogueBound, m_options.waitBound);
        m_result = smtp.TestMail(&to);
        late = SmtpDeadline::Expired();
    }
    if (m_result == 0) {
        m_outcome = "Test mail sent to " + address + " through " + ServerName() + ".";
        return true;
    }

    std::string reason;
    const auto& replies = capture.Replies();
    if (m_result == SMTP_ERR_STARTTLS || m_result == SMTP_ERR_TLS || m_result == SMTP_ERR_TLS_CERTIFICATE) {
        // The TLS layer's own reason: the server's replies (if any) don't tell it.
        reason = smtp.GetFailureReason();
    } else if (m_result == -1 && replies.empty()) {
        reason = "cannot connect to " + ServerName() + " (" + ConnectFailure() + ")";
    } else if (!replies.empty() && !replies.back().complete) {
        reason = late ? "the server took longer than " + std::to_string(m_options.dialogueBound.count() / 1000) +
                            " seconds in all"
                      : "no answer from " + ServerName() + " within " + WaitBoundText();
        if (const char* step = FailedStep(m_result)) reason = std::string(step) + ": " + reason;
    } else if (m_result == -1) {
        reason = "the server offers no login method this service knows (it answered \"" +
                 Text::OneLine(replies.back().text, "; ") + "\")";
    } else {
        const char* step = FailedStep(m_result);
        char code[32];
        snprintf(code, sizeof code, "error 0x%08X", static_cast<unsigned int>(m_result));
        reason = step ? step : code;
        if (!replies.empty()) reason += ": \"" + Text::OneLine(replies.back().text, "; ") + "\"";
    }
    m_outcome = "Test mail to " + address + " not sent: " + reason + ".";
    m_outcome += SettingHint();
    return false;
}

// Which setting most likely fixes the failure, when the failure tells.
std::string SmtpTestMail::SettingHint() const {
    const std::string reason = m_outcome;
    if (m_result == SMTP_ERR_TLS_CERTIFICATE) {
        std::string hint = " If the mail server's certificate comes from your organisation's own certificate "
                           "authority, name that authority's certificate file under \"Trusted authority file\"";
        std::string file = FieldText(m_server.szCAFile);
        return hint + (file.empty() ? "." : " (now " + file + ").");
    }
    if (m_result == SMTP_ERR_TLS && m_server.bySecurity == SMTP_SECURITY_TLS &&
        reason.find("wrong version number") != std::string::npos)
        return " This port does not speak TLS from the first byte: choose \"STARTTLS\" (usually port 587), "
               "or the server's TLS port (usually 465).";
    if (m_result == SMTP_ERR_GREETING && m_server.bySecurity != SMTP_SECURITY_TLS)
        return " If this port expects TLS from the first byte (usually port 465), choose "
               "\"TLS from the start\".";
    return std::string();
}

// Why a connection to the server can't be made; asked again after SendMail
// failed to connect, since the SMTP client keeps no reason.
std::string SmtpTestMail::ConnectFailure() const {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(FieldText(m_server.szSMTPServer).c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) return std::string("host not found: ") + gai_strerror(rc);
    sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    addr.sin_port = htons(m_server.uPort);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return strerror(errno);
    std::string why = "the connection failed";
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        why = "it accepts connections now";
    } else if (errno != EINPROGRESS) {
        why = strerror(errno);
    } else {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(m_options.waitBound.count())) <= 0) {
            why = "no answer within " + WaitBoundText();
        } else {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            why = err ? strerror(err) : "it accepts connections now";
        }
    }
    close(fd);
    return why;
}
