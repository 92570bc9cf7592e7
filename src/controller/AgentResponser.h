// AgentResponser: relays each browser connection of a controller's web port,
// byte for byte, to that controller's firmware web interface through kvoIO.
// Owned by its GenericServer; one instance serves every connection at once, so
// all per-connection state lives in the _CLIENT_PARAMS record. Receive and Send
// run on the connection's two threads and meet through the atomic
// nState/nLinkState fields and the record's wake: the send side sleeps until
// its next scheduled read unless the receive side signals a write first
// (no lock here; kvoIO serialises each transfer). Its timings (RelayOptions)
// are fixed at construction.
#pragma once

#include <atomic>
#include <chrono>

#include "Responser.h"
#include "ScsiPassThrough.h"

class MetricsRegistry;

// The relay's timings and limits, the standard values by default. The send
// side's read schedule: idle, a read every slice for the first `fastPolls`
// empty reads, then one slice longer each time up to `slowestPollSlices`
// slices (20 ms to 800 ms). After each write of browser bytes the answer is
// usually a few milliseconds away, so the first slice also holds up to
// `quickReads` early re-reads, the first `quickReadFirstUs` after the write,
// each wait `quickReadGrowthPercent` of the one before (at 0.25, 0.6, 1.2,
// 2.0, 3.3, 5.2, 8.1 and 12.3 ms).
struct RelayOptions {
    int sliceUs = 20000;
    int quickReadFirstUs = 250;
    int quickReadGrowthPercent = 150;
    int quickReads = 8;
    int fastPolls = 60;
    int slowestPollSlices = 40;
    // How long a browser may refuse data before the connection is dropped.
    int sendTimeoutUs = 8000000;
    // A connection with no bytes either way for this long is closed (0 or less: never).
    int idleLimitMs = 5 * 60 * 1000;
};

class AgentResponser : public Responser {
public:
    // The messages announcing and retiring a connection go out with their NUL.
    static constexpr unsigned int kConnectLength = sizeof(KVO_CONNECT_MESSAGE);        // 16
    static constexpr unsigned int kDisconnectLength = sizeof(KVO_DISCONNECT_MESSAGE);  // 19

    // Largest block moved in one transfer, in either direction.
    static constexpr int kBlockSize = 2016;
    // Most bytes the send side gathers from consecutive full reads for one send.
    static constexpr int kGatherBytes = 16 * kBlockSize;
    explicit AgentResponser(int mode, const RelayOptions& options = RelayOptions());
    ~AgentResponser() override = default;

    int Receive(Client* client, _CLIENT_PARAMS* params) override;
    int Send(Client* client, _CLIENT_PARAMS* params) override;
    bool CanProcess(Client* client) override;

    bool CheckProtocol(Client* client, _CLIENT_PARAMS* params);
    void Initialize();
    // Where connections and bytes are counted (not owned; outlives the
    // responder). Set before the server runs.
    void SetMetrics(MetricsRegistry* metrics) { m_metrics = metrics; }

private:
    // false when the launch failed (nState 0): the client must not be touched.
    static bool WaitForLaunch(_CLIENT_PARAMS* params);
    static int WriteToController(const _CLIENT_PARAMS* params, const char* data, unsigned int length);
    static int ReadFromController(const _CLIENT_PARAMS* params, char* data, unsigned int length);
    enum class LinkNews { kNone, kWritten, kBrowserBytesWritten };
    // Sleeps until `due` unless the receive side writes to the controller first
    // (taken note of through nLinkState) or the connection ends.
    static LinkNews IdleWait(_CLIENT_PARAMS* params, std::chrono::steady_clock::time_point due);
    int ReceiveFromBrowser(Client* client, _CLIENT_PARAMS* params, char* block);

    int m_mode;
    const RelayOptions m_options;
    MetricsRegistry* m_metrics = nullptr;
};
