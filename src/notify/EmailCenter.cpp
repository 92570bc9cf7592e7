#include "notify/EmailCenter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include <tinyxml.h>

#include "config/EmailSettingsSchema.h"
#include "config/EventLevels.h"
#include "config/SettingsFile.h"
#include "config/XmlText.h"
#include "mail/Base64.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpAuth.h"

KvoLock EmailCenter::m_lock;

// The mail records carry the same level bits as every stored mask.
static_assert(MAIL_LEVEL_INFORMATION == EventLevels::kInformation && MAIL_LEVEL_WARNING == EventLevels::kWarning &&
                  MAIL_LEVEL_ERROR == EventLevels::kError,
              "one level table");

namespace {

using Schema = EmailSettingsSchema;

// The password holds at most 63 bytes; its Base64 text at most 84 characters.
const size_t kPasswordBase64Size = 4 * ((sizeof(SMTP_SERVER_INFO::szPassword) + 2) / 3) + 1;

// An element with one text child: a setting or a recipient's field.
// Texts are stored as the file will give them back (see XmlText::AsRead).
std::unique_ptr<TiXmlElement> Leaf(const char* name, const std::string& text) {
    auto element = std::make_unique<TiXmlElement>(name);
    SettingsFile::StoreText(element.get(), text);
    return element;
}

// A fixed text field as a string, never reading past the field.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Copies at most size - 1 bytes and always terminates.
void CopyBounded(char* out, size_t size, const char* text) {
    size_t n = strnlen(text, size - 1);
    memcpy(out, text, n);
    out[n] = '\0';
}

// The recipients' element, created with its parents when missing.
TiXmlElement* RecipientList(TiXmlDocument& doc) {
    return SettingsFile::ChildCreating(SettingsFile::ChildCreating(&doc, Schema::kRoot), Schema::kRcpt);
}

std::string DecimalText(unsigned int value) {
    char text[16];
    snprintf(text, sizeof text, "%d", static_cast<int>(value));
    return text;
}

}  // namespace

EmailCenter::EmailCenter() : m_file(m_log, 0600) {}

bool EmailCenter::InitEmailCenter(std::string path) {
    m_path = std::move(path);
    return true;
}

std::string EmailCenter::EventSubject(const std::string& hostAddress) {
    if (hostAddress.empty()) return std::string(SMTP_DEFAULT_SUBJECT) + " (from inbound)";
    return std::string(SMTP_DEFAULT_SUBJECT) + " (from inbound " + hostAddress + ")";
}

unsigned char EmailCenter::MailLevel(int level) { return EventLevels::BitOrInformation(level); }

void EmailCenter::SetHostAddressSource(std::function<bool(std::string&)> source) {
    m_hostAddress = std::move(source);
}

bool EmailCenter::HostAddress(std::string& address) {
    return m_hostAddress && m_hostAddress(address);
}

std::string EmailCenter::SubjectForThisHost() {
    std::string address;
    if (!HostAddress(address)) address.clear();
    return EventSubject(address);
}

std::string EmailCenter::FileProblem() {
    if (m_path.empty()) return "no e-mail file is set";
    TiXmlDocument doc;
    switch (LoadDocument(doc)) {
        case LOAD_OK: return std::string();
        case LOAD_MISSING: return "the e-mail file " + m_path + " does not exist";
        case LOAD_NO_ACCESS: return "the e-mail file " + m_path + " may not be read";
        default: return "the e-mail file " + m_path + " cannot be read";
    }
}

EmailCenter::LoadResult EmailCenter::LoadDocument(TiXmlDocument& doc, LoadResult* forSave) {
    {
        std::lock_guard<KvoLock> guard(m_lock);
        if (m_hasPending) {
            doc.Parse(m_pending.c_str());
            if (forSave) *forSave = m_pendingLoaded;
            return LOAD_OK;
        }
    }
    LoadResult loaded = LoadFile(doc);
    if (forSave) *forSave = loaded;
    return loaded;
}

// Once per version of the file, so a file read for every event does not repeat it.
void EmailCenter::ReportDropped(size_t dropped, const std::string& place, const struct stat& st) {
    if (dropped == 0) return;
    long long version = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    if (m_droppedReportedFor.exchange(version) == version) return;
    m_log.ShowMessage(LOG_WARNING,
                      "E-mail settings file %s: %zu characters or entries that XML 1.0 does not allow "
                      "were dropped (the first in %s)",
                      m_path.c_str(), dropped, place.empty() ? "the document" : place.c_str());
}

EmailCenter::LoadResult EmailCenter::LoadFile(TiXmlDocument& doc) {
    SettingsFile::LoadReport report = SettingsFile::Load(m_path, doc);
    switch (report.outcome) {
        case SettingsFile::LOADED:
            ReportDropped(report.dropped, report.droppedPlace, report.status);
            return LOAD_OK;
        case SettingsFile::MISSING: return LOAD_MISSING;
        case SettingsFile::NO_ACCESS: return LOAD_NO_ACCESS;
        default: return LOAD_UNREADABLE;
    }
}

bool EmailCenter::FileUnreadable() {
    if (m_path.empty()) return false;
    std::lock_guard<KvoLock> guard(m_lock);
    // An unsaved change is what is shown; its save tells its own trouble.
    if (m_hasPending) return false;
    TiXmlDocument doc;
    return LoadFile(doc) == LOAD_UNREADABLE;
}

// A file that did not parse is set aside first, so the administrator's text
// (and the recipients in it) survives the write that replaces it. A change
// that cannot be saved is kept and saved with the next one.
bool EmailCenter::SaveDocument(const TiXmlDocument& doc, LoadResult loaded, const char* what,
                               EmailSaveReport* report) {
    std::string content;
    std::string error;
    bool keep = false;
    if (loaded == LOAD_NO_ACCESS) {
        error = "the existing file cannot be read, so it is not replaced";
    } else if (!SettingsFile::Render(doc, content)) {
        error = "cannot print the settings";
    } else {
        keep = true;
        if (loaded == LOAD_UNREADABLE) {
            struct stat st;
            std::string keptAs;
            if (stat(m_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
                error = "not a regular file";
            } else if (!m_file.SetAside(m_path, error, &keptAs)) {
                error = "unreadable file not replaced: " + error;
            } else {
                loaded = LOAD_MISSING;
                if (report) report->keptAs = keptAs;
            }
        }
    }
    if (error.empty() && m_file.Save(m_path, content, error)) {
        m_hasPending = false;
        m_pending.clear();
        return true;
    }
    if (keep) {
        m_hasPending = true;
        m_pending = content;
        m_pendingLoaded = loaded;
    }
    if (report) report->failure = error;
    m_log.ShowMessage(LOG_ERROR, "E-mail settings file %s not saved (%s): %s", m_path.c_str(),
                      what, error.c_str());
    return false;
}

bool EmailCenter::SMTPServer_GetValue(TiXmlNode* parent, const char* name, char* buffer,
                                      size_t size) {
    TiXmlElement* element = parent->FirstChildElement(name);
    if (!element) return false;
    // Hand-edited text may be longer than the field: cut it to the field's width.
    CopyBounded(buffer, size, SettingsFile::TextOf(element));
    return true;
}

// Refuses an element that holds elements: giving it a text would lose them.
bool EmailCenter::SMTPServer_SetValue(TiXmlNode* parent, const char* name, const char* value) {
    return SettingsFile::StoreText(SettingsFile::ChildCreating(parent, name), value);
}

bool EmailCenter::GetSMTPServer(SMTP_SERVER_INFO* info) {
    if (m_path.empty() || !info) return false;
    TiXmlDocument doc;
    if (LoadDocument(doc) != LOAD_OK) return false;
    TiXmlElement* root = doc.FirstChildElement(Schema::kRoot);
    if (!root) return false;

    auto number = [&](const char* name) {
        char text[32] = {};
        int value = 0;
        if (!SMTPServer_GetValue(root, name, text, sizeof text) || sscanf(text, "%d", &value) != 1)
            return 0;
        return value;
    };
    SMTP_SERVER_INFO read;
    read.byAuthType = static_cast<uint8_t>(number(Schema::kAuthType));
    read.byAuth = static_cast<uint8_t>(number(Schema::kAuth));
    read.uPort = static_cast<uint16_t>(number(Schema::kPort));
    SMTPServer_GetValue(root, Schema::kLoginName, read.szLoginName, sizeof read.szLoginName);
    SMTPServer_GetValue(root, Schema::kMailFrom, read.szMailFrom, sizeof read.szMailFrom);
    TiXmlElement* password = root->FirstChildElement(Schema::kPassword);
    if (password && password->FirstChild()) {
        // Text that is not Base64, or too long for the field, reads as no password.
        if (Base64::Base64Decode(read.szPassword, password->FirstChild()->Value(),
                                 sizeof read.szPassword - 1) < 0)
            read.szPassword[0] = '\0';
    }
    SMTPServer_GetValue(root, Schema::kServer, read.szSMTPServer, sizeof read.szSMTPServer);
    read.bySecurity = static_cast<uint8_t>(number(Schema::kSecurity));
    read.byTlsFlags = static_cast<uint8_t>(number(Schema::kTlsFlags));
    SMTPServer_GetValue(root, Schema::kCaFile, read.szCAFile, sizeof read.szCAFile);
    *info = read;
    return true;
}

bool EmailCenter::SetSMTPServer(SMTP_SERVER_INFO* info, EmailSaveReport* report) {
    if (m_path.empty() || !info) return false;
    for (const std::string& text : {FieldText(info->szLoginName), FieldText(info->szMailFrom),
                                    FieldText(info->szSMTPServer)})
        if (!XmlText::IsValid(text)) return false;  // it could not be read back
    std::lock_guard<KvoLock> guard(m_lock);
    TiXmlDocument doc;
    LoadResult loaded = LOAD_MISSING;
    LoadDocument(doc, &loaded);
    TiXmlElement* root = SettingsFile::ChildCreating(&doc, Schema::kRoot);

    std::string password = FieldText(info->szPassword);
    char encoded[kPasswordBase64Size] = {};
    Base64::Base64Encode(encoded, password.data(), static_cast<int>(password.size()));
    const std::pair<const char*, std::string> values[] = {
        {Schema::kAuthType, DecimalText(info->byAuthType)},
        {Schema::kAuth, DecimalText(info->byAuth)},
        {Schema::kLoginName, FieldText(info->szLoginName)},
        {Schema::kMailFrom, FieldText(info->szMailFrom)},
        {Schema::kPassword, encoded},
        {Schema::kServer, FieldText(info->szSMTPServer)},
        {Schema::kPort, DecimalText(info->uPort)},
        {Schema::kSecurity, DecimalText(info->bySecurity)},
        {Schema::kTlsFlags, DecimalText(info->byTlsFlags)},
        {Schema::kCaFile, FieldText(info->szCAFile)},
    };
    for (const auto& value : values) {
        // The security elements appear once TLS settings are made: a file of
        // plain-text settings stays exactly as older versions wrote it.
        bool optional =
            value.first == Schema::kSecurity || value.first == Schema::kTlsFlags || value.first == Schema::kCaFile;
        bool unset = value.second == "0" || value.second.empty();
        if (optional && unset && !root->FirstChildElement(value.first)) continue;
        if (!SMTPServer_SetValue(root, value.first, value.second.c_str())) {
            m_log.ShowMessage(LOG_ERROR, "E-mail settings file %s not saved: element %s holds "
                              "other elements", m_path.c_str(), value.first);
            return false;
        }
    }
    return SaveDocument(doc, loaded, "SMTP server", report);
}

bool EmailCenter::EnumRcpt(std::vector<_MAIL_RECIPIENT_INFO>& list) {
    if (m_path.empty()) return false;
    TiXmlDocument doc;
    if (LoadDocument(doc) != LOAD_OK) return false;
    TiXmlElement* rcpt = RecipientList(doc);
    if (!rcpt->FirstChild()) return false;

    // Every child counts, whatever its name (a comment too).
    for (TiXmlNode* child = rcpt->FirstChild(); child; child = child->NextSibling()) {
        _MAIL_RECIPIENT_INFO info;
        char level[32] = {};
        int value = 0;
        if (SMTPServer_GetValue(child, Schema::kLevel, level, sizeof level))
            info.byLevel = sscanf(level, "%d", &value) == 1 ? static_cast<uint8_t>(value) : 0;
        else
            info.byLevel = Schema::kDefaultRecipientLevels;
        SMTPServer_GetValue(child, Schema::kAddress, info.szMailAddress, sizeof info.szMailAddress);
        SMTPServer_GetValue(child, Schema::kName, info.szName, sizeof info.szName);
        list.push_back(info);
    }
    return true;
}

bool EmailCenter::EditRcpt(_MAIL_RECIPIENT_INFO* info, RCPT_EDIT_TYPE type, EmailSaveReport* report) {
    if (m_path.empty() || !info) return false;
    std::lock_guard<KvoLock> guard(m_lock);
    TiXmlDocument doc;
    LoadResult loaded = LOAD_MISSING;
    LoadDocument(doc, &loaded);
    TiXmlElement* rcpt = RecipientList(doc);
    switch (type) {
    case RCPT_EDIT_MODIFY:
        if (!RcptEdit(rcpt, info)) return false;
        break;
    case RCPT_EDIT_DELETE:
        if (!RcptDelete(rcpt, info)) return false;
        break;
    case RCPT_EDIT_ADD:
        if (!RcptAdd(rcpt, info)) return false;
        break;
    default:
        break;
    }
    return SaveDocument(doc, loaded, "recipients", report);
}

bool EmailCenter::RcptAdd(TiXmlNode* rcpt, _MAIL_RECIPIENT_INFO* info) {
    std::string address = XmlText::AsRead(FieldText(info->szMailAddress));
    if (!XmlText::IsValid(address) || !XmlText::IsValid(FieldText(info->szName))) return false;
    std::vector<_MAIL_RECIPIENT_INFO> current;
    EnumRcpt(current);  // the caller holds m_lock: the same file as `rcpt`'s
    for (const auto& known : current) {
        if (FieldText(known.szMailAddress) == address) return false;
    }
    TiXmlNode* recipient = rcpt->LinkEndChild(std::make_unique<TiXmlElement>(Schema::kRecipient).release());
    recipient->LinkEndChild(Leaf(Schema::kLevel, DecimalText(info->byLevel)).release());
    recipient->LinkEndChild(Leaf(Schema::kAddress, address).release());
    recipient->LinkEndChild(Leaf(Schema::kName, FieldText(info->szName)).release());
    return true;
}

TiXmlNode* EmailCenter::FindRecipient(TiXmlNode* rcpt, const std::string& address) {
    for (TiXmlNode* child = rcpt->FirstChild(); child; child = child->NextSibling()) {
        TiXmlElement* element = child->FirstChildElement(Schema::kAddress);
        if (!element || !element->FirstChild()) continue;
        if (element->FirstChild()->ValueStr() == address) return child;
    }
    return nullptr;
}

bool EmailCenter::RcptDelete(TiXmlNode* rcpt, _MAIL_RECIPIENT_INFO* info) {
    TiXmlNode* recipient = FindRecipient(rcpt, FieldText(info->szMailAddress));
    if (!recipient) return false;
    rcpt->RemoveChild(recipient);  // only the first match
    return true;
}

// Only the levels change: the name and anything else the element holds stay.
bool EmailCenter::RcptEdit(TiXmlNode* rcpt, _MAIL_RECIPIENT_INFO* info) {
    TiXmlNode* recipient = FindRecipient(rcpt, FieldText(info->szMailAddress));
    return recipient && SMTPServer_SetValue(recipient, Schema::kLevel, DecimalText(info->byLevel).c_str());
}

EmailCenter::MailOutcome EmailCenter::EventArrived(int level, const char* text) {
    if (m_path.empty()) return MAIL_NOT_DUE;
    SMTP_SERVER_INFO server;
    if (!GetSMTPServer(&server)) return MAIL_NOT_DUE;
    if (server.byAuth & SMTP_AUTH_DISABLED) return MAIL_NOT_DUE;

    _MAIL_CONTENT content;
    content.strBody = text ? text : "";
    content.strSubject = SubjectForThisHost();
    content.byMailLevel = MailLevel(level);

    std::vector<_MAIL_RECIPIENT_INFO> recipients;
    if (!EnumRcpt(recipients)) return MAIL_NOT_DUE;
    // Whether a mail is due at all; the dialogue runs either way, as it always has.
    bool due = false;
    for (const auto& recipient : recipients) due = due || (recipient.byLevel & content.byMailLevel) != 0;
    GenSMTP smtp(server);
    int result = smtp.SendMail(recipients, 1, &content);
    if (result != 0) {
        m_log.ShowMessage(LOG_ERROR, "Event mail not delivered through SMTP server %s:%u: %s "
                          "(code %#x)", FieldText(server.szSMTPServer).c_str(), server.uPort,
                          smtp.GetFailureReason().c_str(), static_cast<unsigned int>(result));
    }
    if (!due) return MAIL_NOT_DUE;
    return result == 0 ? MAIL_SENT : MAIL_FAILED;
}
