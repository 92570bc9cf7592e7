// The e-mail page of HttpOmxResponser: the SMTP account and the recipients,
// kept by the e-mail center in its own file, and a test mail through the
// stored account. Runs under the responder's page lock. SMTP fields are read
// and shown by one function each, so a new account setting is a line in each.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/StrUtility.h"
#include "mail/SmtpTestMail.h"
#include "notify/EmailCenter.h"
#include "web/FormFields.h"
#include "web/GlobalMap.h"
#include "web/HttpOmxResponser.h"
#include "web/HttpParser.h"
#include "web/LeafElement.h"
#include "web/PageHelpers.h"
#include "web/XmlDocForWeb.h"

namespace {

const char kParameterError[] = "Parameter error.";
const char kPortRangeMessage[] = "Port number should be in the range 1 to 65535.";
const char kNameMessage[] = "Name can only contain ''-'',''_'',letters and numbers.";
const char kSmtpNotSaved[] = "Failed to save SMTP server setting.";
const char kRecipientNotAdded[] = "Failed to add new recipient.";

template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

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

// Connection security from the SetSmtp form. Absent fields keep today's
// behaviour (plain text) and the safe one (certificates checked): only an
// explicit "off" turns the check off.
std::string ReadSecurityFields(const HttpParser& parser, SMTP_SERVER_INFO& info) {
    std::string security;
    info.bySecurity = SMTP_SECURITY_NONE;
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
    info.byTlsFlags = parser.GetValue("tlsverify", verify) && verify == "off" ? SMTP_TLS_NO_VERIFY : 0;
    return std::string();
}

// The SetSmtp form into `info`; the message for the first problem, or empty.
std::string ReadSmtpForm(const HttpParser& parser, SMTP_SERVER_INFO& info) {
    if (!TakeField(parser, "smtpadd", info.szSMTPServer) || !TakeField(parser, "fromadd", info.szMailFrom) ||
        !TakeField(parser, "lognamedd", info.szLoginName) || !TakeField(parser, "passdd", info.szPassword))
        return kParameterError;
    if (info.szLoginName[0] != '\0') info.byAuth |= SMTP_AUTH_LOGIN;
    std::string port;
    // An empty port is the field of a stored port 0 sent back: as if absent.
    if (parser.GetValue("port", port) && !port.empty()) {
        int number = 0;
        if (!PortFromDigits(port, number) || number < 1 || number > 65535) return kPortRangeMessage;
        info.uPort = static_cast<uint16_t>(number);
    }
    if (!parser.m_values.count("enable")) info.byAuth |= SMTP_AUTH_DISABLED;
    info.byAuthType = 0;
    return ReadSecurityFields(parser, info);
}

// "smtp" with what the page shows of the account; never the password.
TiXmlElement* SmtpElement(const SMTP_SERVER_INFO& info) {
    auto* smtp = new TiXmlElement("smtp");
    smtp->LinkEndChild(new LeafElement("server", FieldText(info.szSMTPServer).c_str()));
    smtp->LinkEndChild(new LeafElement("from", FieldText(info.szMailFrom).c_str()));
    smtp->LinkEndChild(new LeafElement("logname", FieldText(info.szLoginName).c_str()));
    smtp->LinkEndChild(new LeafElement("port", info.uPort));
    smtp->LinkEndChild(
        new LeafElement("security", info.bySecurity < 3 ? kSecurityNames[info.bySecurity] : "unknown"));
    smtp->LinkEndChild(new LeafElement("tlsverify", (info.byTlsFlags & SMTP_TLS_NO_VERIFY) ? "off" : "on"));
    smtp->SetAttribute("enabled", (info.byAuth & SMTP_AUTH_DISABLED) ? "0" : "1");
    return smtp;
}

TiXmlElement* RecipientElement(const _MAIL_RECIPIENT_INFO& recipient) {
    auto* element = new TiXmlElement("recipient");
    element->LinkEndChild(new LeafElement("email", FieldText(recipient.szMailAddress).c_str()));
    element->LinkEndChild(new LeafElement("name", FieldText(recipient.szName).c_str()));
    AppendLevelLeaves(element, recipient.byLevel);
    return element;
}

bool FuncId(const HttpParser& parser, FUNC_ID& id) {
    std::string func;
    if (!parser.GetValue("func", func)) return false;
    id = GlobalMap::GetFuncId(func);
    return true;
}

}  // namespace

XmlDocForWeb* HttpOmxResponser::EmailManagement(HttpParser* parser) {
    FUNC_ID id = FUNC_CONTROLLERS;
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
    if (m_pEmailCenter && m_pEmailCenter->GetSMTPServer(&info)) setting->LinkEndChild(SmtpElement(info));

    auto* recipients = new TiXmlElement("recipients");
    setting->LinkEndChild(recipients);
    std::vector<_MAIL_RECIPIENT_INFO> list;
    if (m_pEmailCenter) m_pEmailCenter->EnumRcpt(list);
    for (const auto& recipient : list) recipients->LinkEndChild(RecipientElement(recipient));
    return doc.release();
}

XmlDocForWeb* HttpOmxResponser::SetEmailNotification(HttpParser* parser, int funcId) {
    std::string error;
    switch (funcId) {
        case FUNC_SET_SMTP: {
            SMTP_SERVER_INFO info;
            error = ReadSmtpForm(*parser, info);
            if (error.empty() && !(m_pEmailCenter && m_pEmailCenter->SetSMTPServer(&info))) error = kSmtpNotSaved;
            break;
        }
        case FUNC_ADD_RECIPIENT:
            error = AddRecipient(*parser);
            break;
        case FUNC_DELETE_RECIPIENT:
            error = DeleteRecipients(*parser);
            break;
        default:
            error = kParameterError;
            break;
    }
    XmlDocForWeb* doc = ShowEmailPage(parser);
    if (!error.empty()) doc->AddMessage(XmlDocForWeb::MSG_ERROR, error.c_str());
    return doc;
}

std::string HttpOmxResponser::AddRecipient(const HttpParser& parser) {
    _MAIL_RECIPIENT_INFO recipient;
    // An empty address could never be deleted and would be sent as "RCPT TO:<>".
    if (!TakeField(parser, "email", recipient.szMailAddress) || recipient.szMailAddress[0] == '\0')
        return kParameterError;
    std::string name;
    if (!parser.GetValue("name", name)) return kParameterError;
    std::vector<char> trimmed(name.begin(), name.end());
    trimmed.push_back('\0');
    StrUtility::trim(trimmed.data());
    if (!ISVALIDNAME(trimmed.data())) return kNameMessage;
    if (strlen(trimmed.data()) > sizeof recipient.szName - 1) return kParameterError;
    strcpy(recipient.szName, trimmed.data());
    recipient.byLevel = LevelMaskFromFields(parser.m_values);
    if (recipient.byLevel == 0) return kParameterError;
    if (!(m_pEmailCenter && m_pEmailCenter->EditRcpt(&recipient, RCPT_EDIT_ADD))) return kRecipientNotAdded;
    return std::string();
}

std::string HttpOmxResponser::DeleteRecipients(const HttpParser& parser) {
    for (const auto& field : parser.m_values) {
        if (field.first.find("check_") == std::string::npos) continue;
        _MAIL_RECIPIENT_INFO recipient;
        if (field.second.size() >= sizeof recipient.szMailAddress) return kParameterError;
        strcpy(recipient.szMailAddress, field.second.c_str());
        // Those deleted before a failure stay deleted.
        if (!(m_pEmailCenter && m_pEmailCenter->EditRcpt(&recipient, RCPT_EDIT_DELETE))) {
            char text[sizeof recipient.szMailAddress + 64];
            snprintf(text, sizeof text, "Failed to delete recipient '%s'.", recipient.szMailAddress);
            return text;
        }
    }
    return std::string();
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
    } else if (!(m_pEmailCenter && m_pEmailCenter->GetSMTPServer(&info)) || info.szSMTPServer[0] == '\0') {
        outcome.text = "No test mail sent: no mail server is set up yet.";
    } else {
        strcpy(recipient.szMailAddress, address.c_str());
        SmtpTestMail test(info);
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
