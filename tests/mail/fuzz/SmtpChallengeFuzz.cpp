// Harness: the AUTH exchanges (LOGIN, CRAM-MD5, PLAIN, DIGEST-MD5) against a
// server whose replies come from the input, and the challenge helpers
// (GetCRAMkey, FindKey) on their own. No read or write out of bounds; a result
// is 0 only after a 235; every 334 the client read is answered with exactly one
// line (a response, or "*" when it gives the exchange up).
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "ScriptedPeer.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpAuth.h"

using namespace kvofuzz;

namespace {

template <size_t N>
void Fill(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N));  // may fill it to the brim
}

void CheckHelpers(const std::string& script, size_t piece) {
    ScriptedPeer peer(script, piece, true);
    std::vector<char> out(1020, 'X');
    GetCRAMkey(&peer, 334, out.data());
    Expect(std::memchr(out.data(), '\0', out.size()) != nullptr, "GetCRAMkey left no NUL");

    std::string text(script.c_str());  // FindKey sees a C string
    std::vector<char> value(text.size() + 1, 'X');
    if (FindKey(text.c_str(), "nonce", value.data()) == 0)
        Expect(std::strlen(value.data()) <= text.size(), "FindKey value longer than its text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    int mechanism = input.Byte() % 5;
    size_t piece = input.Byte() * 4 + 1;
    bool closeAtEnd = input.Flag();
    SMTP_SERVER_INFO info;
    Fill(info.szLoginName, input.Text());
    Fill(info.szPassword, input.Text());
    Fill(info.szSMTPServer, input.Text());
    std::string script = input.Rest();

    if (mechanism == 4) {
        CheckHelpers(script, piece);
        return 0;
    }
    using Exchange = int (*)(Client*, SMTP_SERVER_INFO*);
    const Exchange exchanges[] = {AuthLOGIN, AuthCRAM_MD5, AuthPLAIN, AuthDIGEST_MD5};
    ScriptedPeer peer(script, piece, closeAtEnd);
    int result = exchanges[mechanism](&peer, &info);
    Expect(result == 0 || result == SMTP_ERR_AUTH_START || result == SMTP_ERR_AUTH_USER ||
               result == SMTP_ERR_AUTH_FAILED,
           "unknown result");

    std::vector<int> codes = ReplyCodes(peer.Consumed());
    Expect(result != 0 || (!codes.empty() && codes.back() == 235), "success without a 235");
    std::vector<std::string> lines = SentLines(peer.Sent());
    Expect(!lines.empty() && lines[0].rfind("AUTH ", 0) == 0, "the exchange did not start with AUTH");
    size_t challenges = 0;
    for (int code : codes) challenges += code == 334;
    // Each 334 gets one line; a 334 to the "*" that gave up is not answered.
    bool gaveUp = lines.back() == "*";
    Expect(lines.size() - 1 == challenges || (gaveUp && lines.size() == challenges),
           "a 334 left unanswered or answered twice");
    return 0;
}
