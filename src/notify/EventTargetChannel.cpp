#include "notify/EventTargetChannel.h"

#include <ctime>

#include "framework/Text.h"
#include "notify/CommandHookChannel.h"
#include "notify/WebhookChannel.h"

namespace {

// The event's own local "YYYY-MM-DD hh:mm:ss"; when it does not read, the arrival.
std::time_t EventSeconds(const LedgerEvent& event) {
    std::tm parts{};
    const char* end = strptime(event.eventTime.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
    if (end && !*end) {
        parts.tm_isdst = -1;
        std::time_t t = std::mktime(&parts);
        if (t != static_cast<std::time_t>(-1)) return t;
    }
    return static_cast<std::time_t>(event.received / 1000);
}

}  // namespace

std::shared_ptr<EventTargetChannel> EventTargetChannel::Webhooks(std::chrono::milliseconds bound, HostName hostName) {
    return std::make_shared<EventTargetChannel>(
        kWebhookKind,
        [bound](const std::string& target) -> std::unique_ptr<EventTarget> {
            WebhookSettings settings;
            settings.timeout = bound;
            if (!WebhookChannel::FromLedgerTarget(target, settings)) settings.url.clear();
            return std::make_unique<WebhookChannel>(settings);
        },
        std::move(hostName));
}

std::shared_ptr<EventTargetChannel> EventTargetChannel::Hooks(std::chrono::milliseconds bound, HostName hostName) {
    return std::make_shared<EventTargetChannel>(
        kHookKind,
        [bound](const std::string& target) -> std::unique_ptr<EventTarget> {
            return std::make_unique<CommandHookChannel>(target, bound);
        },
        std::move(hostName));
}

std::string EventTargetChannel::Shown(const std::string& kind, const std::string& target) {
    return kind == kWebhookKind ? WebhookChannel::ShownTarget(target) : target;
}

ChannelEvent EventTargetChannel::ToChannelEvent(const LedgerEvent& event, const std::string& host) {
    ChannelEvent out;
    out.id = std::to_string(event.id);
    out.host = host;
    out.controller = event.controller == kLedgerNoController ? 0 : event.controller + 1;
    out.level = static_cast<char>(event.level);
    out.time = EventSeconds(event);
    out.text = event.text;
    return out;
}

DeliveryOutcome EventTargetChannel::ToLedgerOutcome(const ChannelOutcome& outcome) {
    DeliveryOutcome out;
    out.result = outcome.kind == ChannelOutcome::SENT    ? DeliveryOutcome::Sent
                 : outcome.kind == ChannelOutcome::RETRY ? DeliveryOutcome::Retry
                                                         : DeliveryOutcome::Failed;
    out.reason = outcome.reason;
    if (out.reason.empty() && outcome.httpStatus)
        out.reason = "the server answered " + std::to_string(outcome.httpStatus);
    else if (out.reason.empty() && outcome.exitStatus >= 0)
        out.reason = "exit status " + std::to_string(outcome.exitStatus);
    if (!outcome.output.empty()) out.reason += (out.reason.empty() ? "\"" : ": \"") + Text::OneLine(outcome.output, " / ") + "\"";
    return out;
}

std::vector<DeliveryOutcome> EventTargetChannel::Deliver(const LedgerEvent& event,
                                                         const std::vector<LedgerDelivery>& targets,
                                                         std::string& peer) {
    ChannelEvent channelEvent = ToChannelEvent(event, m_hostName ? m_hostName() : std::string());
    std::vector<DeliveryOutcome> outcomes;
    for (const auto& target : targets) {
        std::unique_ptr<EventTarget> made = m_make(target.target);
        peer += (peer.empty() ? "" : ", ") + made->Describe();
        outcomes.push_back(ToLedgerOutcome(made->Deliver(channelEvent)));
    }
    return outcomes;
}
