// AgentResponser: relays each browser connection of a controller's web port,
// byte for byte, to that controller's firmware web interface through kvoIO.
// Owned by its GenericServer; one instance serves every connection at once, so
// all per-connection state lives in the _CLIENT_PARAMS record. Receive and Send
// run on the connection's two threads and meet through the atomic
// nState/nLinkState fields and the record's wake: the send side sleeps until
// its next scheduled read unless the receive side signals a write first
// (no lock here; kvoIO serialises each transfer).
#pragma once

#include <atomic>

#include "Responser.h"
#include "ScsiPassThrough.h"

class MetricsRegistry;

class AgentResponser : public Responser {
public:
    // The messages announcing and retiring a connection go out with their NUL.
    static constexpr unsigned int kConnectLength = sizeof(KVO_CONNECT_MESSAGE);        // 16
    static constexpr unsigned int kDisconnectLength = sizeof(KVO_DISCONNECT_MESSAGE);  // 19

    // Largest block moved in one transfer, in either direction.
    static constexpr int kBlockSize = 2016;
    // Most bytes the send side gathers from consecutive full reads for one send.
    static constexpr int kGatherBytes = 16 * kBlockSize;
    // Send-side poll rhythm: slice length, fast polls, slowest step.
    static constexpr int kSliceMicroseconds = 20000;
    static constexpr int kFastPolls = 60;
    static constexpr int kMaxPollCounter = 100;
    // How long a browser may refuse data before the connection is dropped.
    static constexpr int kSendTimeoutMicroseconds = 8000000;
    // A connection with no bytes either way for this long is closed (milliseconds).
    static constexpr int kIdleLimitMs = 5 * 60 * 1000;

    explicit AgentResponser(int mode);
    ~AgentResponser() override = default;

    int Receive(Client* client, _CLIENT_PARAMS* params) override;
    int Send(Client* client, _CLIENT_PARAMS* params) override;
    bool CanProcess(Client* client) override;

    bool CheckProtocol(Client* client, _CLIENT_PARAMS* params);
    void Initialize();
    // Changes the idle limit (milliseconds; 0 or less: none).
    void SetIdleLimit(int milliseconds);
    // Where connections and bytes are counted (not owned; outlives the
    // responder). Set before the server runs.
    void SetMetrics(MetricsRegistry* metrics) { m_metrics = metrics; }

private:
    // false when the launch failed (nState 0): the client must not be touched.
    static bool WaitForLaunch(_CLIENT_PARAMS* params);
    static int WriteToController(const _CLIENT_PARAMS* params, const char* data, unsigned int length);
    static int ReadFromController(const _CLIENT_PARAMS* params, char* data, unsigned int length);
    // Sleeps until the next read is due (`slices` slices on); true as soon as
    // the receive side has written to the controller.
    static bool IdleWait(_CLIENT_PARAMS* params, int slices);
    int ReceiveFromBrowser(Client* client, _CLIENT_PARAMS* params, char* block);

    int m_mode;
    std::atomic<int> m_idleLimitMs;
    MetricsRegistry* m_metrics = nullptr;
};
