#include "mail/GenSMTP.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "mail/SmtpAuth.h"
#include "mail/SmtpReply.h"
#include "server/SocketClient.h"

const char* const SMTP_DEFAULT_SUBJECT = "velmora tech raid system information";

namespace {

const char kTestBody[] = "This is a test mail.";
const char kMailer[] = "Velmora-SMTP v1.0";

template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Command arguments and header values are one line: a CR or LF in them would
// start a new command or header (or end the message early).
std::string OneLine(std::string text) {
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

}  // namespace

bool SendSmtpText(Client* client, const std::string& text) {
    if (text.empty()) return true;
    return client->SendBuf(text.data(), static_cast<int>(text.size()), SmtpReply::kTimeoutUs) ==
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
    if (!content) return -1;
    const _MAIL_CONTENT mail = *content;
    const std::vector<_MAIL_RECIPIENT_INFO> list = recipients;
    std::vector<const _MAIL_RECIPIENT_INFO*> matching;
    for (const auto& recipient : list)
        if (Matches(recipient, mail)) matching.push_back(&recipient);

    SocketClient client(FieldText(m_serverInfo.szSMTPServer).c_str(), m_serverInfo.uPort, AF_INET,
                        SmtpReply::kTimeoutUs);
    if (client.GetStatus() != 1) return -1;

    int result = matching.empty() ? 0 : RunDialogue(&client, matching, mail);
    SendSmtpText(&client, "QUIT\r\n");
    client.Close();
    return result;
}

int GenSMTP::RunDialogue(Client* client, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching,
                         const _MAIL_CONTENT& content) {
    if (!CheckCommandResponse(client, 220)) return SMTP_ERR_GREETING;
    std::string clientName = ClientName();
    int result = Introduce(client, clientName);
    if (result != 0) return result;
    result = SendEnvelope(client, matching);
    if (result != 0) return result;
    return SendMessage(client, matching, content, clientName);
}

// EHLO and a login when an account is set up, plain HELO otherwise.
int GenSMTP::Introduce(Client* client, const std::string& clientName) {
    bool useLogin = (m_serverInfo.byAuth & SMTP_AUTH_LOGIN) || m_serverInfo.szLoginName[0] != '\0';
    if (!useLogin) return SendCommand(client, "HELO " + clientName + "\r\n", 250) ? 0 : SMTP_ERR_HELO;

    bool plain = false, login = false, cram = false, digest = false;
    if (!SendSmtpText(client, "EHLO " + clientName + "\r\n") ||
        !GetLoginType(client, 250, &plain, &login, &cram, &digest))
        return SMTP_ERR_EHLO;
    return Authenticate(client, plain, login, cram, digest);
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
    return result;
}

int GenSMTP::SendEnvelope(Client* client, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching) {
    std::string from = OneLine(FieldText(m_serverInfo.szMailFrom));
    if (!SendCommand(client, "MAIL FROM:<" + from + ">\r\n", 250)) return SMTP_ERR_MAIL_FROM;
    int accepted = 0;
    for (const auto* recipient : matching) {
        std::string address = OneLine(FieldText(recipient->szMailAddress));
        if (SendCommand(client, "RCPT TO:<" + address + ">\r\n", 250)) accepted++;
    }
    return accepted > 0 ? 0 : SMTP_ERR_NO_RECIPIENT;
}

// The To line names every matching recipient, refused ones included.
int GenSMTP::SendMessage(Client* client, const std::vector<const _MAIL_RECIPIENT_INFO*>& matching,
                         const _MAIL_CONTENT& content, const std::string& clientName) {
    if (!SendCommand(client, "DATA\r\n", 354)) return SMTP_ERR_DATA;

    std::string from = OneLine(FieldText(m_serverInfo.szMailFrom));
    std::string to;
    for (const auto* recipient : matching) {
        to += to.empty() ? "To: " : ",";
        to += OneLine(FieldText(recipient->szName)) + " <" + OneLine(FieldText(recipient->szMailAddress)) + ">";
    }
    std::string subject = content.strSubject.empty() ? SMTP_DEFAULT_SUBJECT : OneLine(content.strSubject);
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
    SocketClient client(host, port, AF_INET, SmtpReply::kTimeoutUs);
    if (client.GetStatus() != 1) return false;
    bool greeted = CheckCommandResponse(&client, 220);
    if (greeted) SendSmtpText(&client, "QUIT\r\n");
    client.Close();
    return greeted;
}
