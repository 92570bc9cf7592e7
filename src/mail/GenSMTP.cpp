#include "mail/GenSMTP.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "RecordText.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpDeadline.h"
#include "mail/SmtpReply.h"
#include "mail/TlsClient.h"
#include "server/SocketClient.h"

const char* const SMTP_DEFAULT_SUBJECT = "velmora tech raid system information";

namespace {

const char kTestBody[] = "This is a test mail.";
const char kMailer[] = "Velmora-SMTP v1.0";

// Command arguments and header values are one line: a CR or LF in them would
// start a new command or header (or end the message early).
std::string WithoutLineBreaks(std::string text) {
    for (char& ch : text)
        if (ch == '\r' || ch == '\n') ch = ' ';
    return text;
}

std::string ClientName() {
    char name[128] = {0};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// The body with every line end (CR LF, bare LF or bare CR) sent as CR LF and
// every line that starts with "." doubled, so no body line ends the data.
std::string BodyForData(const std::string& body) {
    std::string out;
    out.reserve(body.size() + body.size() / 16 + 2);
    bool lineStart = true;
    for (size_t i = 0; i < body.size(); i++) {
        char ch = body[i];
        if (ch == '\r' || ch == '\n') {
            if (ch == '\r' && i + 1 < body.size() && body[i + 1] == '\n') i++;
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && ch == '.') out += '.';
        out += ch;
        lineStart = false;
    }
    return out;
}

// RFC 5322 date in local time with a numeric zone; names are fixed English
// whatever the process locale.
std::string MailDate(time_t now) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm local {};
    localtime_r(&now, &local);
    long offset = local.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[128];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday % 7],
                  local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, sign, offset / 60, offset % 60);
    return text;
}

std::string MessageId(time_t now, const std::string& clientName) {
    static std::atomic<unsigned int> counter{0};
    static const unsigned long long salt = std::random_device{}() * 0x100000000ULL ^ std::random_device{}();
    char text[256];
    std::snprintf(text, sizeof text, "<%lld.%d.%u.%llx@%s>", static_cast<long long>(now),
                  static_cast<int>(getpid()), counter.fetch_add(1), salt, clientName.c_str());
    return text;
}

bool Matches(const _MAIL_RECIPIENT_INFO& recipient, const _MAIL_CONTENT& content) {
    return (recipient.byLevel & content.byMailLevel) != 0;
}

bool SendCommand(Client* client, const std::string& command, int expected) {
    return SendSmtpText(client, command) && CheckCommandResponse(client, expected);
}

bool KnownSecurity(uint8_t security) {
    return security == SMTP_SECURITY_NONE || security == SMTP_SECURITY_STARTTLS || security == SMTP_SECURITY_TLS;
}

// True when a line of the EHLO reply names `keyword` (case-insensitive), as in
// "250-STARTTLS" or "250 STARTTLS".
bool OffersExtension(const std::string& reply, const std::string& keyword) {
    size_t start = 0;
    while (start < reply.size()) {
        size_t end = reply.find('\n', start);
        if (end == std::string::npos) end = reply.size();
        std::string line = reply.substr(start, end - start);
        start = end + 1;
        if (line.size() < 4) continue;
        size_t wordEnd = line.find_first_of(" \r", 4);
        std::string word = line.substr(4, wordEnd == std::string::npos ? std::string::npos : wordEnd - 4);
        if (word.size() == keyword.size() &&
            std::equal(word.begin(), word.end(), keyword.begin(),
                       [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; }))
            return true;
    }
    return false;
}

std::unique_ptr<Client> OpenSocket(const std::string& host, unsigned short port, int timeoutUs) {
    auto socket = std::make_unique<SocketClient>(host.c_str(), port, AF_INET, timeoutUs);
    if (socket->GetStatus() != 1) return nullptr;
    return socket;
}

bool SecureWithTlsClient(std::unique_ptr<Client>& stream, const TlsSettings& settings, bool& certificateFault,
                         std::string& why) {
    auto tls = std::make_unique<TlsClient>(std::move(stream));
    bool secured = tls->Handshake(settings);
    certificateFault = tls->Failure() == TlsFailure::Certificate;
    why = tls->FailureReason();
    stream = std::move(tls);
    return secured;
}

}  // namespace

std::string SmtpResultText(int result) {
    switch (result) {
    case 0: return std::string();
    case -1: return "no connection to the server, or it offers none of the login mechanisms";
    case SMTP_ERR_GREETING: return "the server did not greet with 220";
    case SMTP_ERR_EHLO: return "the server did not accept EHLO";
    case SMTP_ERR_HELO: return "the server did not accept HELO";
    case SMTP_ERR_MAIL_FROM: return "the server refused the sender address";
    case SMTP_ERR_NO_RECIPIENT: return "the server accepted none of the recipients";
    case SMTP_ERR_DATA: return "the server refused DATA";
    case SMTP_ERR_SEND: return "the server did not accept the message";
    case SMTP_ERR_AUTH_START: return "the server refused to start the login";
    case SMTP_ERR_AUTH_USER: return "the server refused the login name";
    case SMTP_ERR_AUTH_FAILED: return "the server refused the login";
    case SMTP_ERR_STARTTLS: return "the server does not offer STARTTLS or refused it";
    case SMTP_ERR_TLS: return "TLS with the server failed";
    case SMTP_ERR_TLS_CERTIFICATE: return "the server's certificate was not accepted";
    default: return "the mail was not sent";
    }
}

bool SendSmtpText(Client* client, const std::string& text) {
    if (text.empty()) return true;
    return client->SendBuf(text.data(), static_cast<int>(text.size()), SmtpDeadline::WaitBoundUs()) ==
           static_cast<int>(text.size());
}

bool CheckCommandResponse(Client* client, int expected) {
    SmtpReply reply;
    reply.ReadFrom(client);
    return reply.Code() == expected;
}

bool GetLoginType(Client* client, int expected, bool* plain, bool* login, bool* cramMd5, bool* digestMd5) {
    SmtpReply reply;
    reply.ReadFrom(client);
    const std::string& text = reply.Text();
    if (text.size() <= 3) return false;
    *plain = text.find("PLAIN") != std::string::npos;
    *login = text.find("LOGIN") != std::string::npos;
    *cramMd5 = text.find("CRAM-MD5") != std::string::npos;
    *digestMd5 = text.find("DIGEST-MD5") != std::string::npos;
    return reply.Code() == expected;
}

int GenSMTP::SendMail(const std::vector<_MAIL_RECIPIENT_INFO>& recipients, int /*unused*/,
                      const _MAIL_CONTENT* content) {
    m_failureReason.clear();
    m_recipientResults.clear();
    if (!content) return Finish(-1);
    SmtpDeadline dialogue(m_options.dialogueBound, m_options.waitBound);
    const _MAIL_CONTENT mail = *content;
    const std::vector<_MAIL_RECIPIENT_INFO> list = recipients;
    std::vector<const _MAIL_RECIPIENT_INFO*> matching;
    for (const auto& recipient : list)
        if (Matches(recipient, mail)) matching.push_back(&recipient);

    std::unique_ptr<Client> stream;
    int result = Connect(FieldText(m_serverInfo.szSMTPServer), m_serverInfo.uPort, stream);
    if (!stream) return Finish(result);
    if (result == 0 && !matching.empty()) result = RunDialogue(stream, matching, mail);
    // A stream whose TLS failed refuses to send, so no QUIT leaks out in plain text.
    SendSmtpText(stream.get(), "QUIT\r\n");
    stream->Close();
    return Finish(result);
}

// Connects, and with TLS from the start also runs the handshake. `stream` stays
// empty when there is no connection.
int GenSMTP::Connect(const std::string& host, unsigned short port, std::unique_ptr<Client>& stream) {
    if (!KnownSecurity(m_serverInfo.bySecurity))
        return Fail(SMTP_ERR_TLS, "unknown connection security setting " + std::to_string(m_serverInfo.bySecurity) +
                                      "; nothing was sent");
    int boundUs = SmtpDeadline::WaitBoundUs();
    std::unique_ptr<Client> opened = m_hooks.open ? m_hooks.open(host, port, boundUs) : OpenSocket(host, port, boundUs);
    if (!opened) return Fail(-1, "no connection to " + host + ":" + std::to_string(port));
    stream = std::move(opened);
    return m_serverInfo.bySecurity == SMTP_SECURITY_TLS ? StartTls(host, stream) : 0;
}

// Lays TLS over `stream`; on failure the stream is left in place but refuses
// every further byte.
int GenSMTP::StartTls(const std::string& host, std::unique_ptr<Client>& stream) {
    TlsSettings settings;
    settings.host = host;
    settings.verify = !(m_serverInfo.byTlsFlags & SMTP_TLS_NO_VERIFY);
    // The account's own authority file unless the caller named one.
    settings.caFile = m_caFile.empty() ? FieldText(m_serverInfo.szCAFile) : m_caFile;
    settings.timeoutUs = SmtpDeadline::WaitBoundUs();
    bool certificateFault = false;
    std::string why;
    bool secured = m_hooks.secure ? m_hooks.secure(stream, settings, certificateFault, why)
                                  : SecureWithTlsClient(stream, settings, certificateFault, why);
    if (secured) return 0;
    if (certificateFault)
        return Fail(SMTP_ERR_TLS_CERTIFICATE, "the server's certificate was not accepted: " + why);
    return Fail(SMTP_ERR_TLS, "TLS with the server failed: " + why);
}

// EHLO, STARTTLS, handshake. Nothing but EHLO and STARTTLS goes out in plain text.
int GenSMTP::UpgradeWithStartTls(std::unique_ptr<Client>& stream, const std::string& clientName) {
    SmtpReply reply;
    if (!SendSmtpText(stream.get(), "EHLO " + clientName + "\r\n") || !reply.ReadFrom(stream.get()) ||
        reply.Code() != 250)
        return SMTP_ERR_EHLO;
    if (!OffersExtension(reply.Text(), "STARTTLS"))
        return Fail(SMTP_ERR_STARTTLS, "the server does not offer STARTTLS; no login and no mail were sent");
    if (!SendCommand(stream.get(), "STARTTLS\r\n", 220))
        return Fail(SMTP_ERR_STARTTLS, "the server refused STARTTLS; no login and no mail were sent");
    return StartTls(FieldText(m_serverInfo.szSMTPServer), stream);
}

int GenSMTP::RunDialogue(std::unique_ptr<Client>& stream, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching,
                         const _MAIL_CONTENT& content) {
    if (!CheckCommandResponse(stream.get(), 220)) return SMTP_ERR_GREETING;
    std::string clientName = ClientName();
    int result = Introduce(stream, clientName);
    if (result != 0) return result;
    result = SendEnvelope(stream.get(), matching);
    if (result != 0) return result;
    return SendMessage(stream.get(), matching, content, clientName);
}

// EHLO and a login when an account is set up, plain HELO otherwise. With
// STARTTLS the server is asked again after the handshake, and only that answer
// counts: what it offered before TLS may have been tampered with.
int GenSMTP::Introduce(std::unique_ptr<Client>& stream, const std::string& clientName) {
    bool useLogin = (m_serverInfo.byAuth & SMTP_AUTH_LOGIN) || m_serverInfo.szLoginName[0] != '\0';
    Client* client = stream.get();
    if (m_serverInfo.bySecurity == SMTP_SECURITY_STARTTLS) {
        int result = UpgradeWithStartTls(stream, clientName);
        if (result != 0) return result;
        client = stream.get();
    } else if (!useLogin) {
        return SendCommand(client, "HELO " + clientName + "\r\n", 250) ? 0 : SMTP_ERR_HELO;
    }

    bool plain = false, login = false, cram = false, digest = false;
    if (!SendSmtpText(client, "EHLO " + clientName + "\r\n") ||
        !GetLoginType(client, 250, &plain, &login, &cram, &digest))
        return SMTP_ERR_EHLO;
    return useLogin ? Authenticate(client, plain, login, cram, digest) : 0;
}

// Tries each offered mechanism in a fixed order until one succeeds; the result
// is the code of the last one tried, or -1 when none was offered.
int GenSMTP::Authenticate(Client* client, bool plain, bool login, bool cram, bool digest) {
    using Exchange = int (*)(Client*, SMTP_SERVER_INFO*);
    const std::pair<bool, Exchange> order[] = {
        {login, AuthLOGIN}, {cram, AuthCRAM_MD5}, {plain, AuthPLAIN}, {digest, AuthDIGEST_MD5}};
    int result = -1;
    for (const auto& [offered, exchange] : order) {
        if (!offered) continue;
        result = exchange(client, &m_serverInfo);
        if (result == 0) return 0;
    }
    if (result == -1)
        return Fail(-1, "the server offers none of the login mechanisms (LOGIN, CRAM-MD5, PLAIN, DIGEST-MD5)");
    return result;
}

int GenSMTP::SendEnvelope(Client* client, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching) {
    std::string from = WithoutLineBreaks(FieldText(m_serverInfo.szMailFrom));
    if (!SendCommand(client, "MAIL FROM:<" + from + ">\r\n", 250)) return SMTP_ERR_MAIL_FROM;
    int accepted = 0;
    for (const auto* recipient : matching) {
        std::string address = WithoutLineBreaks(FieldText(recipient->szMailAddress));
        SmtpReply reply;
        if (SendSmtpText(client, "RCPT TO:<" + address + ">\r\n")) reply.ReadFrom(client);
        m_recipientResults.push_back({FieldText(recipient->szMailAddress), reply.Code(), reply.Text()});
        if (reply.Code() == 250) accepted++;
    }
    return accepted > 0 ? 0 : SMTP_ERR_NO_RECIPIENT;
}

// The To line names every matching recipient, refused ones included.
int GenSMTP::SendMessage(Client* client, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching,
                         const _MAIL_CONTENT& content, const std::string& clientName) {
    if (!SendCommand(client, "DATA\r\n", 354)) return SMTP_ERR_DATA;

    std::string from = WithoutLineBreaks(FieldText(m_serverInfo.szMailFrom));
    std::string to;
    for (const auto* recipient : matching) {
        to += to.empty() ? "To: " : ",";
        to += WithoutLineBreaks(FieldText(recipient->szName)) + " <" + WithoutLineBreaks(FieldText(recipient->szMailAddress)) + ">";
    }
    std::string subject = content.strSubject.empty() ? SMTP_DEFAULT_SUBJECT : WithoutLineBreaks(content.strSubject);
    time_t now = time(nullptr);
    const std::string pieces[] = {
        "From: \"" + from + "\"<" + from + ">\r\n",
        to,
        "\r\nSubject: " + subject + "\r\n",
        "Date: " + MailDate(now) + "\r\nMessage-ID: " + MessageId(now, clientName) + "\r\nX-Mailer: " + kMailer +
            "\r\n",
        "\r\n" + BodyForData(content.strBody) + "\r\n.\r\n",
    };
    // One send for the whole text: small writes in a row without a reply
    // between them stall on the peer's delayed acknowledgement. A text that did
    // not go out whole is not followed by anything, so the server never stores
    // a mail with a part missing.
    std::string message;
    for (const auto& piece : pieces) message += piece;
    if (!SendSmtpText(client, message)) return SMTP_ERR_SEND;
    return CheckCommandResponse(client, 250) ? 0 : SMTP_ERR_SEND;
}

int GenSMTP::TestMail(_MAIL_RECIPIENT_INFO* recipient) {
    _MAIL_CONTENT content;
    content.byMailLevel = MAIL_LEVEL_INFORMATION;
    content.strBody = kTestBody;
    recipient->byLevel |= MAIL_LEVEL_INFORMATION;
    std::vector<_MAIL_RECIPIENT_INFO> list{*recipient};
    return SendMail(list, 1, &content);
}

bool GenSMTP::TestSmtpServer(const char* host, unsigned short port) {
    m_failureReason.clear();
    SmtpDeadline dialogue(m_options.dialogueBound, m_options.waitBound);
    std::unique_ptr<Client> stream;
    int result = Connect(host ? host : "", port, stream);
    if (!stream) return Finish(result) == 0;
    if (result == 0 && !CheckCommandResponse(stream.get(), 220)) result = SMTP_ERR_GREETING;
    if (result == 0) SendSmtpText(stream.get(), "QUIT\r\n");
    stream->Close();
    return Finish(result) == 0;
}

int GenSMTP::Fail(int result, const std::string& reason) {
    m_failureReason = reason;
    return result;
}

int GenSMTP::Finish(int result) {
    if (result == 0)
        m_failureReason.clear();
    else if (m_failureReason.empty())
        m_failureReason = SmtpResultText(result);
    return result;
}
