#include "ledger/DeliveryQueue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "framework/Console.h"

struct DeliveryQueue::State {
    State(std::shared_ptr<EventLedger> l, DeliveryOptions o) : ledger(std::move(l)), options(o) {}

    std::shared_ptr<EventLedger> ledger;
    DeliveryOptions options;
    std::map<std::string, std::shared_ptr<DeliveryChannel>> channels;  // fixed once started
    DeliveryObserver observer;  // fixed once started; may be empty
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> stop{false};
    bool woken = false;
    bool running = false;
};

namespace {

using Clock = std::chrono::system_clock;

// The outcome of one attempt applied to one delivery: sent, failed for good
// (also once a passing failure has lasted past the give-up age), or due again
// after the back-off.
void Apply(const DeliveryOptions& options, const LedgerEvent& event, const DeliveryOutcome& outcome,
           int64_t now, LedgerDelivery& d) {
    d.attempts++;
    d.lastReason = outcome.reason;
    if (outcome.result == DeliveryOutcome::Sent) {
        d.status = DeliveryStatus::Sent;
        return;
    }
    if (outcome.result == DeliveryOutcome::Failed) {
        d.status = DeliveryStatus::Failed;
        return;
    }
    int64_t next = now + DeliveryQueue::RetryDelay(options, d.attempts).count();
    if (next - event.received > options.giveUpAfter.count()) {
        d.status = DeliveryStatus::Failed;
        d.lastReason = "gave up after " + std::to_string(d.attempts) + " attempts: " + outcome.reason;
        return;
    }
    d.nextAttempt = next;
}

// One line per distinct outcome of the attempt, naming the event, the peer,
// the targets and the reason.
void LogAttempt(const LedgerEvent& event, const std::string& kind, const std::string& peer,
                const std::vector<LedgerDelivery>& done) {
    std::map<std::pair<int, std::string>, std::string> lines;  // (status, text) -> targets
    for (const auto& d : done) {
        if (d.status == DeliveryStatus::Sent) continue;
        std::string text = d.lastReason;
        if (d.status == DeliveryStatus::Pending) text += "; next attempt at " + EventLedger::LocalTime(d.nextAttempt, "%H:%M:%S");
        std::string& targets = lines[{static_cast<int>(d.status), text}];
        targets += (targets.empty() ? "" : ", ") + d.target;
    }
    for (const auto& line : lines) {
        bool final = line.first.first == static_cast<int>(DeliveryStatus::Failed);
        Console::PrintLevel(final ? Console::kError : Console::kWarning,
                            "Event %lld: %s to %s %s through %s: %s\n", static_cast<long long>(event.id),
                            kind.c_str(), line.second.c_str(), final ? "failed" : "not delivered yet",
                            peer.empty() ? "(no server)" : peer.c_str(), line.first.second.c_str());
    }
}

void Observe(const DeliveryQueue::State& s, const std::string& kind, const std::vector<LedgerDelivery>& done) {
    if (!s.observer) return;
    std::map<DeliveryStatus, unsigned> counts;
    for (const auto& d : done) counts[d.status]++;
    for (const auto& count : counts) s.observer(kind, count.first, count.second);
}

void AnnounceKinds(const DeliveryQueue::State& s) {
    if (!s.observer) return;
    for (const auto& channel : s.channels)
        for (DeliveryStatus status : {DeliveryStatus::Sent, DeliveryStatus::Pending, DeliveryStatus::Failed})
            s.observer(channel.first, status, 0);
}

void DeliverGroup(DeliveryQueue::State& s, int64_t eventId, const std::string& kind,
                  std::vector<LedgerDelivery> group) {
    std::optional<LedgerEvent> event = s.ledger->Event(eventId);
    auto channel = s.channels.find(kind);
    std::vector<DeliveryOutcome> outcomes;
    std::string peer;
    if (!event || channel == s.channels.end()) {
        outcomes.assign(group.size(), DeliveryOutcome{DeliveryOutcome::Failed, "no channel delivers " + kind});
    } else {
        outcomes = channel->second->Deliver(*event, group, peer);
        outcomes.resize(group.size(), DeliveryOutcome{DeliveryOutcome::Retry, "no outcome reported"});
    }
    int64_t now = EventLedger::NowMs();
    LedgerEvent fallback;
    fallback.id = eventId;
    fallback.received = now;
    for (size_t i = 0; i < group.size(); ++i) Apply(s.options, event ? *event : fallback, outcomes[i], now, group[i]);
    s.ledger->Update(group);
    if (channel != s.channels.end())
        for (auto& d : group) d.target = channel->second->ShownTarget(d.target);
    LogAttempt(event ? *event : fallback, kind, peer, group);
    Observe(s, kind, group);
}

void Serve(DeliveryQueue::State& s) {
    std::vector<LedgerDelivery> due = s.ledger->Due(EventLedger::NowMs());
    // One call per event and kind, in order of arrival.
    std::map<std::pair<int64_t, std::string>, std::vector<LedgerDelivery>> groups;
    for (auto& d : due) groups[{d.eventId, d.kind}].push_back(d);
    for (auto& group : groups) {
        if (s.stop) return;
        DeliverGroup(s, group.first.first, group.first.second, std::move(group.second));
    }
}

void Run(std::shared_ptr<DeliveryQueue::State> hold) {
    DeliveryQueue::State& s = *hold;
    AnnounceKinds(s);
    s.ledger->AllPendingDueAt(EventLedger::NowMs());
    while (!s.stop) {
        Serve(s);
        std::optional<int64_t> next = s.ledger->NextDue();
        auto wait = s.options.idleCheck;
        if (next) {
            auto until = std::chrono::milliseconds(std::max<int64_t>(0, *next - EventLedger::NowMs()));
            wait = std::min(wait, until);
        }
        std::unique_lock<std::mutex> lock(s.mutex);
        s.wake.wait_for(lock, wait, [&] { return s.stop.load() || s.woken; });
        s.woken = false;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running = false;
    s.wake.notify_all();
}

}  // namespace

DeliveryQueue::DeliveryQueue(std::shared_ptr<EventLedger> ledger, DeliveryOptions options)
    : m_state(std::make_shared<State>(std::move(ledger), options)) {}

DeliveryQueue::~DeliveryQueue() { Stop(); }

void DeliveryQueue::SetOptions(const DeliveryOptions& options) {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    if (!m_state->running) m_state->options = options;
}

void DeliveryQueue::AddChannel(std::shared_ptr<DeliveryChannel> channel) {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    if (m_state->running || !channel) return;
    m_state->channels[channel->Kind()] = std::move(channel);
}

void DeliveryQueue::SetObserver(DeliveryObserver observer) {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    if (!m_state->running) m_state->observer = std::move(observer);
}

void DeliveryQueue::Start() {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    m_state->stop = false;
    if (m_state->running) return;  // a stopping thread simply carries on
    m_state->running = true;
    std::thread(Run, m_state).detach();
}

bool DeliveryQueue::Stop() {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->stop = true;
    m_state->wake.notify_all();
    return m_state->wake.wait_for(lock, m_state->options.stopBound, [&] { return !m_state->running; });
}

void DeliveryQueue::Wake() {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    m_state->woken = true;
    m_state->wake.notify_all();
}

bool DeliveryQueue::IsRunning() const {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    return m_state->running;
}

std::chrono::milliseconds DeliveryQueue::RetryDelay(const DeliveryOptions& options, int attempts) {
    auto delay = options.firstRetry;
    for (int i = 1; i < attempts && delay < options.maxRetry; ++i) delay *= 2;
    return std::min(delay, options.maxRetry);
}
