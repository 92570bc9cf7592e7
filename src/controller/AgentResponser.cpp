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

constexpr int kStateServing = 2;

using Clock = std::chrono::steady_clock;

// The receive side's news for the send side: it has just written to the controller.
void MarkWritten(_CLIENT_PARAMS* params) {
    params->nLinkState.store(kLinkWritten);
    params->wake.Notify();
}

}  // namespace

AgentResponser::AgentResponser(int mode) : m_mode(mode), m_idleLimitMs(kIdleLimitMs) {}

void AgentResponser::SetIdleLimit(int milliseconds) { m_idleLimitMs = milliseconds; }

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
    for (;;) {
        MarkWritten(params);
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
        const long long limit = m_idleLimitMs.load();
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

// Sleeps until the next scheduled controller read, `slices` slices from now,
// unless the receive side writes to the controller first or the connection
// ends. True when it was the write (taken note of through nLinkState).
bool AgentResponser::IdleWait(_CLIENT_PARAMS* params, int slices) {
    const Clock::time_point due = Clock::now() + std::chrono::microseconds(kSliceMicroseconds) * slices;
    params->wake.WaitUntil(due, [params] {
        return params->nLinkState.load() == kLinkWritten || params->nState.load() != kStateServing;
    });
    int32_t expected = kLinkWritten;
    return params->nLinkState.compare_exchange_strong(expected, kLinkNoticed);
}

int AgentResponser::Send(Client* client, _CLIENT_PARAMS* params) {
    if (!WaitForLaunch(params)) return 0;

    char block[kGatherBytes];
    int counter = 1;
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
            int sent = client->SendBuf(block, filled, kSendTimeoutMicroseconds);
            if (sent > 0 && m_metrics)
                m_metrics->CountRelayBytes(static_cast<unsigned>(params->nController), 0,
                                           static_cast<uint64_t>(sent));
            if (sent <= 0 || got < 0) return 0;
            counter = 1;
            if (got != 0) continue;
        }
        int slices = counter <= kFastPolls ? 1 : counter - kFastPolls;
        if (IdleWait(params, slices)) {
            counter = 2;
            continue;
        }
        if (counter < kMaxPollCounter) ++counter;
    }
}
