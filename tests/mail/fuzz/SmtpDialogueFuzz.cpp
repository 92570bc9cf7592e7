// Harness: a whole mail (GenSMTP::SendMail) against a server whose replies come
// from the input, in every security mode and with or without a login, the TLS
// layer played by the harness (it succeeds or fails as the input says). Before
// TLS is up nothing but EHLO, STARTTLS and QUIT goes out; a success means the
// server took the data with 250; the data ends exactly once, at its end.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "ScriptedPeer.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpAuth.h"
#include "mail/TlsClient.h"

using namespace kvofuzz;

namespace {

template <size_t N>
void Fill(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N));
}

// A stream handed to GenSMTP that forwards to the peer the harness keeps.
class PeerHandle : public Client {
public:
    explicit PeerHandle(ScriptedPeer& peer) : m_peer(peer) {}
    int PeekBuf(char* b, int n, int t) override { return m_peer.PeekBuf(b, n, t); }
    int ReceiveBuf(char* b, int n, int t) override { return m_peer.ReceiveBuf(b, n, t); }
    int SendBuf(const char* d, int n, int t) override { return m_peer.SendBuf(d, n, t); }
    int GetStatus() override { return 1; }
    int GetStatistics(ClientStatisticsTag& s) override { return m_peer.GetStatistics(s); }
    int Close() override { return m_peer.Close(); }
    int WhenBroken(int c) override { return m_peer.WhenBroken(c); }

private:
    ScriptedPeer& m_peer;
};

const int kResults[] = {0,
                        -1,
                        SMTP_ERR_GREETING,
                        SMTP_ERR_EHLO,
                        SMTP_ERR_HELO,
                        SMTP_ERR_MAIL_FROM,
                        SMTP_ERR_NO_RECIPIENT,
                        SMTP_ERR_DATA,
                        SMTP_ERR_SEND,
                        SMTP_ERR_AUTH_START,
                        SMTP_ERR_AUTH_USER,
                        SMTP_ERR_AUTH_FAILED,
                        SMTP_ERR_STARTTLS,
                        SMTP_ERR_TLS,
                        SMTP_ERR_TLS_CERTIFICATE};

bool KnownResult(int result) {
    for (int known : kResults)
        if (known == result) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    SMTP_SERVER_INFO info;
    info.bySecurity = input.Byte() % 3;
    bool tlsWorks = input.Flag();
    info.byAuth = input.Byte() & 3;
    size_t piece = input.Byte() * 4 + 1;
    bool closeAtEnd = input.Flag();
    Fill(info.szLoginName, input.Text());
    Fill(info.szPassword, input.Text());
    Fill(info.szMailFrom, input.Text());
    Fill(info.szSMTPServer, "mail.example");
    std::vector<_MAIL_RECIPIENT_INFO> recipients(1 + input.Byte() % 3);
    for (auto& recipient : recipients) {
        recipient.byLevel = input.Byte();
        Fill(recipient.szMailAddress, input.Text());
        Fill(recipient.szName, input.Text());
    }
    _MAIL_CONTENT content;
    content.byMailLevel = input.Byte();
    content.strSubject = input.Text();
    content.strBody = input.Text();
    std::string script = input.Rest();

    ScriptedPeer peer(script, piece, closeAtEnd);
    size_t sentBeforeTls = std::string::npos;
    SmtpStreamHooks hooks;
    hooks.open = [&](const std::string&, unsigned short, int) { return std::make_unique<PeerHandle>(peer); };
    hooks.secure = [&](std::unique_ptr<Client>&, const TlsSettings&, bool& certificateFault, std::string& why) {
        sentBeforeTls = peer.Sent().size();
        if (tlsWorks) return true;
        peer.Refuse();
        certificateFault = false;
        why = "scripted failure";
        return false;
    };
    GenSMTP smtp(info);
    smtp.SetStreamHooks(hooks);
    int result = smtp.SendMail(recipients, 0, &content);
    Expect(KnownResult(result), "unknown result");
    Expect((result == 0) == smtp.GetFailureReason().empty(), "failure reason disagrees with the result");

    const std::string& sent = peer.Sent();
    if (info.bySecurity == SMTP_SECURITY_TLS)
        Expect(sentBeforeTls == std::string::npos || sentBeforeTls == 0, "bytes sent before TLS from the start");
    if (info.bySecurity == SMTP_SECURITY_TLS && !(tlsWorks && sentBeforeTls == 0))
        Expect(sent.empty(), "plain text sent although TLS did not come up");
    if (info.bySecurity == SMTP_SECURITY_STARTTLS) {
        size_t plainEnd = sentBeforeTls == std::string::npos || !tlsWorks ? sent.size() : sentBeforeTls;
        for (const std::string& line : SentLines(sent.substr(0, plainEnd)))
            Expect(line.rfind("EHLO ", 0) == 0 || line == "STARTTLS" || line == "QUIT",
                   "more than EHLO and STARTTLS before TLS");
    }
    size_t dataStart = sent.find("\r\nDATA\r\n");
    if (dataStart != std::string::npos && sent.find("\r\n\r\n", dataStart) != std::string::npos) {
        size_t end = sent.find("\r\n.\r\n", dataStart + 6);
        Expect(end != std::string::npos, "data never ended");
        std::string after = sent.substr(end + 5);
        Expect(after.empty() || after == "QUIT\r\n", "data ended early");
    }
    if (result == 0 && dataStart != std::string::npos) {
        std::vector<int> codes = ReplyCodes(peer.Consumed());
        Expect(!codes.empty() && codes.back() == 250, "success without 250 for the data");
    }
    return 0;
}
