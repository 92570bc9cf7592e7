// Harness: the SMTP reply reader on arbitrary server bytes in arbitrary
// segments. A reply is taken whole and nothing past it; what is read adds up to
// what the server sent; the text kept stays bounded.
#include <string>

#include "fuzz/FuzzInput.h"
#include "ScriptedPeer.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpReply.h"

using namespace kvofuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    size_t piece = input.Byte() * 8 + 1;
    bool closeAtEnd = input.Flag();
    std::string script = input.Rest();

    ScriptedPeer peer(script, piece, closeAtEnd);
    std::string read;
    for (;;) {
        SmtpReply reply;
        bool whole = reply.ReadFrom(&peer);
        const std::string& text = reply.Text();
        Expect(whole == reply.Complete(), "ReadFrom disagrees with Complete");
        Expect(text.size() <= SmtpReply::kMaxBytes + 1024, "reply text unbounded");
        read += text;
        Expect(read == peer.Consumed(), "reply texts differ from the bytes taken");
        if (!whole) {
            Expect(reply.Code() == 0, "incomplete reply with a code");
            break;
        }
        Expect(!text.empty() && text.back() == '\n', "whole reply without its line end");
        size_t lastStart = text.rfind('\n', text.size() - 2);
        std::string last = text.substr(lastStart == std::string::npos ? 0 : lastStart + 1);
        Expect(last.size() < 4 || last[3] != '-', "reply ended on a continued line");
    }

    // The helpers on top of it take the same bytes the same way.
    ScriptedPeer again(script, piece, closeAtEnd);
    bool plain = false, login = false, cram = false, digest = false;
    GetLoginType(&again, 250, &plain, &login, &cram, &digest);
    CheckCommandResponse(&again, 250);
    return 0;
}
