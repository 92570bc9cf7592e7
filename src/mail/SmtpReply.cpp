#include "mail/SmtpReply.h"

#include <cstdio>
#include <cstring>

#include "Client.h"
#include "mail/SmtpReplyCapture.h"

namespace {

// Length of the next piece to take from `data`: up to and including the first
// line feed, or everything when the line is not complete yet.
int PieceLength(const char* data, int count) {
    const void* lf = std::memchr(data, '\n', static_cast<size_t>(count));
    return lf ? static_cast<int>(static_cast<const char*>(lf) - data) + 1 : count;
}

// A reply line is the last one unless its code is followed by a hyphen.
bool IsLastLine(const std::string& line) { return line.size() < 4 || line[3] != '-'; }

}  // namespace

// Peeks first and takes only up to the end of the current line, so bytes that
// belong to a later reply stay queued on the connection.
bool SmtpReply::ReadFrom(Client* client, int timeoutUs) {
    SmtpReplyCapture::Guard noted(*this);
    m_text.clear();
    m_code = 0;
    m_complete = false;
    if (!client) return false;

    std::string line;
    char buffer[1024];
    for (;;) {
        int peeked = client->PeekBuf(buffer, sizeof buffer, timeoutUs);
        if (peeked < 1) return false;
        int wanted = PieceLength(buffer, peeked);
        int got = client->ReceiveBuf(buffer, wanted, timeoutUs);
        if (got < 1) return false;
        line.append(buffer, static_cast<size_t>(got));
        m_text.append(buffer, static_cast<size_t>(got));
        if (m_text.size() > kMaxBytes) return false;
        if (line.back() != '\n') continue;
        if (TakeLine(line)) return true;
        line.clear();
    }
}

bool SmtpReply::TakeLine(const std::string& line) {
    if (m_text.size() == line.size() && std::sscanf(line.c_str(), "%d", &m_code) != 1) m_code = 0;
    m_complete = IsLastLine(line);
    return m_complete;
}
