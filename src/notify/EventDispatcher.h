// EventDispatcher: the path of every event in the service: commit it to the
// ledger (with one pending mail delivery per matching recipient, one per
// configured webhook and one per hook in the hooks directory), send the
// traps (UDP, at once), and wake the delivery queue; the poller then goes on.
// Also turns a controller that stops answering into an event of its own, and
// back. The server manager owns it; the poller's thread and the pages' threads
// call it; `m_lock` guards the mail-file state and the per-controller counts.
// The trap sender and the e-mail center must outlive it (the service's are static).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ledger/DeliveryQueue.h"
#include "ledger/EventLedger.h"
#include "notify/EventSink.h"

class EmailCenter;
class HookSettings;
class KvoSnmpTrap;
class MetricsRegistry;

class EventDispatcher : public EventSink {
public:
    // Visits in a row without an answer before a controller counts as silent.
    static constexpr unsigned int kSilentVisits = 3;

    EventDispatcher(KvoSnmpTrap& trap, EmailCenter& mail, std::shared_ptr<EventLedger> ledger,
                    std::shared_ptr<DeliveryQueue> queue);
    // Before the poller starts.
    void SetSilentVisits(unsigned int visits) { m_silentVisits = visits; }
    // Where traps are counted; before the poller starts.
    void SetMetrics(std::shared_ptr<MetricsRegistry> metrics) { m_metrics = std::move(metrics); }
    // Where the webhooks and the hooks directory are read, at every event;
    // before the poller starts. Without it events go to mail only.
    void SetHookSettings(std::shared_ptr<HookSettings> hooks) { m_hooks = std::move(hooks); }

    void EventArrived(const PolledEvent& event) override;
    void ControllerVisited(int controller, bool answered) override;

    // A synthetic event of `level` ('I', 'W', 'E') through the same path,
    // marked as a test in its text; its ledger id.
    int64_t SendTestEvent(int level, const std::string& origin);
    // Sends an event's mail again now; how many deliveries were queued.
    int Resend(int64_t eventId);

    EventLedger& Ledger() { return *m_ledger; }

    // "YYYY-MM-DD hh:mm:ss" of local time.
    static std::string LocalTimeText(int64_t ms);
    // The text every trap and mail of an event carries.
    static std::string ComposeMessage(const std::string& eventTime, int controller, const std::string& text);

private:
    struct Silence {
        unsigned int failed = 0;
        int64_t since = 0;
        bool reported = false;
    };

    int64_t Dispatch(PolledEvent event);
    std::vector<std::string> MailTargets(int level);
    // One pending delivery per webhook and per hook found now.
    void AddHookDeliveries(LedgerEvent& entry);
    void NoteMailFileState(const std::string& problem);
    void RaiseControllerEvent(int controller, int level, const std::string& text);

    KvoSnmpTrap& m_trap;
    EmailCenter& m_mail;
    std::shared_ptr<EventLedger> m_ledger;
    std::shared_ptr<DeliveryQueue> m_queue;
    std::shared_ptr<MetricsRegistry> m_metrics;
    std::shared_ptr<HookSettings> m_hooks;
    unsigned int m_silentVisits = kSilentVisits;
    std::mutex m_lock;
    std::string m_mailProblem;  // the last state logged; empty: readable
    std::map<int, Silence> m_silence;
};
