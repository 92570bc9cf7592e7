// NotifyManager: owns the one event poller thread, which visits every controller
// over its event channel (buffer 1, connection 65), fetches at most one event per
// visit, and hands it to its sink (the service's: ledger, traps, delivery queue;
// by default the trap sender and then the e-mail center); every 10 s
// (NotifyOptions).
// The server manager embeds it and calls Initialize, Run and terminate from its
// own threads. What the poller touches lives in a block it shares (`m_state`,
// guarded by that block's mutex), so a poller that outlives terminate's bounded
// wait never reaches a destroyed manager. The trap sender and the e-mail center
// must outlive the poller (the service's are static); the poller shares the sink.
#pragma once

#include <chrono>
#include <memory>

#include "Log.h"
#include "notify/EventSink.h"

class EmailCenter;
class KvoSnmpTrap;
class MetricsRegistry;

// The poller's timings, the standard values by default.
struct NotifyOptions {
    // Pause between sweeps.
    std::chrono::milliseconds sweepPause{10000};
    // Bound on the wait for one reply of a controller.
    std::chrono::milliseconds replyBound{2000};
    // terminate's wait for the poller to end.
    std::chrono::milliseconds stopBound{5000};
};

class NotifyManager : public Log {
public:
    // Events go to the trap sender, then straight to the e-mail center.
    NotifyManager(KvoSnmpTrap& trap, EmailCenter& mail, const NotifyOptions& options = NotifyOptions());
    // Events and the outcome of every visit go to `sink`.
    explicit NotifyManager(std::shared_ptr<EventSink> sink, const NotifyOptions& options = NotifyOptions());
    ~NotifyManager() override;
    NotifyManager(const NotifyManager&) = delete;
    NotifyManager& operator=(const NotifyManager&) = delete;

    // Nothing to prepare; kept for the manager's start-up order.
    void Initialize();
    // Starts the poller, or lets a stopping one carry on: never two pollers.
    void Run();
    // Stops the poller: wakes its pause and waits up to the stop bound for it to end.
    // True when it has ended (or never ran).
    bool terminate();

    bool IsRunning() const;
    // Where polls, events and deliveries are counted; set before Run.
    void SetMetrics(std::shared_ptr<MetricsRegistry> metrics);

    static void* ThreadProc(void* arg);

private:
    friend class EventPoller;  // the poller's visits, reaching only the shared block
    struct PollerState;
    std::shared_ptr<PollerState> m_state;
};
