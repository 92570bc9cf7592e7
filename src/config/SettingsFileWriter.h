// SettingsFileWriter: saves a settings file so that a crash or a full disk never
// leaves it truncated (temporary file beside it, fsync, rename, directory fsync,
// mode and owner kept) and sets an unreadable file aside before it is replaced.
// Each settings store owns one; calls run under that store's own writer lock.
// The one-time warning flag is atomic, so a writer may be shared if need be.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

class Log;
class TiXmlDocument;

class SettingsFileWriter {
public:
    // `log` (not owned) receives the warnings; `newFileMode` is the mode of a
    // file that does not exist yet (before the umask).
    SettingsFileWriter(Log& log, mode_t newFileMode);
    SettingsFileWriter(const SettingsFileWriter&) = delete;
    SettingsFileWriter& operator=(const SettingsFileWriter&) = delete;

    // Replaces `file` (through a symbolic link, the file it names) with `content`.
    // When no temporary file can be created beside it for lack of permission, the
    // file itself is rewritten in place, flushed and synced (warned once).
    // False with `error` set when nothing or not all of it could be written.
    bool Save(const std::string& file, const std::string& content, std::string& error);

    // Renames an unreadable `file` to "<file>.unreadable-<date>-<time>" (with a
    // warning naming both); true when it is out of the way or already gone.
    // `keptAs` (optional) gets the new name when the file was renamed.
    bool SetAside(const std::string& file, std::string& error, std::string* keptAs = nullptr);

    // The document as its printer writes it to a file.
    static bool Render(const TiXmlDocument& doc, std::string& content);
    // True for an empty or blank file, which holds nothing worth keeping.
    static bool HoldsOnlyWhiteSpace(const std::string& file);
    // The file a symbolic link points at, or `file` itself.
    static std::string ResolveLink(const std::string& file);

private:
    bool WriteAtomically(const std::string& target, const std::string& content,
                         std::string& error, bool& noPermission);
    bool WriteInPlace(const std::string& target, const std::string& content, std::string& error);

    Log& m_log;
    const mode_t m_newFileMode;
    std::atomic<bool> m_warnedInPlace;
};
