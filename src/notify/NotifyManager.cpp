#include "notify/NotifyManager.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "EventChannelRecords.h"
#include "GenServerThread.h"
#include "controller/kvoIO.h"
#include "notify/EmailCenter.h"
#include "notify/EventReply.h"
#include "notify/KvoSnmpTrap.h"
#include "framework/Console.h"
#include "server/MetricsRegistry.h"

namespace {

// An error event is logged as an error, a warning as a warning (their priority
// in the journal and syslog); information events and anything else as information.
int ConsoleLevelOf(int eventLevel) {
    if (eventLevel == 'E') return Console::kError;
    if (eventLevel == 'W') return Console::kWarning;
    return Console::kInformation;
}
constexpr unsigned int kEventBuffer = 1;
constexpr unsigned char kEventConnection = 65;
constexpr unsigned int kDisconnectLength = sizeof KVO_EVENT_DISCONNECT - 1;  // no terminator
constexpr useconds_t kReadPause = 1000;
}  // namespace

// The original path: the trap, then the mail, on the poller's thread.
class DirectSink : public EventSink {
public:
    DirectSink(KvoSnmpTrap& trap, EmailCenter& mail) : m_trap(trap), m_mail(mail) {}
    void EventArrived(const PolledEvent& event) override {
        m_trap.SendTextTrap(event.level, event.message.c_str());
        m_mail.EventArrived(event.level, event.message.c_str());
    }

private:
    KvoSnmpTrap& m_trap;
    EmailCenter& m_mail;
};

struct NotifyManager::PollerState {
    PollerState(std::shared_ptr<EventSink> s, const NotifyOptions& o) : sink(std::move(s)), options(o) {}

    std::shared_ptr<EventSink> sink;
    std::mutex mutex;
    std::condition_variable wake;      // the pause ends early, or the poller has ended
    std::atomic<bool> m_stop{false};   // read by the poller between every step
    bool running = false;              // a poller thread owns this block
    const NotifyOptions options;
    std::shared_ptr<MetricsRegistry> metrics;  // set before the poller starts; may be null
    char m_text[4096] = {};            // the current event's message; poller only
};

// The poller's own work: one sweep's visits. Kept out of the class so that it
// only ever reaches the shared block.
class EventPoller {
public:
    explicit EventPoller(NotifyManager::PollerState& s) : m_s(s), m_io(kvoIO::GetInstance()) {
        KvoFillHandshakeRequest(m_hello);
        KvoFillEventRequest(m_ask);
    }

    unsigned int Count() { return m_io->getControllerCount(); }

    void Visit(unsigned int controller) {
        bool answered = Fetch(controller);
        // A visit cut short by a stop says nothing about the controller.
        if (m_s.metrics && !m_s.m_stop.load()) m_s.metrics->CountPoll(controller, answered);
        if (answered && IsEvent()) Deliver(controller);
        // Whatever happened, the firmware gets the end of the exchange.
        m_io->writeIO(controller, kEventBuffer, kEventConnection, KVO_EVENT_DISCONNECT,
                      kDisconnectLength);
        // A wait cut short by a stop request says nothing about the controller.
        if (!m_s.m_stop) m_s.sink->ControllerVisited(static_cast<int>(controller), answered);
    }

private:
    bool Write(unsigned int controller, const void* record, unsigned int size) {
        return m_io->writeIO(controller, kEventBuffer, kEventConnection,
                             static_cast<const char*>(record), size) >= 1;
    }

    // Reads until something arrives; -1 on a failed read, a stop request, or
    // no reply within the bound (a controller that never answers must not stop
    // the other controllers' visits, nor the service's shutdown).
    int AwaitReply(unsigned int controller, char* area, unsigned int size) {
        auto deadline = std::chrono::steady_clock::now() + m_s.options.replyBound;
        for (;;) {
            int n = m_io->readIO(controller, kEventBuffer, kEventConnection, area, size);
            if (n != 0) return n > 0 ? n : -1;
            if (m_s.m_stop.load()) return -1;
            if (std::chrono::steady_clock::now() >= deadline) {
                m_timedOut = true;
                return -1;
            }
            usleep(kReadPause);
        }
    }

    bool Fetch(unsigned int controller) {
        if (!Write(controller, &m_hello, sizeof m_hello)) return false;
        char ack[KVO_HANDSHAKE_REPLY_SIZE];
        if (AwaitReply(controller, ack, sizeof ack) < 0) return false;
        if (!Write(controller, &m_ask, sizeof m_ask)) return false;
        // Cleared whole and ended within what was read: no stale text.
        std::memset(m_area, 0, sizeof m_area);
        m_timedOut = false;
        int n = AwaitReply(controller, m_area, KVO_EVENT_REPLY_AREA);
        if (n < 0 && m_timedOut)
            Console::PrintLevel(Console::kWarning,
                                "Controller %u: no reply to the event request within %lld ms; a reply that "
                                "comes later is not read\n",
                                controller + 1, static_cast<long long>(m_s.options.replyBound.count()));
        if (n < 0) return false;
        m_area[n] = '\0';
        m_read = static_cast<size_t>(n);
        return true;
    }

    bool IsEvent() { return EventReply::IsEvent(m_area, m_read); }

    void Deliver(unsigned int controller) {
        int level = EventReply::Level(m_area, m_read);
        std::string text = EventReply::Text(m_area, m_read);
        Console::PrintLevel(ConsoleLevelOf(level), "Get event: %s\r\n", text.c_str());
        std::string message = EventReply::Message(m_area, m_read, controller, sizeof m_s.m_text);
        std::memcpy(m_s.m_text, message.c_str(), message.size() + 1);
        _KVO_EVENT_REPLY reply;
        std::memcpy(&reply, m_area, sizeof reply);
        KvoEventTime t = KvoUnpackEventTime(reply.uTime);
        char eventTime[32];
        snprintf(eventTime, sizeof eventTime, "20%02d-%02d-%02d %02d:%02d:%02d", t.year - 2000, t.month, t.day,
                 t.hour, t.minute, t.second);
        if (MetricsRegistry* metrics = m_s.metrics.get()) metrics->CountEvent(controller, level);
        PolledEvent event;
        event.controller = static_cast<int>(controller);
        event.level = level;
        event.eventTime = eventTime;
        event.text = text;
        event.message = m_s.m_text;
        m_s.sink->EventArrived(event);
    }

    NotifyManager::PollerState& m_s;
    kvoIO* m_io;
    _KVO_HANDSHAKE_REQUEST m_hello;
    _KVO_EVENT_REQUEST m_ask;
    char m_area[KVO_EVENT_REPLY_AREA + 1];
    size_t m_read = 0;
    bool m_timedOut = false;  // the last AwaitReply ran out of time
};

NotifyManager::NotifyManager(KvoSnmpTrap& trap, EmailCenter& mail, const NotifyOptions& options)
    : NotifyManager(std::make_shared<DirectSink>(trap, mail), options) {}

NotifyManager::NotifyManager(std::shared_ptr<EventSink> sink, const NotifyOptions& options)
    : m_state(std::make_shared<PollerState>(std::move(sink), options)) {}

NotifyManager::~NotifyManager() { terminate(); }

void NotifyManager::Initialize() {}

void NotifyManager::Run() {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    m_state->m_stop = false;
    if (m_state->running) return;  // a stopping poller simply carries on
    auto hold = std::make_unique<std::shared_ptr<PollerState>>(m_state);
    KVO_THREAD_HANDLE handle{};
    if (GENSVR_CREATE_THREAD(handle, ThreadProc, hold.get()) != 0) {
        ShowMessage(LOG_ERROR, "Failed to create notify manager thread.");
        GENSVR_TERMINATE_THREAD(handle);
        return;
    }
    hold.release();  // the thread owns its reference now
    m_state->running = true;
}

bool NotifyManager::terminate() {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->m_stop = true;
    m_state->wake.notify_all();
    return m_state->wake.wait_for(lock, m_state->options.stopBound, [&] { return !m_state->running; });
}

bool NotifyManager::IsRunning() const {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    return m_state->running;
}

void NotifyManager::SetMetrics(std::shared_ptr<MetricsRegistry> metrics) {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    m_state->metrics = std::move(metrics);
}

void* NotifyManager::ThreadProc(void* arg) {
    std::unique_ptr<std::shared_ptr<PollerState>> hold(static_cast<std::shared_ptr<PollerState>*>(arg));
    PollerState& s = **hold;
    auto poller = std::make_unique<EventPoller>(s);
    unsigned int count = poller->Count();  // fixed while the service runs
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.m_stop) {
        lock.unlock();
        for (unsigned int i = 0; i < count && !s.m_stop; ++i) poller->Visit(i);
        lock.lock();
        s.wake.wait_for(lock, s.options.sweepPause, [&] { return s.m_stop.load(); });
    }
    // Decided under the lock, so Run either sees this thread running (and it
    // carries on) or sees it gone (and starts a new one).
    s.running = false;
    s.wake.notify_all();
    return nullptr;
}
