#include "mail/SmtpReply.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "Client.h"
#include "mail/SmtpDeadline.h"
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

// What is left of the whole reply's bound (and of the dialogue's), for the next wait.
class ReplyClock {
public:
    explicit ReplyClock(int timeoutUs)
        : m_unlimited(timeoutUs < 0),
          m_end(std::chrono::steady_clock::now() + std::chrono::microseconds(m_unlimited ? 0 : timeoutUs)) {}
    int LeftUs() const {
        int left = -1;
        if (!m_unlimited) {
            auto us = std::chrono::duration_cast<std::chrono::microseconds>(m_end - std::chrono::steady_clock::now());
            left = us.count() > 0 ? static_cast<int>(us.count()) : 0;
        }
        return SmtpDeadline::BoundUs(left);
    }

private:
    bool m_unlimited;
    std::chrono::steady_clock::time_point m_end;
};

}  // namespace

// Peeks first and takes only up to the end of the current line, so bytes that
// belong to a later reply stay queued on the connection. The bound holds for
// the whole reply, however it is split: a peer that drips bytes gets no more time.
bool SmtpReply::ReadFrom(Client* client) { return ReadFrom(client, SmtpDeadline::WaitBoundUs()); }

bool SmtpReply::ReadFrom(Client* client, int timeoutUs) {
    SmtpReplyCapture::Guard noted(*this);
    m_text.clear();
    m_code = 0;
    m_complete = false;
    if (!client) return false;

    ReplyClock clock(timeoutUs);
    std::string line;
    char buffer[1024];
    for (;;) {
        int left = clock.LeftUs();
        if (left == 0) return false;
        int peeked = client->PeekBuf(buffer, sizeof buffer, left);
        if (peeked < 1) return false;
        int wanted = PieceLength(buffer, peeked);
        int got = client->ReceiveBuf(buffer, wanted, clock.LeftUs());
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
