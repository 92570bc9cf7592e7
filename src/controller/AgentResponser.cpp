#include "controller/AgentResponser.h"

#include <unistd.h>

#include "controller/kvoIO.h"

namespace {
// nLinkState values.
constexpr int32_t kLinkIdle = 0;       // nothing written to the controller yet
constexpr int32_t kLinkWritten = 1;    // the receive side has just written
constexpr int32_t kLinkNoticed = 2;    // the send side has seen that write

constexpr int kStateServing = 2;
constexpr useconds_t kLinkIdleSleepUs = 100000;
}  // namespace

AgentResponser::AgentResponser(int mode) : m_mode(mode) {}

bool AgentResponser::CanProcess(Client*) { return true; }

bool AgentResponser::CheckProtocol(Client*, _CLIENT_PARAMS*) { return true; }

void AgentResponser::Initialize() {}

bool AgentResponser::WaitForLaunch(const _CLIENT_PARAMS* params) {
    for (;;) {
        int state = params->nState.load();
        if (state == kStateServing) return true;
        if (state == 0) return false;
        usleep(1000);
    }
}

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

    char block[kBlockSize];
    for (;;) {
        params->nLinkState.store(kLinkWritten);
        if (params->nState.load() != kStateServing) break;
        int received = client->ReceiveBuf(block, kBlockSize, -1);
        if (received <= 0) break;
        if (WriteToController(params, block, static_cast<unsigned int>(received)) != received)
            break;
    }
    WriteToController(params, KVO_DISCONNECT_MESSAGE, kDisconnectLength);
    return 0;
}

bool AgentResponser::IdleWait(_CLIENT_PARAMS* params, int slices) {
    for (int i = 0; i < slices; ++i) {
        int32_t expected = kLinkWritten;
        if (params->nLinkState.compare_exchange_strong(expected, kLinkNoticed)) return true;
        usleep(kSliceMicroseconds);
    }
    return false;
}

int AgentResponser::Send(Client* client, _CLIENT_PARAMS* params) {
    if (!WaitForLaunch(params)) return 0;

    char block[kBlockSize];
    int counter = 1;
    for (;;) {
        if (params->nState.load() != kStateServing) return 0;
        if (params->nLinkState.load() == kLinkIdle) {
            usleep(kLinkIdleSleepUs);
            continue;
        }
        int got = ReadFromController(params, block, kBlockSize);
        if (got < 0) return 0;
        if (got > 0) {
            if (client->SendBuf(block, got, kSendTimeoutMicroseconds) <= 0) return 0;
            counter = 1;
            continue;
        }
        int slices = counter <= kFastPolls ? 1 : counter - kFastPolls;
        if (IdleWait(params, slices)) {
            counter = 2;
            continue;
        }
        if (counter < kMaxPollCounter) ++counter;
    }
}
