#include "config/ConfigFileSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/SettingsFile.h"
#include "config/StrUtility.h"
#include "config/XmlText.h"

namespace {

const char hexStr[] = "0123456789ABCDEF";

// Characters that must never reach an element name.
char ReplaceUnsafeNameChar(char c) { return (c == ' ' || c == '(' || c == ')') ? '_' : c; }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The element names the XML reader accepts back; anything else would be
// written out fine but make the whole file unreadable at the next start.
bool IsNameStart(unsigned char c) { return c >= 0x80 || std::isalpha(c) || c == '_'; }
bool IsNameChar(unsigned char c) {
    return c >= 0x80 || std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':';
}

bool IsReadableName(const std::string& name) {
    if (name.empty() || !IsNameStart(static_cast<unsigned char>(name[0]))) return false;
    for (char c : name) {
        if (!IsNameChar(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::vector<std::string> SplitSegments(const char* joined) {
    std::vector<std::string> segments;
    std::string current;
    for (const char* p = joined; *p; ++p) {
        if (IsSeparator(*p)) {
            if (!current.empty()) segments.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty()) segments.push_back(current);
    return segments;
}

int HalfByteFromUpperHex(char c) {
    const char* hit = c ? strchr(hexStr, c) : nullptr;
    return hit ? static_cast<int>(hit - hexStr) : 0;
}

std::string ResolveLink(const std::string& file) { return SettingsFileWriter::ResolveLink(file); }

}  // namespace

ConfigFileSupport::ConfigFileSupport()
    : m_pathBuf{},
      m_dirty(false),
      m_loaded(false),
      m_setAsidePending(false),
      m_saveFailing(false),
      // Owner-only when new: it may hold webhook tokens and the login's hash.
      m_file(m_log, 0600) {}

ConfigFileSupport::~ConfigFileSupport() { SyncFile(); }

int ConfigFileSupport::Initialize(const char* fileName) {
    std::lock_guard<KvoLock> guard(m_lock);
    m_fileName = fileName ? fileName : "";
    return 1;
}

int ConfigFileSupport::LoadFile() {
    std::lock_guard<KvoLock> guard(m_lock);
    m_dirty = false;
    m_loaded = true;
    m_setAsidePending = false;
    m_doc.Clear();
    m_doc.ClearError();
    m_doc.SetValue(m_fileName);

    SettingsFile::LoadReport report = SettingsFile::Load(m_fileName, m_doc);
    if (report.outcome == SettingsFile::NOT_REGULAR) {
        m_log.ShowMessage(LOG_WARNING, "Configuration file %s is not a regular file; no settings read",
                          m_fileName.c_str());
        return 0;
    }
    ReportDropped(report.dropped, report.droppedPlace);
    if (report.outcome == SettingsFile::LOADED) return 1;
    if (report.outcome != SettingsFile::MISSING) {
        m_setAsidePending = true;
        m_log.ShowMessage(LOG_WARNING,
                          "Configuration file %s cannot be read (%s, line %d); its settings are "
                          "ignored and the file is kept aside before the next save",
                          m_fileName.c_str(), report.error.c_str(), report.errorRow);
    }
    return 0;
}

// Text XML 1.0 cannot carry (a hand-edited control character, bytes that are
// not UTF-8) would be written back into a file no XML reader accepts: it is
// dropped here, once, and the next save writes the rest.
void ConfigFileSupport::ReportDropped(size_t dropped, const std::string& place) {
    if (dropped == 0) return;
    m_log.ShowMessage(LOG_WARNING,
                      "Configuration file %s: %zu characters or entries that XML 1.0 does not allow "
                      "were dropped (the first in %s)",
                      m_fileName.c_str(), dropped, place.empty() ? "the document" : place.c_str());
}

int ConfigFileSupport::SyncFile() {
    std::lock_guard<KvoLock> guard(m_lock);
    if (!m_dirty) return 1;
    if (!SaveDocument()) return 0;  // still dirty: the next save retries
    m_dirty = false;
    return 1;
}

void ConfigFileSupport::BeginDeferredSave() {
    std::lock_guard<KvoLock> guard(m_lock);
    ++m_deferDepth;
}

int ConfigFileSupport::EndDeferredSave() {
    std::lock_guard<KvoLock> guard(m_lock);
    if (m_deferDepth > 0) --m_deferDepth;
    if (m_deferDepth > 0) return 1;  // the outermost scope saves
    return SyncFile();
}

bool ConfigFileSupport::LastSaveFailed(std::string* reason) {
    std::lock_guard<KvoLock> guard(m_lock);
    if (reason) *reason = m_lastSaveError;
    return !m_lastSaveError.empty();
}

void ConfigFileSupport::LoadIfNeeded() {
    // Checked under the lock: two first users must not both load, or the
    // second load would discard what the first one wrote.
    if (!m_loaded) LoadFile();
}

bool ConfigFileSupport::JoinPathAndKey(const char* path, const char* key) {
    size_t pathLength = strlen(path);
    size_t keyLength = key ? strlen(key) : 0;
    if (pathLength + keyLength > static_cast<size_t>(kMaxPathKeyLength)) return false;
    // The lengths are checked above, so path, "/", key and the zero fit.
    char* end = m_pathBuf;
    memcpy(end, path, pathLength);
    end += pathLength;
    if (key) {
        *end++ = '/';
        memcpy(end, key, keyLength);
        end += keyLength;
    }
    *end = '\0';
    for (char* p = m_pathBuf; *p; ++p) *p = ReplaceUnsafeNameChar(*p);
    return true;
}

TiXmlElement* ConfigFileSupport::FindElement() {
    TiXmlNode* node = &m_doc;
    for (const std::string& segment : SplitSegments(m_pathBuf)) {
        node = node->FirstChildElement(segment);
        if (!node) return nullptr;
    }
    return node->ToElement();
}

TiXmlElement* ConfigFileSupport::FindOrCreateElement() {
    std::vector<std::string> segments = SplitSegments(m_pathBuf);
    if (segments.empty()) return nullptr;
    for (const std::string& segment : segments) {
        if (!IsReadableName(segment)) return nullptr;
    }
    TiXmlNode* node = &m_doc;
    for (const std::string& segment : segments) node = SettingsFile::ChildCreating(node, segment);
    return node->ToElement();
}

int ConfigFileSupport::SetConfigValue(const char* path, const char* key, const char* value) {
    if (!path || !key || !value) return 0;
    if (!XmlText::IsValid(value)) return 0;  // it could not be read back
    bool deferred = false;
    {
        std::lock_guard<KvoLock> guard(m_lock);
        LoadIfNeeded();
        if (!JoinPathAndKey(path, key)) return 0;
        TiXmlElement* element = FindOrCreateElement();
        if (!element || !SettingsFile::StoreText(element, value)) return 0;
        m_dirty = true;
        deferred = m_deferDepth > 0;
    }
    if (!deferred) SyncFile();  // a failure is logged and retried; the value is kept in memory
    return 1;
}

int ConfigFileSupport::GetConfigValue(const char* path, const char* key, char* buffer, int size) {
    if (!path || !buffer || size < 2) return 0;
    std::lock_guard<KvoLock> guard(m_lock);
    LoadIfNeeded();
    if (!JoinPathAndKey(path, key)) return 0;
    TiXmlElement* element = FindElement();
    if (!element) return 0;

    // A setting's text; an element holding elements gives their names, each
    // ending in a zero, as many as fit whole.
    memset(buffer, 0, static_cast<size_t>(size));
    size_t used = 0;
    size_t capacity = static_cast<size_t>(size);
    for (TiXmlNode* child = element->FirstChild(); child; child = child->NextSibling()) {
        const std::string& text = child->ValueStr();
        if (text.size() + 1 > capacity - used) break;
        memcpy(buffer + used, text.data(), text.size());
        used += text.size() + 1;
    }
    return 1;
}

int ConfigFileSupport::SetConfigValue_bytes(const char* path, const char* key,
                                            const unsigned char* bytes, int count) {
    if (count < 0 || (!bytes && count > 0)) return 0;
    std::string text;
    text.reserve(static_cast<size_t>(count) * 2);
    for (int i = 0; i < count; ++i) {
        text += hexStr[bytes[i] >> 4];
        text += hexStr[bytes[i] & 0x0F];
    }
    return SetConfigValue(path, key, text.c_str());
}

int ConfigFileSupport::GetConfigValue_bytes(const char* path, const char* key,
                                            unsigned char* bytes, int count) {
    if (!bytes || count < 0 || count > (INT_MAX - 2) / 2) return 0;
    std::vector<char> text(static_cast<size_t>(count) * 2 + 2, '\0');
    int result = GetConfigValue(path, key, text.data(), static_cast<int>(text.size()));
    for (int i = 0; i < count; ++i) {
        int high = HalfByteFromUpperHex(text[2 * i]);
        int low = HalfByteFromUpperHex(text[2 * i + 1]);
        bytes[i] = static_cast<unsigned char>((high << 4) | low);
    }
    return result;
}

int ConfigFileSupport::SetConfigValue_U32(const char* path, const char* key, uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%x", static_cast<unsigned int>(value));
    return SetConfigValue(path, key, text);
}

int ConfigFileSupport::GetConfigValue_U32(const char* path, const char* key, uint32_t& value) {
    char text[10];
    int result = GetConfigValue(path, key, text, sizeof text);
    value = result ? static_cast<uint32_t>(StrUtility::IntFromHexStr(text)) : 0;
    return result;
}

int ConfigFileSupport::SetConfigValue_U16(const char* path, const char* key, uint16_t value) {
    return SetConfigValue_U32(path, key, value);
}

int ConfigFileSupport::GetConfigValue_U16(const char* path, const char* key, uint16_t& value) {
    uint32_t wide = 0;
    int result = GetConfigValue_U32(path, key, wide);
    value = static_cast<uint16_t>(wide);  // cut to the type's width
    return result;
}

int ConfigFileSupport::SetConfigValue_U8(const char* path, const char* key, uint8_t value) {
    return SetConfigValue_U32(path, key, value);
}

int ConfigFileSupport::GetConfigValue_U8(const char* path, const char* key, uint8_t& value) {
    uint32_t wide = 0;
    int result = GetConfigValue_U32(path, key, wide);
    value = static_cast<uint8_t>(wide);  // cut to the type's width
    return result;
}

bool ConfigFileSupport::SaveDocument() {
    std::string target = ResolveLink(m_doc.ValueStr().empty() ? m_fileName : m_doc.ValueStr());
    if (target.empty()) {
        m_log.ShowMessage(LOG_ERROR, "Configuration not saved: no file name given");
        m_lastSaveError = "no file name given";
        m_saveFailing = true;
        return false;
    }
    if (m_setAsidePending && !SetAsideUnreadableFile(target)) {
        m_saveFailing = true;
        return false;
    }
    std::string error;
    if (!WriteAtomically(target, error)) {
        m_log.ShowMessage(LOG_ERROR, "Configuration file %s not saved (%s); the change is kept in "
                          "memory and saved again with the next change", target.c_str(), error.c_str());
        m_lastSaveError = error;
        m_saveFailing = true;
        return false;
    }
    if (m_saveFailing) {
        m_log.ShowMessage(LOG_INFO, "Configuration file %s saved again", target.c_str());
        m_saveFailing = false;
    }
    m_lastSaveError.clear();
    return true;
}

bool ConfigFileSupport::SetAsideUnreadableFile(const std::string& target) {
    std::string error;
    if (!m_file.SetAside(target, error)) {
        m_log.ShowMessage(LOG_ERROR, "Unreadable configuration file %s not replaced (%s); "
                          "the change is kept in memory", target.c_str(), error.c_str());
        m_lastSaveError = error;
        return false;
    }
    m_setAsidePending = false;
    return true;
}

// The shared writer replaces the file atomically (or, in a directory we may
// not create files in, rewrites it in place), so it is never left truncated.
bool ConfigFileSupport::WriteAtomically(const std::string& target, std::string& error) const {
    std::string content;
    if (!SettingsFile::Render(m_doc, content)) {
        error = "cannot print the settings";
        return false;
    }
    return m_file.Save(target, content, error);
}
