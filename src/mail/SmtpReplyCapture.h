// SmtpReplyCapture: while one lives, every SMTP reply read on its thread is
// kept (text, code, whether it was complete), so a diagnostic such as the
// e-mail page's test mail can show the server's own words. Lives on the stack
// of the thread that runs the dialogue; captures nest; no lock (thread-local).
#pragma once

#include <string>
#include <vector>

class SmtpReply;

class SmtpReplyCapture {
public:
    struct Entry {
        std::string text;  // line ends included; partial when not complete
        int code = 0;
        bool complete = false;
    };

    SmtpReplyCapture();
    ~SmtpReplyCapture();
    SmtpReplyCapture(const SmtpReplyCapture&) = delete;
    SmtpReplyCapture& operator=(const SmtpReplyCapture&) = delete;

    const std::vector<Entry>& Replies() const { return m_replies; }

    // Called by SmtpReply::ReadFrom for every read, finished or not.
    static void Note(const SmtpReply& reply);

    // Notes the reply when the read it guards ends, whichever way it returns.
    class Guard {
    public:
        explicit Guard(const SmtpReply& reply) : m_reply(reply) {}
        ~Guard() { Note(m_reply); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        const SmtpReply& m_reply;
    };

private:
    std::vector<Entry> m_replies;
    SmtpReplyCapture* m_outer;
};
