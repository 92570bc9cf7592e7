// GenSMTP: delivers one plain-text mail to a list of recipients through one SMTP
// server, over one connection per call (plain, STARTTLS or TLS from the start),
// with the account it holds. Owned by its user (the e-mail center makes one per
// event); calls run on the caller's thread, block it for the dialogue, and share
// nothing, so separate objects never interfere. The only state a call leaves is
// the reason of its failure.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MAIL_CONTENT.h"
#include "MAIL_RECIPIENT_INFO.h"
#include "SMTP_SERVER_INFO.h"
#include "SmtpOptions.h"

class Client;
struct TlsSettings;

// How GenSMTP reaches its server: `open` connects (an empty pointer when it
// cannot), `secure` lays TLS over the stream in place and on failure tells the
// reason and whether the certificate was at fault. Empty members mean a TCP
// connection and TlsClient; tests and fuzzing hand in scripted streams.
struct SmtpStreamHooks {
    std::function<std::unique_ptr<Client>(const std::string& host, unsigned short port, int timeoutUs)> open;
    std::function<bool(std::unique_ptr<Client>& stream, const TlsSettings& settings, bool& certificateFault,
                       std::string& why)>
        secure;
};

// SendMail results besides 0 (accepted, or nothing to send) and -1 (no connection,
// or no mechanism offered); the authentication codes are in SmtpAuth.h.
constexpr int SMTP_ERR_GREETING = static_cast<int>(0xC0000012u);
constexpr int SMTP_ERR_EHLO = static_cast<int>(0xC0000013u);
constexpr int SMTP_ERR_HELO = static_cast<int>(0xC0000014u);
constexpr int SMTP_ERR_MAIL_FROM = static_cast<int>(0xC0000015u);
constexpr int SMTP_ERR_NO_RECIPIENT = static_cast<int>(0xC0000016u);
constexpr int SMTP_ERR_DATA = static_cast<int>(0xC0000017u);
constexpr int SMTP_ERR_SEND = static_cast<int>(0xC0000018u);
// Connection security (SMTP_SERVER_INFO::bySecurity); the plain-text dialogue is
// never used once TLS was asked for.
constexpr int SMTP_ERR_STARTTLS = static_cast<int>(0xC000001Cu);         // not offered, or refused
constexpr int SMTP_ERR_TLS = static_cast<int>(0xC000001Du);              // handshake failed or stalled
constexpr int SMTP_ERR_TLS_CERTIFICATE = static_cast<int>(0xC000001Eu);  // certificate not accepted

// Subject used when a mail has none.
extern const char* const SMTP_DEFAULT_SUBJECT;

// A short sentence for a SendMail result (empty for 0).
std::string SmtpResultText(int result);

class GenSMTP {
public:
    explicit GenSMTP(const SmtpOptions& options = SmtpOptions()) : m_options(options) {}
    explicit GenSMTP(const SMTP_SERVER_INFO& serverInfo, const SmtpOptions& options = SmtpOptions())
        : m_serverInfo(serverInfo), m_options(options) {}

    // Sends `content` to every recipient whose level mask matches its level.
    // `unused` is ignored. Returns 0, -1 or an SMTP_ERR_* code.
    int SendMail(const std::vector<_MAIL_RECIPIENT_INFO>& recipients, int unused,
                 const _MAIL_CONTENT* content);
    // Sends the test mail to one recipient; sets bit 0x01 in its byLevel.
    int TestMail(_MAIL_RECIPIENT_INFO* recipient);
    // True when host:port accepts a connection and greets with 220 (after the
    // TLS handshake when the held settings ask for TLS from the start).
    bool TestSmtpServer(const char* host, unsigned short port);

    // What the server answered to each RCPT TO of the last SendMail, in order
    // (code 0: no complete answer). Empty when the dialogue ended before RCPT.
    struct RecipientResult {
        std::string address;
        int code = 0;
        std::string reply;
    };
    const std::vector<RecipientResult>& RecipientResults() const { return m_recipientResults; }

    // Trusted authorities (PEM file) for certificate checks; empty: the system's.
    void SetTrustedAuthorities(const std::string& caFile) { m_caFile = caFile; }
    void SetStreamHooks(SmtpStreamHooks hooks) { m_hooks = std::move(hooks); }
    // Why the last call failed, for people: the TLS reason where there is one,
    // else SmtpResultText of the result. Empty after a success.
    const std::string& GetFailureReason() const { return m_failureReason; }

private:
    int Connect(const std::string& host, unsigned short port, std::unique_ptr<Client>& stream);
    int StartTls(const std::string& host, std::unique_ptr<Client>& stream);
    int UpgradeWithStartTls(std::unique_ptr<Client>& stream, const std::string& clientName);
    int RunDialogue(std::unique_ptr<Client>& stream, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching,
                    const _MAIL_CONTENT& content);
    int Introduce(std::unique_ptr<Client>& stream, const std::string& clientName);
    int Authenticate(Client* client, bool plain, bool login, bool cram, bool digest);
    int SendEnvelope(Client* client, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching);
    int SendMessage(Client* client, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching,
                    const _MAIL_CONTENT& content, const std::string& clientName);

    int Fail(int result, const std::string& reason);
    int Finish(int result);

    SMTP_SERVER_INFO m_serverInfo;
    SmtpOptions m_options;
    std::string m_caFile;
    SmtpStreamHooks m_hooks;
    std::string m_failureReason;
    std::vector<RecipientResult> m_recipientResults;
};

// Sends `text` as it is; true when every byte went out.
bool SendSmtpText(Client* client, const std::string& text);

// Reads one whole reply; true when its code is `expected`.
bool CheckCommandResponse(Client* client, int expected);

// Reads the EHLO reply; true when its code is `expected`. Sets each flag whose
// mechanism the reply names (PLAIN, LOGIN, CRAM-MD5, DIGEST-MD5).
bool GetLoginType(Client* client, int expected, bool* plain, bool* login, bool* cramMd5,
                  bool* digestMd5);
