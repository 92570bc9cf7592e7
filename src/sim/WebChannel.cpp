#include "sim/WebChannel.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "ScsiPassThrough.h"

namespace {

bool IsMessage(const uint8_t* data, uint32_t size, const char* text, size_t withNul) {
    return (size == withNul || size == withNul - 1) && std::memcmp(data, text, withNul - 1) == 0 &&
           (size == withNul - 1 || data[withNul - 1] == 0);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Parses the request head; false when it is not HTTP at all.
bool ParseHead(const std::string& head, WebRequest& request, size_t& contentLength) {
    std::istringstream lines(head);
    std::string line;
    if (!std::getline(lines, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream first(line);
    if (!(first >> request.method >> request.path >> request.version)) return false;
    if (request.version.compare(0, 5, "HTTP/") != 0 || request.path.empty() ||
        request.path[0] != '/')
        return false;
    request.keepAlive = request.version != "HTTP/1.0";
    contentLength = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = Lower(line.substr(0, colon));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        if (name == "connection") {
            std::string v = Lower(value);
            if (v.find("close") != std::string::npos) request.keepAlive = false;
            if (v.find("keep-alive") != std::string::npos) request.keepAlive = true;
        } else if (name == "content-length") {
            char* end = nullptr;
            unsigned long long n = std::strtoull(value.c_str(), &end, 10);
            if (end == value.c_str()) return false;
            contentLength = static_cast<size_t>(std::min<unsigned long long>(n, 1ull << 40));
        }
    }
    return true;
}

}  // namespace

uint32_t WebChannel::Write(unsigned connection, const uint8_t* data, uint32_t size,
                           const WebUiContext& context, Clock::time_point now) {
    if (connection < 1 || connection > KVO_WEB_CONNECTION_MAX) return 0;
    Connection& c = m_connections[connection];
    if (IsMessage(data, size, KVO_CONNECT_MESSAGE, sizeof KVO_CONNECT_MESSAGE)) {
        if (m_refuseNextConnect) {
            m_refuseNextConnect = false;
            return 0;
        }
        c = Connection{};
        c.open = true;
        return size;
    }
    if (IsMessage(data, size, KVO_DISCONNECT_MESSAGE, sizeof KVO_DISCONNECT_MESSAGE)) {
        c = Connection{};
        return size;
    }
    if (!c.open) return 0;
    c.input.append(reinterpret_cast<const char*>(data), size);
    AnswerCompleteRequests(c, context, now);
    return size;
}

void WebChannel::AnswerCompleteRequests(Connection& c, const WebUiContext& context,
                                        Clock::time_point now) {
    for (;;) {
        if (c.bodyLeft > 0) {
            size_t skip = std::min(c.bodyLeft, c.input.size());
            c.input.erase(0, skip);
            c.bodyLeft -= skip;
            if (c.bodyLeft > 0) return;
            Queue(c, std::move(c.answerAfterBody), now);
            c.answerAfterBody.clear();
        }
        size_t end = c.input.find("\r\n\r\n");
        size_t sepLength = 4;
        if (end == std::string::npos) {
            end = c.input.find("\n\n");
            sepLength = 2;
        }
        if (end == std::string::npos) {
            if (c.input.size() > kMaxPendingRequest) {
                Queue(c, WebUi::ErrorResponse(431, "Request Header Fields Too Large", false), now);
                c.input.clear();
            }
            return;
        }
        std::string head = c.input.substr(0, end);
        c.input.erase(0, end + sepLength);
        WebRequest request;
        size_t contentLength = 0;
        if (!ParseHead(head, request, contentLength)) {
            Queue(c, WebUi::ErrorResponse(400, "Bad Request", false), now);
            continue;
        }
        c.bodyLeft = contentLength;
        if (contentLength > 0)
            c.answerAfterBody = WebUi::Answer(request, context);
        else
            Queue(c, WebUi::Answer(request, context), now);
    }
}

void WebChannel::Queue(Connection& c, std::string bytes, Clock::time_point now) {
    Chunk chunk;
    chunk.readyAt = now + m_delay;
    chunk.bytes = std::move(bytes);
    c.output.push_back(std::move(chunk));
}

uint32_t WebChannel::Read(unsigned connection, uint8_t* out, uint32_t max,
                          Clock::time_point now) {
    if (connection < 1 || connection > KVO_WEB_CONNECTION_MAX) return 0;
    Connection& c = m_connections[connection];
    uint32_t moved = 0;
    while (moved < max && !c.output.empty() && c.output.front().readyAt <= now) {
        Chunk& front = c.output.front();
        size_t n = std::min<size_t>(max - moved, front.bytes.size() - front.offset);
        std::memcpy(out + moved, front.bytes.data() + front.offset, n);
        moved += static_cast<uint32_t>(n);
        front.offset += n;
        if (front.offset == front.bytes.size()) c.output.pop_front();
    }
    return moved;
}

int WebChannel::OpenCount() const {
    int n = 0;
    for (const auto& c : m_connections) n += c.open ? 1 : 0;
    return n;
}
