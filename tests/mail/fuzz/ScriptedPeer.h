// ScriptedPeer: an SMTP server for the fuzzing harnesses, as a Client whose
// incoming bytes are a fixed script handed out at most `piece` bytes per read
// (segment boundaries); once it is used up every read fails at once (end of
// stream or time-out, by choice). Everything the client sends is kept. One
// thread, no lock.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Client.h"
#include "mail/SmtpReply.h"

namespace kvofuzz {

class ScriptedPeer : public Client {
public:
    ScriptedPeer(std::string script, size_t piece, bool closeAtEnd)
        : m_script(std::move(script)), m_piece(std::max<size_t>(piece, 1)), m_closeAtEnd(closeAtEnd) {}

    int PeekBuf(char* buffer, int size, int /*timeout*/) override { return Hand(buffer, size, false); }
    int ReceiveBuf(char* buffer, int size, int /*timeout*/) override { return Hand(buffer, size, true); }
    int SendBuf(const char* data, int length, int /*timeout*/) override {
        if (m_refusing || length <= 0) return -1;
        m_sent.append(data, static_cast<size_t>(length));
        return length;
    }
    int GetStatus() override { return 1; }
    int GetStatistics(ClientStatisticsTag&) override { return 0; }
    int Close() override {
        m_closed = true;
        return 0;
    }
    int WhenBroken(int) override { return 0; }

    // A failed TLS layer: nothing more goes out or comes in.
    void Refuse() { m_refusing = true; }
    const std::string& Sent() const { return m_sent; }
    // The script bytes the client has taken.
    std::string Consumed() const { return m_script.substr(0, m_at); }

private:
    int Hand(char* buffer, int size, bool take) {
        if (m_refusing || m_closed) return CLIENT_ERR_BROKEN;
        size_t left = m_script.size() - m_at;
        if (left == 0) return m_closeAtEnd ? CLIENT_ERR_BROKEN : CLIENT_ERR_TIMEOUT;
        size_t n = std::min({left, m_piece, static_cast<size_t>(size > 0 ? size : 0)});
        std::memcpy(buffer, m_script.data() + m_at, n);
        if (take) m_at += n;
        return static_cast<int>(n);
    }

    std::string m_script;
    size_t m_piece;
    bool m_closeAtEnd;
    size_t m_at = 0;
    bool m_refusing = false;
    bool m_closed = false;
    std::string m_sent;
};

// The codes of the whole replies in `bytes`, read as the client reads them.
inline std::vector<int> ReplyCodes(const std::string& bytes) {
    ScriptedPeer again(bytes, bytes.size(), true);
    std::vector<int> codes;
    SmtpReply reply;
    while (reply.ReadFrom(&again)) codes.push_back(reply.Code());
    return codes;
}

// The lines of `text` without their CR LF.
inline std::vector<std::string> SentLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace kvofuzz
