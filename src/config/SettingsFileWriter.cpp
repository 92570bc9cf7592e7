#include "config/SettingsFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <tinyxml.h>

#include "Log.h"

namespace {

std::atomic<unsigned int> g_tempCounter{0};

std::string ErrnoText(const char* what, const std::string& name) {
    return std::string(what) + " " + name + ": " + strerror(errno);
}

std::string DirectoryOf(const std::string& file) {
    size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return file.substr(0, slash);
}

// The rename is only durable once the directory entry itself is on disk.
void SyncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// The new file keeps the permissions and owner of the one it replaces.
void CopyModeAndOwner(int fd, const std::string& original) {
    struct stat st;
    if (stat(original.c_str(), &st) != 0) return;
    fchmod(fd, st.st_mode & 07777);
    if (st.st_uid != geteuid() || st.st_gid != getegid()) {
        if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* keep our own owner */ }
    }
}

std::string UnusedAsideName(const std::string& target) {
    char stamp[32];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string base = target + ".unreadable-" + stamp;
    std::string name = base;
    struct stat st;
    for (int n = 1; lstat(name.c_str(), &st) == 0; ++n) name = base + "-" + std::to_string(n);
    return name;
}

bool WriteAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

SettingsFileWriter::SettingsFileWriter(Log& log, mode_t newFileMode)
    : m_log(log), m_newFileMode(newFileMode), m_warnedInPlace(false) {}

bool SettingsFileWriter::Render(const TiXmlDocument& doc, std::string& content) {
    char* data = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&data, &size);
    if (!memory) return false;
    bool printed = doc.SaveFile(memory);
    bool closed = fclose(memory) == 0;
    if (data) content.assign(data, size);
    free(data);
    return printed && closed;
}

bool SettingsFileWriter::HoldsOnlyWhiteSpace(const std::string& file) {
    FILE* in = fopen(file.c_str(), "rb");
    if (!in) return false;  // unreadable: its content is unknown
    int c;
    while ((c = fgetc(in)) != EOF && std::isspace(c)) {
    }
    bool blank = c == EOF && !ferror(in);
    fclose(in);
    return blank;
}

std::string SettingsFileWriter::ResolveLink(const std::string& file) {
    struct stat st;
    if (lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return file;
    char resolved[PATH_MAX];
    return realpath(file.c_str(), resolved) ? std::string(resolved) : file;
}

bool SettingsFileWriter::SetAside(const std::string& file, std::string& error, std::string* keptAs) {
    struct stat st;
    if (lstat(file.c_str(), &st) != 0 && errno == ENOENT) return true;  // already gone
    std::string aside = UnusedAsideName(file);
    if (rename(file.c_str(), aside.c_str()) != 0) {
        error = ErrnoText("cannot rename to", aside);
        return false;
    }
    m_log.ShowMessage(LOG_WARNING, "Unreadable settings file %s kept as %s", file.c_str(),
                      aside.c_str());
    if (keptAs) *keptAs = aside;
    return true;
}

bool SettingsFileWriter::Save(const std::string& file, const std::string& content,
                              std::string& error) {
    std::string target = ResolveLink(file);
    bool noPermission = false;
    if (WriteAtomically(target, content, error, noPermission)) return true;
    if (!noPermission) return false;

    // A writable file in a directory we may not create files in (the service
    // as a normal user, the file prepared by root): the old in-place save.
    std::string inPlaceError;
    if (!WriteInPlace(target, content, inPlaceError)) {
        error += "; " + inPlaceError;
        return false;
    }
    if (!m_warnedInPlace.exchange(true)) {
        m_log.ShowMessage(LOG_WARNING, "Settings file %s rewritten in place (%s); a crash while "
                          "saving can leave it incomplete", target.c_str(), error.c_str());
    }
    error.clear();
    return true;
}

// Writes the whole content to a new file beside the target and renames it over
// the target, so a crash or a full disk never leaves a truncated file.
bool SettingsFileWriter::WriteAtomically(const std::string& target, const std::string& content,
                                         std::string& error, bool& noPermission) {
    std::string temp = target + ".tmp-" + std::to_string(getpid()) + "-" +
                       std::to_string(g_tempCounter.fetch_add(1));
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, m_newFileMode);
    if (fd < 0) {
        noPermission = errno == EACCES;
        error = ErrnoText("cannot create", temp);
        return false;
    }
    CopyModeAndOwner(fd, target);
    bool written = WriteAll(fd, content) && fsync(fd) == 0;
    if (!written) error = ErrnoText("cannot write", temp);
    if (close(fd) != 0 && written) {
        written = false;
        error = ErrnoText("cannot write", temp);
    }
    if (!written) {
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        error = ErrnoText("cannot replace", target);
        unlink(temp.c_str());
        return false;
    }
    SyncDirectory(DirectoryOf(target));
    return true;
}

// Overwrites the existing file from its start, cuts it to the new length and
// syncs it. Never creates the file: that needs the directory we may not write.
bool SettingsFileWriter::WriteInPlace(const std::string& target, const std::string& content,
                                      std::string& error) {
    int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = ErrnoText("cannot open", target);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) errno = EINVAL;
    // Claim the space first: running out of it half-way would mix new and old text.
    if (ok && !content.empty()) {
        int reserved = posix_fallocate(fd, 0, static_cast<off_t>(content.size()));
        if (reserved != 0) {
            errno = reserved;
            ok = false;
        }
    }
    ok = ok && WriteAll(fd, content) &&
         ftruncate(fd, static_cast<off_t>(content.size())) == 0 && fsync(fd) == 0;
    if (!ok) error = ErrnoText("cannot write", target);
    if (close(fd) != 0 && ok) {
        ok = false;
        error = ErrnoText("cannot write", target);
    }
    return ok;
}
