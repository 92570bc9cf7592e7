// DeliveryQueue: serves the ledger's pending deliveries on a thread of its own,
// so no slow peer holds up the poller. Each due (event, kind) group goes to the
// channel of that kind in one call; each target's outcome is stored: sent, a
// passing failure tried again with back-off until the give-up age, or a
// permanent failure. Every failed attempt is logged. The server manager owns
// it; Start/Stop/Wake run on any thread; the thread reaches only the shared
// block (`m_state`, its mutex guards the wake-up), so a thread still inside a
// delivery after Stop's bounded wait never touches a destroyed queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "ledger/DeliveryChannel.h"
#include "ledger/EventLedger.h"

struct DeliveryOptions {
    std::chrono::milliseconds firstRetry{std::chrono::minutes(1)};  // doubled after each failure
    std::chrono::milliseconds maxRetry{std::chrono::hours(1)};
    std::chrono::milliseconds giveUpAfter{std::chrono::hours(24)};  // from the event's arrival
    std::chrono::milliseconds stopBound{5000};
    // Longest sleep between looks at the ledger (pending work added by another process).
    std::chrono::milliseconds idleCheck{std::chrono::minutes(1)};
};

// Told, on the queue's thread, what `count` targets of a kind came to after an
// attempt: Sent, Pending (will be tried again) or Failed. At Start it is told
// each channel's kind with a count of 0, so a kind shows before its first attempt.
using DeliveryObserver = std::function<void(const std::string& kind, DeliveryStatus status, unsigned count)>;

class DeliveryQueue {
public:
    explicit DeliveryQueue(std::shared_ptr<EventLedger> ledger, DeliveryOptions options = DeliveryOptions());
    ~DeliveryQueue();
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    // Before Start.
    void SetOptions(const DeliveryOptions& options);
    void AddChannel(std::shared_ptr<DeliveryChannel> channel);
    void SetObserver(DeliveryObserver observer);
    // Starts the thread; deliveries left pending by an earlier run are due at once.
    void Start();
    // Asks the thread to end and waits up to stopBound; true when it has ended.
    bool Stop();
    // New deliveries are due: look now.
    void Wake();
    bool IsRunning() const;

    // When a delivery that has failed `attempts` times is tried next.
    static std::chrono::milliseconds RetryDelay(const DeliveryOptions& options, int attempts);

    struct State;

private:
    std::shared_ptr<State> m_state;
};
