#include "http/HttpResponsor.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>


KvoLock fileLock;

namespace {

const char kServerName[] = "Velmora Diskhelm WebServer/0.1b";
// Room left for the header lines beside the largest file, so the total fits an int.
const int kHeaderRoom = 2048;
const int kFirstReadSize = 15360;
const char kNotFoundPage[] = "HTML/fnf.html";
const char kNotImplementedPage[] = "HTML/mna.html";

// Content types by extension, in table order. Where a key repeats, the first
// row wins ("arj" and "rtf"), which is why the map is filled with emplace.
const std::pair<const char*, const char*> kMimeRows[] = {
    {"xsl", "application/xml"}, {"xml", "application/xml"},
    {"log", "application/octet-stream"},
    {"doc", "application/msword"},
    {"bin", "application/octet-stream"}, {"dll", "application/octet-stream"},
    {"exe", "application/octet-stream"},
    {"pdf", "application/pdf"},
    {"p7c", "application/pkcs7-mime"},
    {"ai", "application/postscript"}, {"eps", "application/postscript"},
    {"ps", "application/postscript"},
    {"rtf", "application/rtf"},
    {"fdf", "application/vnd.fdf"},
    {"arj", "application/x-arj"},
    {"gz", "application/x-gzip"},
    {"class", "application/x-java-class"},
    {"js", "application/x-javascript"},
    {"lzh", "application/x-lzh"},
    {"lnk", "application/x-ms-shortcut"},
    {"tar", "application/x-tar"},
    {"hlp", "application/x-winhelp"},
    {"cer", "application/x-x509-ca-cert"},
    {"zip", "application/zip"},
    {"cab", "application/x-compressed"}, {"arj", "application/x-compressed"},
    {"aif", "audio/aiff"}, {"aifc", "audio/aiff"}, {"aiff", "audio/aiff"},
    {"au", "audio/basic"}, {"snd", "audio/basic"},
    {"mid", "audio/midi"}, {"rmi", "audio/midi"},
    {"mp3", "audio/mpeg"},
    {"vox", "audio/voxware"},
    {"wav", "audio/wav"},
    {"ra", "audio/x-pn-realaudio"}, {"ram", "audio/x-pn-realaudio"},
    {"bmp", "image/bmp"},
    {"gif", "image/gif"},
    {"jpeg", "image/jpeg"}, {"jpg", "image/jpeg"},
    {"tif", "image/tiff"}, {"tiff", "image/tiff"},
    {"xbm", "image/xbm"},
    {"wrl", "model/vrml"},
    {"htm", "text/html"}, {"html", "text/html"},
    {"c", "text/plain"}, {"cpp", "text/plain"}, {"def", "text/plain"}, {"h", "text/plain"},
    {"txt", "text/plain"},
    {"rtx", "text/richtext"}, {"rtf", "text/richtext"},
    {"java", "text/x-java-source"},
    {"css", "text/css"},
    {"mpeg", "video/mpeg"}, {"mpg", "video/mpeg"}, {"mpe", "video/mpeg"},
    {"avi", "video/msvideo"},
    {"mov", "video/quicktime"}, {"qt", "video/quicktime"},
    {"shtml", "wwwserver/html-ssi"},
    {"asa", "wwwserver/isapi"}, {"asp", "wwwserver/isapi"}, {"cfm", "wwwserver/isapi"},
    {"dbm", "wwwserver/isapi"}, {"isa", "wwwserver/isapi"}, {"plx", "wwwserver/isapi"},
};
static_assert(sizeof(kMimeRows) / sizeof(kMimeRows[0]) == 70, "the content-type table has 70 rows");

std::map<std::string, std::string> BuildMimeTypes() {
    std::map<std::string, std::string> types;
    for (const auto& row : kMimeRows) types.emplace(row.first, row.second);
    return types;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

const std::map<std::string, std::string> HttpResponsor::MimeTypes = BuildMimeTypes();

// Grows the buffer by doubling from 15360 bytes; a read that fills the rest of
// the buffer asks for another pass, a short read ends the file.
int HttpResponsor::ReadFile(const std::string& path, char** data) {
    if (!data) return 0;
    *data = nullptr;
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return 0;

    std::unique_ptr<char[]> buffer;
    size_t size = 0;
    size_t total = 0;
    size_t next = kFirstReadSize;
    for (;;) {
        // The length travels as an int, with header room, so stop short of INT_MAX.
        if (next > static_cast<size_t>(INT_MAX - kHeaderRoom)) return 0;
        std::unique_ptr<char[]> grown(new (std::nothrow) char[next]());
        if (!grown) return 0;
        if (total) std::memcpy(grown.get(), buffer.get(), total);
        buffer = std::move(grown);
        size = next;

        size_t want = size - total;
        size_t got = std::fread(buffer.get() + total, 1, want, file.get());
        total += got;
        if (got < want) break;
        next = size * 2;
    }
    if (total == 0) return 0;
    *data = buffer.release();
    return static_cast<int>(total);
}

int HttpResponsor::GetMimeType(const std::string& path, std::string& type) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos) return -1;
    auto it = MimeTypes.find(path.substr(dot + 1));
    if (it != MimeTypes.end()) type = it->second;
    return static_cast<int>(dot);
}

void HttpResponsor::GetTime(std::string& out) {
    char text[128] = {0};
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &utc);
    out = text;
}

std::string HttpResponsor::ResponseHead(const char* status, size_t length, bool keepAlive,
                                        const std::string& contentType, const std::string& extraHeaders) {
    std::string date;
    GetTime(date);
    std::string head = "HTTP/1.0 ";
    head += status ? status : "";
    head += "\r\nDate: " + date + "\r\nServer: " + kServerName +
            "\r\nAccept-Ranges: bytes\r\nContent-Length: " + std::to_string(length) +
            "\r\nConnection: " + (keepAlive ? "Keep-Alive" : "close") +
            "\r\nContent-Type: " + contentType + "\r\n" + extraHeaders + "\r\n";
    return head;
}

int HttpResponsor::ResponseGetFile(Client* client, const std::string& path, const char* status,
                                   bool keepAlive, int sendTimeoutUs) {
    if (!client) return -2;
    char* raw = nullptr;
    int length = ReadFile(path, &raw);
    std::unique_ptr<char[]> body(raw);
    if (length <= 0) return -1;

    std::string type;
    GetMimeType(path, type);
    std::string head = ResponseHead(status, static_cast<size_t>(length), keepAlive, type);
    if (head.size() >= static_cast<size_t>(kHeaderRoom)) return -2;
    int header = static_cast<int>(head.size());
    std::unique_ptr<char[]> response(new (std::nothrow) char[head.size() + static_cast<size_t>(length)]);
    if (!response) return -2;
    std::memcpy(response.get(), head.data(), head.size());
    std::memcpy(response.get() + header, body.get(), static_cast<size_t>(length));
    body.reset();

    int total = header + length;
    int sent = client->SendBuf(response.get(), total, sendTimeoutUs);
    return sent == total ? 0 : -2;
}

bool HttpResponsor::ResponseGetFile(Client* client, const std::string& path, bool keepAlive,
                                    int sendTimeoutUs) {
    std::lock_guard<KvoLock> hold(fileLock);
    try {
        int result = ResponseGetFile(client, path, "200 OK", keepAlive, sendTimeoutUs);
        if (result == 0) return keepAlive;
        if (result == -1) return ResNotFoundRes(client);
        return false;
    } catch (const std::exception&) {
        return keepAlive;
    }
}

namespace {

std::mutex g_serviceFolderLock;
std::string g_serviceFolder;
std::string g_errorPageFolder;

void SendErrorPage(Client* client, const char* page, const char* status) {
    if (HttpResponsor::ResponseGetFile(client, page, status, false) != -1) return;
    std::string folder = HttpResponsor::ErrorPageFolder();
    if (!folder.empty()) HttpResponsor::ResponseGetFile(client, folder + page, status, false);
}

std::string WithSlash(const std::string& folder) {
    return (folder.empty() || folder.back() == '/') ? folder : folder + '/';
}

}  // namespace

void HttpResponsor::SetServiceFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(g_serviceFolderLock);
    g_serviceFolder = WithSlash(folder);
}

std::string HttpResponsor::ServiceFolder() {
    std::lock_guard<std::mutex> guard(g_serviceFolderLock);
    return g_serviceFolder;
}

void HttpResponsor::SetErrorPageFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(g_serviceFolderLock);
    g_errorPageFolder = WithSlash(folder);
}

std::string HttpResponsor::ErrorPageFolder() {
    std::lock_guard<std::mutex> guard(g_serviceFolderLock);
    return g_errorPageFolder.empty() ? g_serviceFolder : g_errorPageFolder;
}

bool HttpResponsor::ResNotFoundRes(Client* client) {
    SendErrorPage(client, kNotFoundPage, "404 Resource not found");
    return false;
}

bool HttpResponsor::ResponseNotImp(Client* client) {
    SendErrorPage(client, kNotImplementedPage, "501 Not Implemented");
    return false;
}

bool HttpResponsor::HasParentSegment(const std::string& path) {
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        size_t len = (end == std::string::npos ? path.size() : end) - start;
        if (len == 2 && path.compare(start, 2, "..") == 0) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}
