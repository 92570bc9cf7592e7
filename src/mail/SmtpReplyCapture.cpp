#include "mail/SmtpReplyCapture.h"

#include "mail/SmtpReply.h"

namespace {
thread_local SmtpReplyCapture* t_active = nullptr;
}

SmtpReplyCapture::SmtpReplyCapture() : m_outer(t_active) { t_active = this; }

SmtpReplyCapture::~SmtpReplyCapture() { t_active = m_outer; }

void SmtpReplyCapture::Note(const SmtpReply& reply) {
    for (SmtpReplyCapture* capture = t_active; capture; capture = capture->m_outer) {
        Entry entry;
        entry.text = reply.Text();
        entry.code = reply.Code();
        entry.complete = reply.Complete();
        capture->m_replies.push_back(entry);
    }
}
