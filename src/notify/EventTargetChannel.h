// EventTargetChannel: the delivery queue's "webhook" and "hook" kinds. Makes
// the EventTarget each pending delivery names (a webhook's "<format> <url>", a
// hook program's path), hands it the ledger's event and stores its outcome the
// way mail's is: sent, tried again with back-off, or failed, with the HTTP
// status or exit status and the first lines of the answer as the reason.
// Owned by the delivery queue (shared); Deliver runs on the queue's thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "ledger/DeliveryChannel.h"
#include "notify/EventTarget.h"

class EventTargetChannel : public DeliveryChannel {
public:
    static constexpr const char* kWebhookKind = "webhook";
    static constexpr const char* kHookKind = "hook";

    using TargetFactory = std::function<std::unique_ptr<EventTarget>(const std::string& target)>;
    using HostName = std::function<std::string()>;

    EventTargetChannel(std::string kind, TargetFactory make, HostName hostName)
        : m_kind(std::move(kind)), m_make(std::move(make)), m_hostName(std::move(hostName)) {}

    // The two kinds, each call bounded by `bound`.
    static std::shared_ptr<EventTargetChannel> Webhooks(std::chrono::milliseconds bound, HostName hostName);
    static std::shared_ptr<EventTargetChannel> Hooks(std::chrono::milliseconds bound, HostName hostName);

    std::string Kind() const override { return m_kind; }
    std::vector<DeliveryOutcome> Deliver(const LedgerEvent& event, const std::vector<LedgerDelivery>& targets,
                                         std::string& peer) override;
    std::string ShownTarget(const std::string& target) const override { return Shown(m_kind, target); }

    // A delivery's target as pages and logs may show it (no secrets).
    static std::string Shown(const std::string& kind, const std::string& target);
    static ChannelEvent ToChannelEvent(const LedgerEvent& event, const std::string& host);
    // The ledger's record of an attempt: status, and what the target answered.
    static DeliveryOutcome ToLedgerOutcome(const ChannelOutcome& outcome);

private:
    std::string m_kind;
    TargetFactory m_make;
    HostName m_hostName;
};
