// MailChannel: the delivery queue's "mail" kind: one mail per event, through
// the e-mail center's current account, to the event's pending recipients;
// tells per recipient sent, try again (no connection, time-out, 4xx, TLS) or
// failed (a 5xx refusal, or a refused login). Owned by the delivery queue
// (shared); Deliver runs on the queue's thread only; the e-mail center must
// outlive it (the service's is static).
#pragma once

#include <chrono>

#include "ledger/DeliveryChannel.h"
#include "SmtpOptions.h"

class EmailCenter;

class MailChannel : public DeliveryChannel {
public:
    static constexpr const char* kKind = "mail";
    // `options.dialogueBound`: one whole delivery, connect to QUIT.
    explicit MailChannel(EmailCenter& center, const SmtpOptions& options = SmtpOptions())
        : m_center(center), m_options(options) {}

    std::string Kind() const override { return kKind; }
    std::vector<DeliveryOutcome> Deliver(const LedgerEvent& event, const std::vector<LedgerDelivery>& targets,
                                         std::string& peer) override;

private:
    EmailCenter& m_center;
    const SmtpOptions m_options;
};
