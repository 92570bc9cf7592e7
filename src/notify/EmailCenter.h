// EmailCenter: the e-mail notification settings (SMTP account and recipients) in
// their own XML file, read anew on every call, and one mail per controller event.
// The server manager owns the one instance (static `m_emailcenter`) and gives it
// the path before any thread starts. Page client threads and the notify thread
// call it; the static `m_lock` serialises writers and guards a change that could
// not be saved (kept in memory, read in place of the file and saved with the next
// change); otherwise readers take no lock (a save replaces the file atomically).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Log.h"
#include "MAIL_CONTENT.h"
#include "MAIL_RECIPIENT_INFO.h"
#include "SMTP_SERVER_INFO.h"
#include "KvoLock.h"
#include "config/SettingsFile.h"

class TiXmlDocument;
struct stat;
class TiXmlNode;
class TiXmlElement;

enum RCPT_EDIT_TYPE {
    RCPT_EDIT_ADD = 0,
    RCPT_EDIT_MODIFY = 1,  // the levels (byLevel) of the recipient with that address
    RCPT_EDIT_DELETE = 2,
};

// What a write did besides its result, for the page that asked for it.
struct EmailSaveReport {
    std::string failure;  // why the file was not saved (the change is kept); empty when saved
    std::string keptAs;   // an unreadable file was set aside under this name first
};

class EmailCenter {
public:
    EmailCenter();
    virtual ~EmailCenter() = default;
    EmailCenter(const EmailCenter&) = delete;
    EmailCenter& operator=(const EmailCenter&) = delete;

    // Stores the e-mail file's path. Call once, before other threads use the center.
    bool InitEmailCenter(std::string path);

    // Fills `info` from the file; false (record untouched) when the file does not
    // load or has no root element.
    bool GetSMTPServer(SMTP_SERVER_INFO* info);
    // Writes all seven settings, and the connection security (bySecurity,
    // byTlsFlags) once it is set or in the file; true when the file was saved.
    // Text that is not UTF-8 or that XML 1.0 does not allow is refused (false,
    // nothing written); so is such a recipient in EditRcpt. Such text found in
    // the file is dropped when it is read, with one warning.
    bool SetSMTPServer(SMTP_SERVER_INFO* info, EmailSaveReport* report = nullptr);
    // Appends every recipient of the file in file order; true when one was appended.
    bool EnumRcpt(std::vector<_MAIL_RECIPIENT_INFO>& list);
    // Adds, changes the levels of, or deletes (by szMailAddress, exact) one
    // recipient; true when saved.
    bool EditRcpt(_MAIL_RECIPIENT_INFO* info, RCPT_EDIT_TYPE type, EmailSaveReport* report = nullptr);
    // True when the file exists but cannot be parsed (the next write sets it aside).
    bool FileUnreadable();
    // Mails the event (`level` 'I', 'W' or 'E') to the matching recipients; runs
    // the whole SMTP dialogue on the calling thread. A failed delivery is logged.
    enum MailOutcome { MAIL_NOT_DUE, MAIL_SENT, MAIL_FAILED };
    MailOutcome EventArrived(int level, const char* text);

    // Whether the e-mail file can be read now, for the "events are not mailed"
    // lines: "" when it loads, else why not (missing, unreadable, no access).
    std::string FileProblem();
    const std::string& Path() const { return m_path; }
    // The subject of an event mail from this host.
    std::string SubjectForThisHost();

    // How this host's first IPv4 address is found (the pages' GetHostName in the
    // service); false when none can be had. Set before other threads use the center.
    void SetHostAddressSource(std::function<bool(std::string&)> source);

    // Sends the center's warnings and errors to `imp` (not owned) instead of
    // standard output. Call before the center is shared between threads.
    void SetLogImp(LogImp* imp) { m_log.SetLogImp(imp); }

    // The subject of an event mail, with or without this host's address.
    static std::string EventSubject(const std::string& hostAddress);
    // The level bit of an event level letter ('X' and the like count as information).
    static unsigned char MailLevel(int level);

    static KvoLock m_lock;

protected:
    // This host's first IPv4 address through the source; false when none can be had.
    virtual bool HostAddress(std::string& address);

private:
    enum LoadResult { LOAD_OK, LOAD_MISSING, LOAD_UNREADABLE, LOAD_NO_ACCESS };

    // The unsaved change when there is one, else the file. `forSave` gets how
    // the file itself must be treated by the next save.
    LoadResult LoadDocument(TiXmlDocument& doc, LoadResult* forSave = nullptr);
    LoadResult LoadFile(TiXmlDocument& doc);
    bool SaveDocument(const TiXmlDocument& doc, LoadResult loaded, const char* what,
                      EmailSaveReport* report);
    static TiXmlNode* FindRecipient(TiXmlNode* rcpt, const std::string& address);
    void ReportDropped(size_t dropped, const std::string& place, const struct stat& st);

    bool SMTPServer_GetValue(TiXmlNode* parent, const char* name, char* buffer, size_t size);
    bool SMTPServer_SetValue(TiXmlNode* parent, const char* name, const char* value);
    bool RcptAdd(TiXmlNode* rcpt, _MAIL_RECIPIENT_INFO* info);
    bool RcptDelete(TiXmlNode* rcpt, _MAIL_RECIPIENT_INFO* info);
    bool RcptEdit(TiXmlNode* rcpt, _MAIL_RECIPIENT_INFO* info);

    std::string m_path;
    std::function<bool(std::string&)> m_hostAddress;
    Log m_log;
    SettingsFile m_file;
    // A change whose save failed, under m_lock.
    bool m_hasPending = false;
    std::string m_pending;
    LoadResult m_pendingLoaded = LOAD_MISSING;
    // The file version (modification time, ns) whose dropped text was last
    // reported: the file is read for every event and page, the warning is given once.
    std::atomic<long long> m_droppedReportedFor{-1};
};
