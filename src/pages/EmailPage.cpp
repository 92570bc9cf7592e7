// The e-mail page of HttpOmxResponser: the SMTP account and the recipients,
// kept by the e-mail center in its own file, and a test mail through the
// stored account. Runs under the responder's page lock. SMTP fields are read
// and shown by one function each, so a new account setting is a line in each.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RecordText.h"
#include "config/EmailSettingsSchema.h"
#include "config/EventLevels.h"
#include "config/StrUtility.h"
#include "mail/SmtpTestMail.h"
#include "notify/EmailCenter.h"
#include "pages/FormFields.h"
#include "pages/GlobalMap.h"
#include "pages/HttpOmxResponser.h"
#include "http/HttpParser.h"
#include "pages/LeafElement.h"
#include "pages/PageHelpers.h"
#include "pages/XmlDocForWeb.h"

// What one e-mail action leaves on the page.
struct EmailActionOutcome {
    std::string error;
    std::string warning;
    std::string info;
    bool showTyped = false;  // the form was refused: show what was typed
};

namespace {

const char kParameterError[] = "Parameter error.";
const char* const kPortRangeMessage = EmailSettingsSchema::kPortRangeMessage;
const char kNameMessage[] = "Name can only contain ''-'',''_'',letters and numbers.";
const char kSmtpNotSaved[] = "Failed to save SMTP server setting.";
const char kRecipientNotAdded[] = "Failed to add new recipient.";
const char kAddressMessage[] = "Invalid e-mail address.";
const char kPasswordTooLong[] =
    "The password is longer than 63 characters, so the mail server settings were not saved "
    "(a shortened password would be refused by the mail server).";
const char kSetRecipientLevels[] = "SetRecipientLevels";

// Copies a required form field into a fixed record field; false when it is
// missing or does not fit (N - 1 characters at most).
template <size_t N>
bool TakeField(const HttpParser& parser, const char* name, char (&field)[N]) {
    std::string value;
    if (!parser.GetValue(name, value) || value.size() > N - 1) return false;
    memcpy(field, value.c_str(), value.size() + 1);
    return true;
}


const char* const kSecurityNames[] = {"none", "starttls", "tls"};  // by SMTP_SECURITY_* value

// The page's words for a write: saved, kept in memory after a failed save, or
// `refused` (the center would not do it); and a file that had to be set aside.
void TellSave(bool saved, const EmailSaveReport& report, const std::string& done, const std::string& refused,
              EmailActionOutcome& outcome) {
    if (!report.keptAs.empty())
        outcome.warning = "The e-mail settings file could not be read; it was kept as " + report.keptAs +
                          ". The recipients it held must be added again.";
    if (saved)
        outcome.info = done;
    else if (!report.failure.empty())
        outcome.error = SettingsNotSavedMessage(report.failure);
    else
        outcome.error = refused;
}

// A field that is absent keeps the stored value: only an explicit value
// changes the connection security (a script or an old page must never turn
// TLS off).
std::string ReadSecurityFields(const HttpParser& parser, SMTP_SERVER_INFO& info) {
    std::string security;
    if (parser.GetValue("security", security) && !security.empty()) {
        bool known = false;
        for (uint8_t value = 0; value < 3; ++value) {
            if (security == kSecurityNames[value]) {
                info.bySecurity = value;
                known = true;
            }
        }
        if (!known) return kParameterError;
    }
    std::string verify;
    if (parser.GetValue("tlsverify", verify) && !verify.empty()) {
        if (verify == "off")
            info.byTlsFlags |= SMTP_TLS_NO_VERIFY;
        else
            info.byTlsFlags &= static_cast<uint8_t>(~SMTP_TLS_NO_VERIFY);
    }
    return std::string();
}

// The trusted-authority file: empty clears it; otherwise an absolute path to a
// file this service can read, so a typo shows now and not at the next event.
std::string ReadCaFileField(const HttpParser& parser, SMTP_SERVER_INFO& info) {
    std::string file;
    if (!parser.GetValue("cafile", file)) return std::string();
    if (file.empty()) {
        info.szCAFile[0] = '\0';
        return std::string();
    }
    std::string why;
    struct stat st;
    if (file.size() >= sizeof info.szCAFile)
        why = "the name is longer than " + std::to_string(sizeof info.szCAFile - 1) + " characters";
    else if (file[0] != '/')
        why = "give the full path, starting with /";
    else if (stat(file.c_str(), &st) != 0 || access(file.c_str(), R_OK) != 0)
        why = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    if (!why.empty()) return "The trusted authority file " + file + " cannot be used (" + why + ").";
    CopyField(info.szCAFile, file);
    return std::string();
}

// The password as typed, "<" and ">" included. Empty keeps the stored one
// unless "clearpass" asks to clear it.
std::string ReadPasswordField(const HttpParser& parser, SMTP_SERVER_INFO& info) {
    std::string password;
    if (!parser.m_values.count("passdd") || !RawFormValue(parser, "passdd", password)) return kParameterError;
    if (password.size() > sizeof info.szPassword - 1) return kPasswordTooLong;
    if (!password.empty())
        CopyField(info.szPassword, password);
    else if (parser.m_values.count("clearpass"))
        info.szPassword[0] = '\0';
    return std::string();
}

// An empty port is refused like any other bad port; an absent one keeps the
// stored port, and there must be one.
std::string ReadPortField(const HttpParser& parser, SMTP_SERVER_INFO& info) {
    std::string port;
    if (parser.GetValue("port", port)) {
        int number = 0;
        if (!PortFromDigits(port, number) || number < static_cast<int>(EmailSettingsSchema::kLowestPort) ||
            number > static_cast<int>(EmailSettingsSchema::kHighestPort))
            return kPortRangeMessage;
        info.uPort = static_cast<uint16_t>(number);
    }
    return info.uPort == 0 ? kPortRangeMessage : std::string();
}

// The SetSmtp form over the stored account `info`; the message for the first
// problem, or empty.
std::string ReadSmtpForm(const HttpParser& parser, SMTP_SERVER_INFO& info) {
    if (!TakeField(parser, "smtpadd", info.szSMTPServer) || !TakeField(parser, "fromadd", info.szMailFrom) ||
        !TakeField(parser, "lognamedd", info.szLoginName))
        return kParameterError;
    for (const auto& [text, label] : {std::make_pair(FieldText(info.szSMTPServer), "SMTP server"),
                                      std::make_pair(FieldText(info.szMailFrom), "Sender address"),
                                      std::make_pair(FieldText(info.szLoginName), "Login name")}) {
        std::string problem = UnstorableFieldMessage(text, label);
        if (!problem.empty()) return problem;
    }
    if (info.szMailFrom[0] != '\0' && !IsMailAddress(info.szMailFrom)) return kAddressMessage;
    info.byAuth = 0;
    if (info.szLoginName[0] != '\0') info.byAuth |= SMTP_AUTH_LOGIN;
    if (!parser.m_values.count("enable")) info.byAuth |= SMTP_AUTH_DISABLED;
    info.byAuthType = 0;
    for (auto read : {ReadPasswordField, ReadPortField, ReadSecurityFields, ReadCaFileField}) {
        std::string error = read(parser, info);
        if (!error.empty()) return error;
    }
    return std::string();
}

// "smtp" with what the page shows of the account; never the password, only
// whether one is stored.
TiXmlElement* SmtpElement(const SMTP_SERVER_INFO& info) {
    auto* smtp = new TiXmlElement("smtp");
    smtp->LinkEndChild(new LeafElement("server", FieldText(info.szSMTPServer).c_str()));
    smtp->LinkEndChild(new LeafElement("from", FieldText(info.szMailFrom).c_str()));
    smtp->LinkEndChild(new LeafElement("logname", FieldText(info.szLoginName).c_str()));
    smtp->LinkEndChild(new LeafElement("port", info.uPort));
    smtp->LinkEndChild(
        new LeafElement("security", info.bySecurity < 3 ? kSecurityNames[info.bySecurity] : "unknown"));
    smtp->LinkEndChild(new LeafElement("tlsverify", (info.byTlsFlags & SMTP_TLS_NO_VERIFY) ? "off" : "on"));
    smtp->LinkEndChild(new LeafElement("cafile", FieldText(info.szCAFile).c_str()));
    smtp->SetAttribute("enabled", (info.byAuth & SMTP_AUTH_DISABLED) ? "0" : "1");
    smtp->SetAttribute("password", info.szPassword[0] ? "stored" : "none");
    return smtp;
}

TiXmlElement* RecipientElement(const _MAIL_RECIPIENT_INFO& recipient) {
    auto* element = new TiXmlElement("recipient");
    element->LinkEndChild(new LeafElement("email", FieldText(recipient.szMailAddress).c_str()));
    element->LinkEndChild(new LeafElement("name", FieldText(recipient.szName).c_str()));
    AppendLevelLeaves(element, recipient.byLevel);
    return element;
}

std::string LevelNames(unsigned char mask) { return EventLevels::Titles(mask); }

bool FuncId(const HttpParser& parser, FUNC_ID& id) {
    std::string func;
    if (!parser.GetValue("func", func)) return false;
    id = GlobalMap::GetFuncId(func);
    return true;
}

bool FuncIs(const HttpParser& parser, const char* name) {
    std::string func;
    return parser.GetValue("func", func) && func == name;
}

}  // namespace

XmlDocForWeb* HttpOmxResponser::EmailManagement(HttpParser* parser) {
    FUNC_ID id = FUNC_CONTROLLERS;
    if (FuncIs(*parser, kSetRecipientLevels)) return EmailPageWith(parser, SetRecipientLevels(*parser), "");
    if (FuncId(*parser, id)) {
        if (id >= FUNC_SET_SMTP && id <= FUNC_DELETE_RECIPIENT) return SetEmailNotification(parser, id);
        if (id == FUNC_SEND_TEST_MAIL) return SendTestMail(parser);
    }
    return ShowEmailPage(parser);
}

XmlDocForWeb* HttpOmxResponser::ShowEmailPage(HttpParser* /*parser*/) {
    auto doc = std::make_unique<XmlDocForWeb>("email.xml");
    doc->SetXsl("email.xsl");
    TiXmlElement* root = doc->SetRootElement("kvo_omx_page");
    doc->SetTitle("EMAIL Management");
    auto* setting = new TiXmlElement("setting");
    root->LinkEndChild(setting);

    SMTP_SERVER_INFO info;
    bool readable = m_pEmailCenter && m_pEmailCenter->GetSMTPServer(&info);
    if (readable) setting->LinkEndChild(SmtpElement(info));

    auto* recipients = new TiXmlElement("recipients");
    setting->LinkEndChild(recipients);
    std::vector<_MAIL_RECIPIENT_INFO> list;
    if (m_pEmailCenter) m_pEmailCenter->EnumRcpt(list);
    for (const auto& recipient : list) recipients->LinkEndChild(RecipientElement(recipient));
    // Only a file that gave no settings can be one that does not parse.
    if (!readable && m_pEmailCenter && m_pEmailCenter->FileUnreadable())
        doc->AddMessage(XmlDocForWeb::MSG_WARN,
                        "The e-mail settings file cannot be read (it is not valid XML), so no settings or "
                        "recipients are shown. The next save keeps it under another name and starts a new file.");
    return doc.release();
}

XmlDocForWeb* HttpOmxResponser::SetEmailNotification(HttpParser* parser, int funcId) {
    switch (funcId) {
        case FUNC_SET_SMTP:
            return EmailPageWith(parser, SetSmtpAccount(*parser), "SetSmtp");
        case FUNC_ADD_RECIPIENT:
            return EmailPageWith(parser, AddRecipient(*parser), "AddRecipient");
        case FUNC_DELETE_RECIPIENT:
            return EmailPageWith(parser, DeleteRecipients(*parser), "");
        default: {
            EmailActionOutcome outcome;
            outcome.error = kParameterError;
            return EmailPageWith(parser, outcome, "");
        }
    }
}

// The page after an action: what was typed into a refused form `form`, then
// the action's messages.
XmlDocForWeb* HttpOmxResponser::EmailPageWith(HttpParser* parser, const EmailActionOutcome& outcome,
                                              const char* form) {
    XmlDocForWeb* doc = ShowEmailPage(parser);
    if (outcome.showTyped && *form) doc->PageRoot()->LinkEndChild(TypedFieldsElement(*parser, form, {"passdd"}));
    if (!outcome.error.empty()) doc->AddMessage(XmlDocForWeb::MSG_ERROR, outcome.error.c_str());
    if (!outcome.warning.empty()) doc->AddMessage(XmlDocForWeb::MSG_WARN, outcome.warning.c_str());
    if (!outcome.info.empty()) doc->AddMessage(kPageMessageInfo, outcome.info.c_str());
    return doc;
}

EmailActionOutcome HttpOmxResponser::SetSmtpAccount(const HttpParser& parser) {
    EmailActionOutcome outcome;
    SMTP_SERVER_INFO info;
    // What the form leaves out (the password, the security settings) stays as stored.
    if (m_pEmailCenter) m_pEmailCenter->GetSMTPServer(&info);
    outcome.error = ReadSmtpForm(parser, info);
    if (!outcome.error.empty()) {
        outcome.showTyped = true;
        return outcome;
    }
    EmailSaveReport report;
    bool saved = m_pEmailCenter && m_pEmailCenter->SetSMTPServer(&info, &report);
    TellSave(saved, report, "The mail server settings were saved.", kSmtpNotSaved, outcome);
    return outcome;
}

EmailActionOutcome HttpOmxResponser::AddRecipient(const HttpParser& parser) {
    EmailActionOutcome outcome;
    outcome.showTyped = true;
    _MAIL_RECIPIENT_INFO recipient;
    // An empty address could never be deleted and would be sent as "RCPT TO:<>".
    if (!TakeField(parser, "email", recipient.szMailAddress) || recipient.szMailAddress[0] == '\0') {
        outcome.error = kParameterError;
        return outcome;
    }
    std::string address = FieldText(recipient.szMailAddress);
    outcome.error = UnstorableFieldMessage(address, "E-mail address");
    if (!outcome.error.empty()) return outcome;
    if (!IsMailAddress(address)) {
        outcome.error = kAddressMessage;
        return outcome;
    }
    std::string name;
    if (!parser.GetValue("name", name)) {
        outcome.error = kParameterError;
        return outcome;
    }
    std::vector<char> trimmed(name.begin(), name.end());
    trimmed.push_back('\0');
    StrUtility::trim(trimmed.data());
    if (!ISVALIDNAME(trimmed.data())) {
        outcome.error = kNameMessage;
        return outcome;
    }
    if (strlen(trimmed.data()) > sizeof recipient.szName - 1) {
        outcome.error = kParameterError;
        return outcome;
    }
    strcpy(recipient.szName, trimmed.data());
    recipient.byLevel = LevelMaskFromFields(parser.m_values);
    if (recipient.byLevel == 0) {
        outcome.error = kParameterError;
        return outcome;
    }
    // Letter case does not make another mailbox: one address, one mail.
    std::vector<_MAIL_RECIPIENT_INFO> list;
    if (m_pEmailCenter) m_pEmailCenter->EnumRcpt(list);
    for (const auto& listed : list) {
        std::string known = FieldText(listed.szMailAddress);
        if (!SameMailAddress(known, address)) continue;
        outcome.error = std::string(kRecipientNotAdded) + " " + address + " is already listed" +
                        (known == address ? "." : " as " + known + ".");
        return outcome;
    }
    EmailSaveReport report;
    bool saved = m_pEmailCenter && m_pEmailCenter->EditRcpt(&recipient, RCPT_EDIT_ADD, &report);
    TellSave(saved, report, "Recipient " + address + " was added.", kRecipientNotAdded, outcome);
    outcome.showTyped = !saved && report.failure.empty();
    return outcome;
}

EmailActionOutcome HttpOmxResponser::DeleteRecipients(const HttpParser& parser) {
    EmailActionOutcome outcome;
    std::string deleted;
    int count = 0;
    for (const auto& field : parser.m_values) {
        if (field.first.find("check_") == std::string::npos) continue;
        _MAIL_RECIPIENT_INFO recipient;
        if (field.second.size() >= sizeof recipient.szMailAddress) {
            outcome.error = kParameterError;
            break;
        }
        strcpy(recipient.szMailAddress, field.second.c_str());
        // Those deleted before a failure stay deleted.
        EmailSaveReport report;
        bool saved = m_pEmailCenter && m_pEmailCenter->EditRcpt(&recipient, RCPT_EDIT_DELETE, &report);
        if (!saved && report.failure.empty()) {
            char text[sizeof recipient.szMailAddress + 64];
            snprintf(text, sizeof text, "Failed to delete recipient '%s'.", recipient.szMailAddress);
            outcome.error = text;
            break;
        }
        TellSave(saved, report, "", "", outcome);
        deleted += (deleted.empty() ? "" : ", ") + field.second;
        ++count;
        if (!saved) break;
    }
    outcome.info.clear();
    if (count > 0) outcome.info = std::string(count == 1 ? "Deleted recipient " : "Deleted recipients ") + deleted + ".";
    return outcome;
}

EmailActionOutcome HttpOmxResponser::SetRecipientLevels(const HttpParser& parser) {
    EmailActionOutcome outcome;
    _MAIL_RECIPIENT_INFO recipient;
    if (!TakeField(parser, "email", recipient.szMailAddress) || recipient.szMailAddress[0] == '\0') {
        outcome.error = kParameterError;
        return outcome;
    }
    std::string address = FieldText(recipient.szMailAddress);
    recipient.byLevel = LevelMaskFromFields(parser.m_values);
    if (recipient.byLevel == 0) {
        outcome.error = "Choose at least one level for " + address +
                        " (to stop its mails, delete the recipient). Nothing was changed.";
        return outcome;
    }
    EmailSaveReport report;
    bool saved = m_pEmailCenter && m_pEmailCenter->EditRcpt(&recipient, RCPT_EDIT_MODIFY, &report);
    TellSave(saved, report, address + " now gets mails of level " + LevelNames(recipient.byLevel) + ".",
             "Failed to change the levels of recipient '" + address + "': it is not listed.", outcome);
    return outcome;
}

// Runs outside the request and page locks (see ProcessRequest): a slow mail
// server holds up only the page that asked for the test.
HttpOmxResponser::TestMailOutcome HttpOmxResponser::RunTestMail(const HttpParser& parser) {
    TestMailOutcome outcome;
    // A typed address wins over the one chosen from the list.
    std::string address;
    if (!parser.GetValue("testaddr", address) || address.empty()) parser.GetValue("testrcpt", address);
    _MAIL_RECIPIENT_INFO recipient;
    std::vector<_MAIL_RECIPIENT_INFO> list;
    if (m_pEmailCenter) m_pEmailCenter->EnumRcpt(list);
    for (const auto& listed : list)
        if (address == listed.szMailAddress) recipient = listed;  // with its name for the To line

    SMTP_SERVER_INFO info;
    if (address.empty() || address.size() >= sizeof recipient.szMailAddress) {
        outcome.text = "No test mail sent: choose a recipient or type an address.";
    } else if (!IsMailAddress(address)) {
        outcome.text = kAddressMessage;
    } else if (!(m_pEmailCenter && m_pEmailCenter->GetSMTPServer(&info)) || info.szSMTPServer[0] == '\0') {
        outcome.text = "No test mail sent: no mail server is set up yet.";
    } else {
        strcpy(recipient.szMailAddress, address.c_str());
        SmtpTestMail test(info, m_testMailOptions);
        outcome.sent = test.Send(recipient);
        outcome.text = test.Outcome();
        if (outcome.sent && (info.byAuth & SMTP_AUTH_DISABLED))
            outcome.text += " Notification by e-mail is switched off, so events are not mailed.";
    }
    return outcome;
}

bool HttpOmxResponser::IsTestMailRequest(const HttpParser& parser) {
    FUNC_ID id = FUNC_CONTROLLERS;
    return GlobalMap::GetFuncId(parser.m_path) == FUNC_EMAIL && FuncId(parser, id) && id == FUNC_SEND_TEST_MAIL;
}

XmlDocForWeb* HttpOmxResponser::SendTestMail(HttpParser* parser) {
    TestMailOutcome outcome = m_testMailDone ? *m_testMailDone : RunTestMail(*parser);
    XmlDocForWeb* doc = ShowEmailPage(parser);
    doc->AddMessage(outcome.sent ? kPageMessageInfo : XmlDocForWeb::MSG_ERROR, outcome.text.c_str());
    return doc;
}
