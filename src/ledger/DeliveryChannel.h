// DeliveryChannel: one way of delivering an event (mail, webhooks, hooks).
// The delivery queue owns its channels (shared, so a queue thread that
// outlives a stop keeps them) and calls Deliver only on its thread.
#pragma once

#include <string>
#include <vector>

#include "ledger/EventLedger.h"

// What became of one target in one attempt.
struct DeliveryOutcome {
    enum Result { Sent, Retry, Failed };
    Result result = Retry;
    std::string reason;  // the peer's own reply where there is one; kept also when sent
};

class DeliveryChannel {
public:
    virtual ~DeliveryChannel() = default;
    // The kind of the deliveries this channel serves ("mail").
    virtual std::string Kind() const = 0;
    // Delivers `event` to `targets` (pending deliveries of this kind, all of
    // this event) in one go; one outcome per target, in order. `peer` names
    // where it went (for the log lines).
    virtual std::vector<DeliveryOutcome> Deliver(const LedgerEvent& event,
                                                 const std::vector<LedgerDelivery>& targets,
                                                 std::string& peer) = 0;
    // A target as logs may show it: never a password or token.
    virtual std::string ShownTarget(const std::string& target) const { return target; }
};
