// SmtpReply: one whole SMTP reply, read line by line from a connection up to the
// line whose code is not followed by a hyphen. A plain value used on the
// caller's thread; it never reads past the end of the reply it is given.
#pragma once

#include <string>

class Client;

class SmtpReply {
public:
    // A reply longer than this is taken as a broken peer.
    static constexpr size_t kMaxBytes = 65536;

    // Reads one reply within `timeoutUs` for the whole of it (-1: no limit;
    // also cut by a live SmtpDeadline). False when the connection ended or the
    // bound ran out before the last line, or the reply grew too long; Code()
    // is then 0.
    bool ReadFrom(Client* client, int timeoutUs);
    // As above, bounded by the dialogue's single-wait bound (SmtpDeadline).
    bool ReadFrom(Client* client);

    // The decimal code at the start of the reply (leading white space skipped);
    // 0 when there is none or the reply is incomplete.
    int Code() const { return m_complete ? m_code : 0; }
    bool Complete() const { return m_complete; }
    // Every line received, line ends included (also the partial text of an
    // incomplete reply).
    const std::string& Text() const { return m_text; }

private:
    bool TakeLine(const std::string& line);

    std::string m_text;
    int m_code = 0;
    bool m_complete = false;
};
