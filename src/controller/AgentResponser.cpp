#include "controller/AgentResponser.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "controller/kvoIO.h"
#include "server/MetricsRegistry.h"

namespace {
// nLinkState values.
constexpr int32_t kLinkIdle = 0;       // nothing written to the controller yet
constexpr int32_t kLinkWritten = 1;    // the receive side has just written
constexpr int32_t kLinkNoticed = 2;    // the send side has seen that write
constexpr int32_t kLinkBrowserBytes = 3;  // as kLinkWritten, and what it wrote came from the browser

constexpr int kStateServing = 2;

using Clock = std::chrono::steady_clock;

// The receive side's news for the send side: it has just written to the controller.
void MarkWritten(_CLIENT_PARAMS* params, int32_t what) {
    params->nLinkState.store(what);
    params->wake.Notify();
}

bool HasNews(int32_t link) { return link == kLinkWritten || link == kLinkBrowserBytes; }

// Marks the receive side's news as seen; the state it had.
int32_t TakeLinkNews(_CLIENT_PARAMS* params) {
    int32_t seen = params->nLinkState.load();
    while (HasNews(seen) && !params->nLinkState.compare_exchange_weak(seen, kLinkNoticed)) {
    }
    return seen;
}

// The early re-reads of the first slice after a browser write: when the next
// one is due and how many are left.
class QuickReads {
public:
    explicit QuickReads(const RelayOptions& timings) : m_timings(timings) {}

    void Start() {
        m_left = m_timings.quickReads;
        m_waitUs = m_timings.quickReadFirstUs;
        m_next = Clock::now() + std::chrono::microseconds(m_waitUs);
    }
    void Stop() { m_left = 0; }
    bool Pending() const { return m_left > 0; }
    Clock::time_point Next() const { return m_next; }
    // One is being made now; the next waits longer.
    void Take() {
        --m_left;
        m_waitUs = m_waitUs * m_timings.quickReadGrowthPercent / 100;
        m_next = Clock::now() + std::chrono::microseconds(m_waitUs);
    }

private:
    const RelayOptions& m_timings;
    int m_left = 0;
    int m_waitUs = 0;
    Clock::time_point m_next{};
};

}  // namespace

AgentResponser::AgentResponser(int mode, const RelayOptions& options) : m_mode(mode), m_options(options) {}

bool AgentResponser::CanProcess(Client*) { return true; }

bool AgentResponser::CheckProtocol(Client*, _CLIENT_PARAMS*) { return true; }

void AgentResponser::Initialize() {}

bool AgentResponser::WaitForLaunch(_CLIENT_PARAMS* params) { return KvoWaitForLaunch(params); }

int AgentResponser::WriteToController(const _CLIENT_PARAMS* params, const char* data,
                                      unsigned int length) {
    return kvoIO::GetInstance()->writeIO(static_cast<unsigned int>(params->nController),
                                         params->uChannel, params->byInstanceID, data, length);
}

int AgentResponser::ReadFromController(const _CLIENT_PARAMS* params, char* data,
                                       unsigned int length) {
    return kvoIO::GetInstance()->readIO(static_cast<unsigned int>(params->nController),
                                        params->uChannel, params->byInstanceID, data, length);
}

int AgentResponser::Receive(Client* client, _CLIENT_PARAMS* params) {
    if (!WaitForLaunch(params)) return 0;

    // A controller that did not take the announcement never hears of this connection.
    if (WriteToController(params, KVO_CONNECT_MESSAGE, kConnectLength) !=
        static_cast<int>(kConnectLength))
        return 0;

    const unsigned controller = static_cast<unsigned>(params->nController);
    if (m_metrics) m_metrics->RelayConnectionOpened(controller);
    char block[kBlockSize];
    for (int32_t news = kLinkWritten;; news = kLinkBrowserBytes) {
        MarkWritten(params, news);
        if (params->nState.load() != kStateServing) break;
        int received = ReceiveFromBrowser(client, params, block);
        if (received <= 0) break;
        if (WriteToController(params, block, static_cast<unsigned int>(received)) != received)
            break;
        if (m_metrics) m_metrics->CountRelayBytes(controller, static_cast<uint64_t>(received), 0);
    }
    if (m_metrics) m_metrics->RelayConnectionClosed(controller);
    WriteToController(params, KVO_DISCONNECT_MESSAGE, kDisconnectLength);
    return 0;
}

// Waits for the browser's next bytes for as long as the connection has not
// been idle (no bytes either way) for the idle limit; 0 once it has.
int AgentResponser::ReceiveFromBrowser(Client* client, _CLIENT_PARAMS* params, char* block) {
    for (;;) {
        const long long limit = m_options.idleLimitMs;
        const long long idle = client->IdleMilliseconds();
        int timeoutUs = -1;
        if (limit > 0 && idle >= 0) {
            long long left = limit - idle;
            if (left <= 0) return 0;
            timeoutUs = static_cast<int>(std::min<long long>(left * 1000, INT_MAX));
        }
        int received = client->ReceiveBuf(block, kBlockSize, timeoutUs);
        if (received != CLIENT_ERR_TIMEOUT) return received;
        if (params->nState.load() != kStateServing) return 0;
    }
}

// Sleeps until `due` unless the receive side writes to the controller first or
// the connection ends; a write is taken note of through nLinkState.
AgentResponser::LinkNews AgentResponser::IdleWait(_CLIENT_PARAMS* params, Clock::time_point due) {
    params->wake.WaitUntil(due, [params] {
        return HasNews(params->nLinkState.load()) || params->nState.load() != kStateServing;
    });
    int32_t seen = TakeLinkNews(params);
    if (seen == kLinkBrowserBytes) return LinkNews::kBrowserBytesWritten;
    return seen == kLinkWritten ? LinkNews::kWritten : LinkNews::kNone;
}

int AgentResponser::Send(Client* client, _CLIENT_PARAMS* params) {
    if (!WaitForLaunch(params)) return 0;

    char block[kGatherBytes];
    int counter = 1;
    QuickReads quick(m_options);
    // The scheduled read that quick re-reads are being made ahead of.
    Clock::time_point sliceDue{};
    bool sliceRunning = false;
    for (;;) {
        if (params->nState.load() != kStateServing) return 0;
        if (params->nLinkState.load() == kLinkIdle) {
            // Nothing to read before the connect message has gone out.
            params->wake.Wait([params] {
                return params->nLinkState.load() != kLinkIdle || params->nState.load() != kStateServing;
            });
            continue;
        }
        int got = ReadFromController(params, block, kBlockSize);
        if (got < 0) return 0;
        if (got > 0) {
            // A full block means more is ready: gather a few blocks for one
            // send. The controller sees the same reads in the same order (a
            // read that comes back empty is followed by the usual wait); the
            // browser gets the same bytes in fewer, larger pieces.
            int filled = got;
            while (got == kBlockSize && filled + kBlockSize <= kGatherBytes &&
                   params->nState.load() == kStateServing) {
                got = ReadFromController(params, block + filled, kBlockSize);
                if (got <= 0) break;
                filled += got;
            }
            // A write noticed only now was answered by what was just read (the
            // browser has not seen this answer yet, so it asked nothing new):
            // no quick re-reads for it.
            TakeLinkNews(params);
            int sent = client->SendBuf(block, filled, m_options.sendTimeoutUs);
            if (sent > 0 && m_metrics)
                m_metrics->CountRelayBytes(static_cast<unsigned>(params->nController), 0,
                                           static_cast<uint64_t>(sent));
            if (sent <= 0 || got < 0) return 0;
            counter = 1;
            quick.Stop();
            sliceRunning = false;
            if (got != 0) continue;
        }
        // Nothing ready. A quick re-read keeps the slice it was made in.
        if (!sliceRunning) {
            int slices = counter <= m_options.fastPolls ? 1 : counter - m_options.fastPolls;
            sliceDue = Clock::now() + std::chrono::microseconds(m_options.sliceUs) * slices;
        }
        const bool quickFirst = quick.Pending() && quick.Next() < sliceDue;
        switch (IdleWait(params, quickFirst ? quick.Next() : sliceDue)) {
        case LinkNews::kBrowserBytesWritten:
            quick.Start();
            [[fallthrough]];
        case LinkNews::kWritten:
            // An answer is coming: read at once, then the fast schedule.
            counter = 2;
            sliceRunning = false;
            continue;
        case LinkNews::kNone:
            break;
        }
        if (quickFirst) {
            quick.Take();
            sliceRunning = true;
            continue;
        }
        quick.Stop();
        sliceRunning = false;
        if (counter < m_options.fastPolls + m_options.slowestPollSlices) ++counter;
    }
}
