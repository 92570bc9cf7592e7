// HttpResponsor: turns a file on disk into one complete HTTP/1.0 response
// (header and body in one send) and sends the 404 and 501 error pages.
// Static only, called from every configuration-server receive thread; the
// three-argument ResponseGetFile holds the process-wide `fileLock` throughout.
#pragma once

#include <map>
#include <string>

#include "Client.h"
#include "KvoLock.h"

// Serialises every file response of the process (reading, building, sending).
// Page builders take it after their own locks.
extern KvoLock fileLock;

class HttpResponsor {
public:
    HttpResponsor() = delete;

    // Reads the whole file into a buffer allocated with new[]; the caller owns
    // `*data` and frees it with delete[]. 0 when the file can't be opened, is
    // empty, or the buffer can't be grown (then `*data` is null).
    static int ReadFile(const std::string& path, char** data);
    // Position of the last "." (or -1); sets `type` only for a known extension.
    static int GetMimeType(const std::string& path, std::string& type);
    // Current UTC time as "%a, %d %b %Y %H:%M:%S GMT".
    static void GetTime(std::string& out);
    // The status line and the header fields of every response this server sends,
    // ending in the blank line; `extraHeaders` is zero or more "Name: value\r\n" lines.
    static std::string ResponseHead(const char* status, size_t length, bool keepAlive,
                                    const std::string& contentType, const std::string& extraHeaders = "");

    // 0 sent in full, -1 the file gave no bytes (nothing sent), -2 no buffer or
    // an incomplete send.
    static int ResponseGetFile(Client* client, const std::string& path, const char* status,
                               bool keepAlive, int sendTimeoutUs = kDefaultSendTimeoutUs);
    // "200 OK" with the file, or the 404 page; true to keep the connection.
    static bool ResponseGetFile(Client* client, const std::string& path, bool keepAlive,
                                int sendTimeoutUs = kDefaultSendTimeoutUs);
    // The working directory's "HTML/fnf.html" / "HTML/mna.html", or, where it
    // has none (a daemon runs in "/"), the installed copy under ErrorPageFolder().
    static bool ResNotFoundRes(Client* client);  // always false
    static bool ResponseNotImp(Client* client);  // always false

    // The service's own folder ($KVOOMX_HOME, ending in "/"): installed error
    // pages in its "HTML/", page files when the working directory is "/".
    // Set once before the servers run; empty means none.
    static void SetServiceFolder(const std::string& folder);
    static std::string ServiceFolder();
    // Where the installed "HTML/" error pages are when they are not in the
    // service's own folder (read-only files beside the web root); empty: ServiceFolder().
    static void SetErrorPageFolder(const std::string& folder);
    static std::string ErrorPageFolder();

    // True when a "/"-separated segment of `path` is "..": such a path could
    // leave the folder it was joined to, and is answered with the 404 page.
    static bool HasParentSegment(const std::string& path);

    // Upper bound for sending one response, in microseconds (-1 = no limit).
    // A peer that stops reading is cut off after it, so `fileLock` is released.
    static constexpr int kDefaultSendTimeoutUs = 30 * 1000 * 1000;

    static const std::map<std::string, std::string> MimeTypes;
};
