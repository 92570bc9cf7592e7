// Harness: kvoomxemail.conf. Arbitrary bytes as the file; the account and the
// recipients read; an account and a recipient written from the input (some not
// writable as XML 1.0), one recipient deleted. Every file written must be read
// by libxml2 and by our own reader to the same document, give back what was
// stored, and keep the recipients it had.
#include <cstring>
#include <string>
#include <vector>

#include "RecordText.h"
#include "config/XmlText.h"
#include "fuzz/SettingsFuzzSupport.h"
#include "notify/EmailCenter.h"

using namespace kvofuzz;

namespace {

template <size_t N>
void Fill(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

std::vector<std::string> Addresses(EmailCenter& center) {
    std::vector<_MAIL_RECIPIENT_INFO> list;
    center.EnumRcpt(list);
    std::vector<std::string> out;
    for (const auto& r : list) out.push_back(FieldText(r.szMailAddress));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QuietLog quiet;
    FuzzInput input(data, size);
    int what = input.Byte();
    SMTP_SERVER_INFO account;
    Fill(account.szSMTPServer, input.Text(80));
    Fill(account.szMailFrom, input.Text(80));
    Fill(account.szLoginName, input.Text(80));
    Fill(account.szPassword, input.Text(80));
    account.uPort = static_cast<uint16_t>(input.Byte() * 256 + input.Byte());
    account.bySecurity = input.Byte() % 3;
    _MAIL_RECIPIENT_INFO recipient;
    Fill(recipient.szMailAddress, input.Text(140));
    Fill(recipient.szName, input.Text(80));
    recipient.byLevel = input.Byte();
    std::string file = ScratchDir() + "/kvoomxemail.conf";
    WriteFile(file, input.Rest());
    {
        EmailCenter center;
        center.SetLogImp(&quiet);
        center.InitEmailCenter(file);
        SMTP_SERVER_INFO read;
        center.GetSMTPServer(&read);
        std::vector<std::string> before = Addresses(center);

        if (what & 1) {
            if (center.SetSMTPServer(&account)) {
                CheckWrittenFile(file);
                SMTP_SERVER_INFO back;
                Expect(center.GetSMTPServer(&back), "the saved account does not read");
                Expect(FieldText(back.szSMTPServer) == XmlText::AsRead(FieldText(account.szSMTPServer)) &&
                           FieldText(back.szMailFrom) == XmlText::AsRead(FieldText(account.szMailFrom)) &&
                           FieldText(back.szLoginName) == XmlText::AsRead(FieldText(account.szLoginName)) &&
                           FieldText(back.szPassword) == FieldText(account.szPassword) &&
                           back.uPort == account.uPort && back.bySecurity == account.bySecurity,
                       "the saved account reads back differently");
                Expect(Addresses(center) == before, "saving the account changed the recipients");
            }
        }
        if (what & 2) {
            if (center.EditRcpt(&recipient, RCPT_EDIT_ADD)) {
                CheckWrittenFile(file);
                std::vector<std::string> after = Addresses(center);
                Expect(!after.empty() && after.back() == XmlText::AsRead(FieldText(recipient.szMailAddress)),
                       "the added recipient reads back differently");
                after.pop_back();
                Expect(after == before, "adding a recipient changed the others");
            }
        }
        if ((what & 4) && !before.empty()) {
            _MAIL_RECIPIENT_INFO gone;
            Fill(gone.szMailAddress, before.front());
            if (center.EditRcpt(&gone, RCPT_EDIT_DELETE)) CheckWrittenFile(file);
        }
    }
    EmptyScratch();
    return 0;
}
