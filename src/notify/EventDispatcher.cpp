#include "notify/EventDispatcher.h"

#include "mail/GenSMTP.h"
#include "notify/CommandHookChannel.h"
#include "notify/EmailCenter.h"
#include "notify/EventTargetChannel.h"
#include "notify/HookSettings.h"
#include "notify/KvoSnmpTrap.h"
#include "notify/MailChannel.h"
#include "framework/Console.h"
#include "server/MetricsRegistry.h"

namespace {
// A delivery due at once.
void AddPending(LedgerEvent& entry, const char* kind, const std::string& target) {
    LedgerDelivery d;
    d.kind = kind;
    d.target = target;
    d.nextAttempt = entry.received;
    entry.deliveries.push_back(d);
}
}  // namespace

EventDispatcher::EventDispatcher(KvoSnmpTrap& trap, EmailCenter& mail, std::shared_ptr<EventLedger> ledger,
                                 std::shared_ptr<DeliveryQueue> queue)
    : m_trap(trap), m_mail(mail), m_ledger(std::move(ledger)), m_queue(std::move(queue)) {}

std::string EventDispatcher::LocalTimeText(int64_t ms) { return EventLedger::LocalTime(ms, "%Y-%m-%d %H:%M:%S"); }

std::string EventDispatcher::ComposeMessage(const std::string& eventTime, int controller, const std::string& text) {
    return "At " + eventTime + " Controller " + std::to_string(controller + 1) + ":\r\n " + text;
}

void EventDispatcher::EventArrived(const PolledEvent& event) { Dispatch(event); }

// Committed first: once the ledger has it, a crash or a dead mail server can
// no longer lose it.
int64_t EventDispatcher::Dispatch(PolledEvent event) {
    LedgerEvent entry;
    entry.received = EventLedger::NowMs();
    entry.controller = event.controller;
    entry.level = event.level;
    entry.eventTime = event.eventTime;
    entry.text = event.text;
    entry.message = event.message;
    entry.traps = m_trap.ReceiversFor(event.level);
    for (const auto& address : MailTargets(event.level)) AddPending(entry, MailChannel::kKind, address);
    AddHookDeliveries(entry);
    int64_t id = m_ledger->Record(entry);
    KvoSnmpTrap::TrapCount traps = m_trap.SendTextTrap(event.level, event.message.c_str());
    if (m_metrics) m_metrics->CountTraps(traps.sent, traps.failed);
    if (!entry.deliveries.empty() && m_queue) m_queue->Wake();
    return id;
}

void EventDispatcher::AddHookDeliveries(LedgerEvent& entry) {
    if (!m_hooks) return;
    for (const auto& webhook : m_hooks->Webhooks())
        AddPending(entry, EventTargetChannel::kWebhookKind, WebhookChannel::LedgerTarget(webhook.url, webhook.format));
    for (const auto& program : CommandHookChannel::ListHooks(m_hooks->HooksDirectory()))
        AddPending(entry, EventTargetChannel::kHookKind, program);
}

std::vector<std::string> EventDispatcher::MailTargets(int level) {
    std::vector<std::string> targets;
    SMTP_SERVER_INFO server;
    bool readable = m_mail.GetSMTPServer(&server);
    NoteMailFileState(readable ? std::string() : m_mail.FileProblem());
    if (!readable || (server.byAuth & SMTP_AUTH_DISABLED)) return targets;
    std::vector<_MAIL_RECIPIENT_INFO> recipients;
    m_mail.EnumRcpt(recipients);
    unsigned char bit = EmailCenter::MailLevel(level);
    for (const auto& r : recipients)
        if ((r.byLevel & bit) && r.szMailAddress[0]) targets.emplace_back(r.szMailAddress);
    return targets;
}

// Logged once per change of state, not once per event.
void EventDispatcher::NoteMailFileState(const std::string& problem) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (problem == m_mailProblem) return;
    if (problem.empty())
        Console::PrintLevel(Console::kInformation, "E-mail file %s can be read again: events are mailed\n",
                            m_mail.Path().c_str());
    else
        Console::PrintLevel(Console::kWarning, "Events are not mailed: %s\n", problem.c_str());
    m_mailProblem = problem;
}

void EventDispatcher::ControllerVisited(int controller, bool answered) {
    int64_t now = EventLedger::NowMs();
    m_ledger->NotePoll(controller, answered, now);
    std::unique_lock<std::mutex> lock(m_lock);
    Silence& s = m_silence[controller];
    if (answered) {
        bool wasReported = s.reported;
        s = Silence();
        lock.unlock();
        if (wasReported) RaiseControllerEvent(controller, 'I', "answers again");
        return;
    }
    if (s.failed++ == 0) s.since = now;
    if (s.reported || s.failed < m_silentVisits) return;
    s.reported = true;
    int64_t since = s.since;
    lock.unlock();
    RaiseControllerEvent(controller, 'E', "does not answer since " + LocalTimeText(since));
}

void EventDispatcher::RaiseControllerEvent(int controller, int level, const std::string& what) {
    PolledEvent event;
    event.controller = controller;
    event.level = level;
    event.eventTime = LocalTimeText(EventLedger::NowMs());
    event.text = "Controller " + std::to_string(controller + 1) + ": " + what;
    event.message = ComposeMessage(event.eventTime, controller, event.text);
    Console::PrintLevel(level == 'E' ? Console::kError : Console::kInformation, "%s\n", event.text.c_str());
    Dispatch(event);
}

int64_t EventDispatcher::SendTestEvent(int level, const std::string& origin) {
    PolledEvent event;
    event.controller = kLedgerNoController;
    event.level = level;
    event.eventTime = LocalTimeText(EventLedger::NowMs());
    const char* name = level == 'E' ? "error" : level == 'W' ? "warning" : "information";
    event.text = std::string("TEST: a test event of level ") + name + " sent from " + origin +
                 "; no controller reported it";
    event.message = "At " + event.eventTime + " Test event:\r\n " + event.text;
    Console::Print("Test event of level %s sent from %s\n", name, origin.c_str());
    return Dispatch(event);
}

int EventDispatcher::Resend(int64_t eventId) {
    int queued = m_ledger->Resend(eventId, EventLedger::NowMs());
    if (queued > 0 && m_queue) m_queue->Wake();
    return queued;
}
