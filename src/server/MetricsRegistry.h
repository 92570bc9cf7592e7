// MetricsRegistry: the service's counters for the monitoring endpoints (/metrics
// in the Prometheus text format, /healthz). The server manager owns the one
// instance and hands it to whoever counts (poller, relay responders, the
// configuration server); they keep a pointer, the poller a shared reference.
// Any thread: counters are atomics; the health notes, the delivery counts by
// kind and the queue source take `m_lock`.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class MetricsRegistry {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kMaxControllers = 4;

    MetricsRegistry();
    MetricsRegistry(const MetricsRegistry&) = delete;
    MetricsRegistry& operator=(const MetricsRegistry&) = delete;

    void SetControllersFound(unsigned count);
    // One visit of a controller's event channel: answered or not.
    void CountPoll(unsigned controller, bool answered);
    // `level` is the event's letter 'I', 'W' or 'E' (anything else counts as 'I').
    void CountEvent(unsigned controller, int level);
    void CountTraps(unsigned sent, unsigned failed);
    // What became of `count` deliveries of `kind` ("mail", ...) in one attempt;
    // a count of 0 makes the kind's series show at 0.
    enum class Delivery { Sent, Retrying, Failed };
    void CountDeliveries(const std::string& kind, Delivery outcome, uint64_t count);
    // The pending deliveries, read at each scrape.
    struct QueueState {
        uint64_t pending = 0;
        double oldestAgeSeconds = 0;  // 0 when nothing is pending
    };
    void SetQueueSource(std::function<QueueState()> source);
    void RelayConnectionOpened(unsigned controller);
    void RelayConnectionClosed(unsigned controller);
    void CountRelayBytes(unsigned controller, uint64_t fromBrowser, uint64_t toBrowser);
    // The status code of one answered configuration-server request.
    void CountPageRequest(int status);
    // Ports that should listen but do not ("relay of controller 1 on port 7422").
    void AddNotListening(std::vector<std::string> servers);

    // The exposition, text format 0.0.4.
    std::string RenderText() const;

    struct Health {
        bool healthy = false;
        std::string text;  // one line per finding
    };
    Health CheckHealth() const;

private:
    enum { kLevelInformation, kLevelWarning, kLevelError, kLevelCount };
    static constexpr int64_t kNever = -1;

    struct ControllerCounters {
        std::atomic<uint64_t> pollsOk{0};
        std::atomic<uint64_t> pollsFailed{0};
        std::atomic<int> lastPollAnswered{-1};  // -1 not polled yet, then 0 or 1
        std::atomic<int64_t> lastSuccessNs{kNever};  // Clock time of the last answered poll
        std::array<std::atomic<uint64_t>, kLevelCount> events{};
        std::atomic<int64_t> relayOpen{0};
        std::atomic<uint64_t> relayFromBrowser{0};
        std::atomic<uint64_t> relayToBrowser{0};
    };

    ControllerCounters* At(unsigned controller);
    void RenderControllers(std::string& out) const;
    void RenderDeliveries(std::string& out) const;
    void RenderQueue(std::string& out) const;
    void RenderRelay(std::string& out) const;
    void RenderPageRequests(std::string& out) const;

    std::atomic<unsigned> m_controllers{0};
    std::array<ControllerCounters, kMaxControllers> m_perController;
    std::atomic<uint64_t> m_trapsSent{0};
    std::atomic<uint64_t> m_trapsFailed{0};
    // Status codes 100 to 599, by code - 100.
    std::array<std::atomic<uint64_t>, 500> m_pageRequests{};
    mutable std::mutex m_lock;
    std::vector<std::string> m_notListening;  // guarded by m_lock
    std::map<std::string, std::array<uint64_t, 3>> m_deliveries;  // by kind, then Delivery; m_lock
    std::function<QueueState()> m_queueSource;  // guarded by m_lock
};
