// ConfigFileSupport: the main settings file, offered as text values addressed
// by an element path and a key; loaded on first use, saved after every change.
// One instance lives for the whole process (the server manager's); the manager,
// every configuration-page client thread and the notify thread call it.
// `m_lock` (recursive) guards the document, the work buffer and every flag.
#pragma once

#include <cstdint>
#include <string>

#include <tinyxml.h>

#include "KvoLock.h"
#include "Log.h"
#include "config/SettingsFile.h"

class ConfigFileSupport {
public:
    ConfigFileSupport();
    virtual ~ConfigFileSupport();
    ConfigFileSupport(const ConfigFileSupport&) = delete;
    ConfigFileSupport& operator=(const ConfigFileSupport&) = delete;

    // Remembers the file path; the file is read on first access. Returns 1.
    int Initialize(const char* fileName);
    // Reads the file now, dropping the document in memory; 1 when it parsed.
    int LoadFile();
    // Saves the document if it changed; 1 when saved or nothing to save.
    int SyncFile();

    // Deferred saving, so that a whole form is written with one save: between
    // BeginDeferredSave and the matching EndDeferredSave, changes (from any
    // thread) stay in memory; the outermost end saves once and returns like
    // SyncFile. ConfigSaveBatch is the scoped form.
    void BeginDeferredSave();
    int EndDeferredSave();
    // True when the last save attempt failed; `reason` then gets why (for
    // example "cannot create ...: Permission denied"). The change stays in
    // memory and is saved again with the next save.
    bool LastSaveFailed(std::string* reason = nullptr);

    // All return 1 on success and 0 on failure (also for a value that is not
    // UTF-8 or holds a character XML 1.0 does not allow). A value that is in the
    // document counts as success even when saving it failed (that is logged
    // and retried on the next save).
    virtual int SetConfigValue(const char* path, const char* key, const char* value);
    virtual int GetConfigValue(const char* path, const char* key, char* buffer, int size);
    virtual int SetConfigValue_bytes(const char* path, const char* key,
                                     const unsigned char* bytes, int count);
    virtual int GetConfigValue_bytes(const char* path, const char* key,
                                     unsigned char* bytes, int count);
    virtual int SetConfigValue_U32(const char* path, const char* key, uint32_t value);
    virtual int GetConfigValue_U32(const char* path, const char* key, uint32_t& value);
    virtual int SetConfigValue_U16(const char* path, const char* key, uint16_t value);
    virtual int GetConfigValue_U16(const char* path, const char* key, uint16_t& value);
    virtual int SetConfigValue_U8(const char* path, const char* key, uint8_t value);
    virtual int GetConfigValue_U8(const char* path, const char* key, uint8_t& value);

    // Sends this store's warnings and errors to `imp` (not owned) instead of
    // standard output. Call before the store is shared between threads.
    void SetLogImp(LogImp* imp) { m_log.SetLogImp(imp); }

    // Longest path plus key (without the joining separator) that is accepted.
    static const int kMaxPathKeyLength = 128;

private:
    void LoadIfNeeded();
    void ReportDropped(size_t dropped, const std::string& place);
    bool JoinPathAndKey(const char* path, const char* key);
    TiXmlElement* FindElement();
    TiXmlElement* FindOrCreateElement();
    bool SaveDocument();
    bool SetAsideUnreadableFile(const std::string& target);
    bool WriteAtomically(const std::string& target, std::string& error) const;

    // Path, separator, key and the terminating zero.
    char m_pathBuf[kMaxPathKeyLength + 2];
    TiXmlDocument m_doc;
    bool m_dirty;
    bool m_loaded;
    KvoLock m_lock;
    std::string m_fileName;
    // The file read at start-up did not parse; move it aside before the first
    // save replaces it, so that the administrator's text is not lost.
    bool m_setAsidePending;
    // The last save failed; the next successful one is announced.
    bool m_saveFailing;
    Log m_log;
    // Loads, sets aside and saves the file, as for the e-mail file.
    mutable SettingsFile m_file;
    // Open deferred-save scopes; saves wait while it is above 0.
    int m_deferDepth = 0;
    // Why the last save failed; empty after a successful one.
    std::string m_lastSaveError;
};
