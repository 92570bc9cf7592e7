#include "http/StatusRecordingClient.h"

#include <cctype>

namespace {
// "HTTP/1.0 200": the code ends at byte 12.
constexpr size_t kStatusEnd = 12;
}  // namespace

int StatusRecordingClient::SendBuf(const char* data, int length, int timeout) {
    int sent = m_inner->SendBuf(data, length, timeout);
    if (m_status == 0 && sent > 0 && m_head.size() < kStatusEnd) {
        m_head.append(data, static_cast<size_t>(sent) < kStatusEnd ? static_cast<size_t>(sent) : kStatusEnd);
        if (m_head.size() >= kStatusEnd && m_head.compare(0, 5, "HTTP/") == 0 && m_head[8] == ' ' &&
            std::isdigit(static_cast<unsigned char>(m_head[9])) &&
            std::isdigit(static_cast<unsigned char>(m_head[10])) &&
            std::isdigit(static_cast<unsigned char>(m_head[11])))
            m_status = std::stoi(m_head.substr(9, 3));
    }
    return sent;
}
