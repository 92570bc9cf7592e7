#include "notify/MailChannel.h"

#include <cstring>
#include <map>

#include "RecordText.h"
#include "framework/Text.h"
#include "config/EventLevels.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpDeadline.h"
#include "mail/SmtpReply.h"
#include "mail/SmtpReplyCapture.h"
#include "notify/EmailCenter.h"

namespace {


bool IsPermanent(int code) { return code >= 500 && code <= 599; }

DeliveryOutcome ByReply(int code, const std::string& reason) {
    return DeliveryOutcome{IsPermanent(code) ? DeliveryOutcome::Failed : DeliveryOutcome::Retry, reason};
}

// Why the whole dialogue failed, with the server's last words where it spoke.
DeliveryOutcome DialogueFailure(int result, const GenSMTP& smtp, const SmtpReplyCapture& capture,
                                std::chrono::milliseconds bound) {
    std::string reason = smtp.GetFailureReason();
    const auto& replies = capture.Replies();
    bool tls = result == SMTP_ERR_TLS || result == SMTP_ERR_TLS_CERTIFICATE || result == SMTP_ERR_STARTTLS;
    if (replies.empty() || tls) return DeliveryOutcome{DeliveryOutcome::Retry, reason};
    const auto& last = replies.back();
    if (!last.complete) {
        std::string why = SmtpDeadline::Expired()
                              ? "the delivery took longer than " + std::to_string(bound.count() / 1000) + " s"
                              : "no complete answer from the server";
        return DeliveryOutcome{DeliveryOutcome::Retry, reason + ": " + why};
    }
    return ByReply(last.code, reason + ": \"" + Text::OneLine(last.text, "; ") + "\"");
}

}  // namespace

std::vector<DeliveryOutcome> MailChannel::Deliver(const LedgerEvent& event, const std::vector<LedgerDelivery>& targets,
                                                  std::string& peer) {
    SMTP_SERVER_INFO server;
    if (!m_center.GetSMTPServer(&server)) {
        std::string why = m_center.FileProblem();
        if (why.empty()) why = "the e-mail file " + m_center.Path() + " holds no settings";
        return std::vector<DeliveryOutcome>(targets.size(), DeliveryOutcome{DeliveryOutcome::Retry, why});
    }
    peer = FieldText(server.szSMTPServer) + ":" +
           std::to_string(server.uPort);
    if (server.byAuth & SMTP_AUTH_DISABLED)
        return std::vector<DeliveryOutcome>(
            targets.size(), DeliveryOutcome{DeliveryOutcome::Failed, "e-mail notification is switched off"});

    // Names for the To line from the current list; the targets were fixed when the event came.
    std::vector<_MAIL_RECIPIENT_INFO> known;
    m_center.EnumRcpt(known);
    std::vector<_MAIL_RECIPIENT_INFO> recipients;
    for (const auto& target : targets) {
        _MAIL_RECIPIENT_INFO r;
        CopyField(r.szMailAddress, target.target);
        for (const auto& k : known)
            if (target.target == k.szMailAddress) std::memcpy(r.szName, k.szName, sizeof r.szName);
        r.byLevel = EventLevels::kAll;
        recipients.push_back(r);
    }
    _MAIL_CONTENT content;
    content.byMailLevel = EmailCenter::MailLevel(event.level);
    content.strSubject = m_center.SubjectForThisHost();
    content.strBody = event.message;

    SmtpDeadline whole(m_options.dialogueBound, m_options.waitBound);
    SmtpReplyCapture capture;
    GenSMTP smtp(server, m_options);
    int result = smtp.SendMail(recipients, 1, &content);

    std::map<std::string, GenSMTP::RecipientResult> answers;
    for (const auto& r : smtp.RecipientResults()) answers.emplace(r.address, r);
    DeliveryOutcome wholeFailure;
    if (result != 0) wholeFailure = DialogueFailure(result, smtp, capture, m_options.dialogueBound);

    std::vector<DeliveryOutcome> outcomes;
    for (const auto& target : targets) {
        auto answer = answers.find(target.target);
        if (answer != answers.end() && answer->second.code != 250) {
            std::string reply = answer->second.code ? "the server refused the recipient: \"" +
                                                          Text::OneLine(answer->second.reply, "; ") + "\""
                                                    : "no answer to RCPT TO";
            outcomes.push_back(ByReply(answer->second.code, reply));
        } else if (result == 0) {
            outcomes.push_back(DeliveryOutcome{DeliveryOutcome::Sent, ""});
        } else {
            outcomes.push_back(wholeFailure);
        }
    }
    return outcomes;
}
