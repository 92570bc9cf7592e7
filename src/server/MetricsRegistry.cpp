#include "server/MetricsRegistry.h"

#include <cstdio>

namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               MetricsRegistry::Clock::now().time_since_epoch())
        .count();
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One sample line; `labels` is empty or a complete `{...}`.
void Sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
    out += name;
    out += labels;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

void SampleSeconds(std::string& out, const char* name, const std::string& labels, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    out += name;
    out += labels;
    out += ' ';
    out += text;
    out += '\n';
}

std::string ControllerLabel(unsigned controller) {
    return "controller=\"" + std::to_string(controller) + "\"";
}

// A label value as the text format wants it: backslash, quote and newline escaped.
std::string LabelValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

const char kVersion[] = KVO_VERSION;
const char* const kLevelNames[] = {"information", "warning", "error"};

}  // namespace

MetricsRegistry::MetricsRegistry() = default;

void MetricsRegistry::SetControllersFound(unsigned count) {
    m_controllers.store(count < kMaxControllers ? count : kMaxControllers);
}

MetricsRegistry::ControllerCounters* MetricsRegistry::At(unsigned controller) {
    return controller < kMaxControllers ? &m_perController[controller] : nullptr;
}

void MetricsRegistry::CountPoll(unsigned controller, bool answered) {
    ControllerCounters* c = At(controller);
    if (!c) return;
    if (answered) {
        c->lastSuccessNs.store(NowNs());
        c->pollsOk.fetch_add(1);
    } else {
        c->pollsFailed.fetch_add(1);
    }
    c->lastPollAnswered.store(answered ? 1 : 0);
}

void MetricsRegistry::CountEvent(unsigned controller, int level) {
    ControllerCounters* c = At(controller);
    if (!c) return;
    int index = level == 'E' ? kLevelError : level == 'W' ? kLevelWarning : kLevelInformation;
    c->events[index].fetch_add(1);
}

void MetricsRegistry::CountTraps(unsigned sent, unsigned failed) {
    m_trapsSent.fetch_add(sent);
    m_trapsFailed.fetch_add(failed);
}

void MetricsRegistry::CountDeliveries(const std::string& kind, Delivery outcome, uint64_t count) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_deliveries[kind][static_cast<size_t>(outcome)] += count;
}

void MetricsRegistry::SetQueueSource(std::function<QueueState()> source) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_queueSource = std::move(source);
}

void MetricsRegistry::RelayConnectionOpened(unsigned controller) {
    if (ControllerCounters* c = At(controller)) c->relayOpen.fetch_add(1);
}

void MetricsRegistry::RelayConnectionClosed(unsigned controller) {
    if (ControllerCounters* c = At(controller)) c->relayOpen.fetch_sub(1);
}

void MetricsRegistry::CountRelayBytes(unsigned controller, uint64_t fromBrowser, uint64_t toBrowser) {
    ControllerCounters* c = At(controller);
    if (!c) return;
    if (fromBrowser) c->relayFromBrowser.fetch_add(fromBrowser);
    if (toBrowser) c->relayToBrowser.fetch_add(toBrowser);
}

void MetricsRegistry::CountPageRequest(int status) {
    if (status >= 100 && status <= 599) m_pageRequests[static_cast<size_t>(status - 100)].fetch_add(1);
}

void MetricsRegistry::AddNotListening(std::vector<std::string> servers) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_notListening.insert(m_notListening.end(), servers.begin(), servers.end());
}

std::string MetricsRegistry::RenderText() const {
    std::string out;
    out.reserve(4096);
    Family(out, "kvoomx_build_info", "gauge", "Version of the running service; always 1.");
    Sample(out, "kvoomx_build_info", std::string("{version=\"") + kVersion + "\"}", 1);
    Family(out, "kvoomx_controllers", "gauge", "Controllers found through the driver at start.");
    Sample(out, "kvoomx_controllers", "", m_controllers.load());
    RenderControllers(out);
    RenderDeliveries(out);
    RenderQueue(out);
    RenderRelay(out);
    RenderPageRequests(out);
    return out;
}

void MetricsRegistry::RenderControllers(std::string& out) const {
    const unsigned count = m_controllers.load();
    Family(out, "kvoomx_controller_polls_total", "counter",
           "Visits of a controller's event channel, by whether the controller answered.");
    for (unsigned i = 0; i < count; ++i) {
        const ControllerCounters& c = m_perController[i];
        Sample(out, "kvoomx_controller_polls_total", "{" + ControllerLabel(i) + ",result=\"ok\"}",
               c.pollsOk.load());
        Sample(out, "kvoomx_controller_polls_total", "{" + ControllerLabel(i) + ",result=\"failed\"}",
               c.pollsFailed.load());
    }
    Family(out, "kvoomx_controller_up", "gauge",
           "1 when the controller answered its last poll, 0 when it did not or was not polled yet.");
    for (unsigned i = 0; i < count; ++i)
        Sample(out, "kvoomx_controller_up", "{" + ControllerLabel(i) + "}",
               m_perController[i].lastPollAnswered.load() == 1 ? 1 : 0);
    Family(out, "kvoomx_controller_last_successful_poll_age_seconds", "gauge",
           "Seconds since the controller last answered a poll (absent until it has).");
    const int64_t now = NowNs();
    for (unsigned i = 0; i < count; ++i) {
        int64_t last = m_perController[i].lastSuccessNs.load();
        if (last == kNever) continue;
        SampleSeconds(out, "kvoomx_controller_last_successful_poll_age_seconds",
                      "{" + ControllerLabel(i) + "}", static_cast<double>(now - last) / 1e9);
    }
    Family(out, "kvoomx_events_total", "counter", "Controller events received, by level.");
    for (unsigned i = 0; i < count; ++i) {
        for (int level = 0; level < kLevelCount; ++level)
            Sample(out, "kvoomx_events_total",
                   "{" + ControllerLabel(i) + ",level=\"" + kLevelNames[level] + "\"}",
                   m_perController[i].events[static_cast<size_t>(level)].load());
    }
}

void MetricsRegistry::RenderDeliveries(std::string& out) const {
    Family(out, "kvoomx_traps_total", "counter",
           "SNMP traps, one per event and receiver, by whether they went out.");
    Sample(out, "kvoomx_traps_total", "{result=\"sent\"}", m_trapsSent.load());
    Sample(out, "kvoomx_traps_total", "{result=\"failed\"}", m_trapsFailed.load());
    Family(out, "kvoomx_deliveries_total", "counter",
           "Delivery attempts, one per target, by kind and outcome: sent, retrying (tried again later) "
           "or failed (given up).");
    static const char* const kOutcomes[] = {"sent", "retrying", "failed"};
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& kind : m_deliveries) {
        for (size_t i = 0; i < kind.second.size(); ++i)
            Sample(out, "kvoomx_deliveries_total",
                   "{kind=\"" + LabelValue(kind.first) + "\",result=\"" + kOutcomes[i] + "\"}", kind.second[i]);
    }
}

void MetricsRegistry::RenderQueue(std::string& out) const {
    std::function<QueueState()> source;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        source = m_queueSource;
    }
    if (!source) return;
    // Outside the lock: the source reads the ledger.
    QueueState state = source();
    Family(out, "kvoomx_delivery_queue_pending", "gauge", "Deliveries waiting for their next attempt.");
    Sample(out, "kvoomx_delivery_queue_pending", "", state.pending);
    Family(out, "kvoomx_delivery_queue_oldest_age_seconds", "gauge",
           "Seconds since the oldest event with a waiting delivery arrived; 0 when none waits.");
    SampleSeconds(out, "kvoomx_delivery_queue_oldest_age_seconds", "", state.oldestAgeSeconds);
}

void MetricsRegistry::RenderRelay(std::string& out) const {
    const unsigned count = m_controllers.load();
    Family(out, "kvoomx_relay_connections", "gauge",
           "Browser connections open on a controller's relay port.");
    for (unsigned i = 0; i < count; ++i) {
        int64_t open = m_perController[i].relayOpen.load();
        Sample(out, "kvoomx_relay_connections", "{" + ControllerLabel(i) + "}",
               static_cast<uint64_t>(open > 0 ? open : 0));
    }
    Family(out, "kvoomx_relay_bytes_total", "counter",
           "Bytes relayed between browsers and a controller's web interface, by direction.");
    for (unsigned i = 0; i < count; ++i) {
        const ControllerCounters& c = m_perController[i];
        Sample(out, "kvoomx_relay_bytes_total",
               "{" + ControllerLabel(i) + ",direction=\"from_browser\"}", c.relayFromBrowser.load());
        Sample(out, "kvoomx_relay_bytes_total",
               "{" + ControllerLabel(i) + ",direction=\"to_browser\"}", c.relayToBrowser.load());
    }
}

void MetricsRegistry::RenderPageRequests(std::string& out) const {
    Family(out, "kvoomx_http_requests_total", "counter",
           "Requests answered by the configuration server, by status code.");
    for (size_t i = 0; i < m_pageRequests.size(); ++i) {
        uint64_t n = m_pageRequests[i].load();
        if (n) Sample(out, "kvoomx_http_requests_total", "{code=\"" + std::to_string(i + 100) + "\"}", n);
    }
}

MetricsRegistry::Health MetricsRegistry::CheckHealth() const {
    Health health;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const std::string& server : m_notListening) health.text += server + " is not listening\n";
    }
    const unsigned count = m_controllers.load();
    for (unsigned i = 0; i < count; ++i) {
        switch (m_perController[i].lastPollAnswered.load()) {
            case 1: break;
            case 0: health.text += "controller " + std::to_string(i) + " did not answer its last poll\n"; break;
            default: health.text += "controller " + std::to_string(i) + " has not been polled yet\n"; break;
        }
    }
    health.healthy = health.text.empty();
    if (health.healthy)
        health.text = "ok: servers listening, " + std::to_string(count) +
                      " controller(s) answered their last poll\n";
    return health;
}
