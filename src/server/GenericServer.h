// GenericServer: the reusable TCP server. One accept thread takes clients from
// the transport; each client gets a receive and a send thread that run the
// responder. Owned by the server manager, whose thread calls Run, ShutDown and
// the destructor. Threads sleep until woken: a release wakes the accept loop
// waiting for a slot, and every nState change wakes the client's own threads
// (_CLIENT_PARAMS::wake). At most five clients are served; the accept thread
// keeps accepting further connections into a waiting line (unread, oldest
// served first) and closes the longest-idle client for them once that has
// been idle ServerOptions::evictIdleMs. A connection waits likewise for a process-wide
// instance ID; none is closed unread while the server runs. Everything the server's threads touch (transport, responder,
// client map, launch signals) lives in a shared block that every thread keeps
// alive, so deleting the server after ShutDown is safe while late client
// threads still run: the last of them frees the block.
// Lock order: shutdown lock -> client-map lock -> instance-ID lock -> log lock.
#pragma once

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>

#include "Client.h"
#include "ClientParams.h"
#include "CommAgent.h"
#include "KvoLock.h"
#include "Log.h"
#include "Responser.h"

// A server's limits and timings, the standard values by default.
struct ServerOptions {
    // Connections held accepted (unread) while all five slots are taken;
    // beyond them, connections wait in the listen backlog.
    size_t waitingLine = 64;
    // A client with no bytes moved for this long is closed when another one
    // waits for a slot (milliseconds; negative: never).
    int evictIdleMs = 3000;
    // The longest wait of one shutdown round ("wait N"); rounds end early
    // once the last client has left.
    int shutdownRoundMs = 1000;
};

struct ServerStatisticsTag {
    uint32_t nValues[7] = {0, 0, 0, 0, 0, 0, 0};
};

class GenericServer : public Log {
public:
    enum ClientOp { CLIENT_RELEASE = 0, CLIENT_REGISTER = 1, CLIENT_IS_EMPTY = 2, CLIENT_SHUTDOWN_ALL = 3 };
    GenericServer(std::unique_ptr<CommAgent> agent, std::unique_ptr<Responser> responser,
                  unsigned char controllerIndex, unsigned int channel, const ServerOptions& options = ServerOptions());
    ~GenericServer() override;

    // Starts listening and the accept thread; 0 started, -1 failed (logged).
    int Run();
    // Starts listening and runs the accept loop on the calling thread.
    int BlockRun();
    // Stops accepting, shuts clients down and waits for them (bounded).
    void ShutDown();

    // Takes ownership of the client: 1 registered, 0 dropped (closed and freed).
    int AddClient(Client* client);
    int RemoveClient(Client* client);
    // The only code touching the client map. Register (op 1) accepts only
    // clients that AddClient is launching.
    bool ClientMapOp(int op, Client* client, _CLIENT_PARAMS* params);

    // 0: allocate a process-wide ID 1..63 (0 when none is free); else release it.
    static unsigned char GetOrReturnInstanceID(unsigned char id);
    // Allocates an ID, sleeping until one is released while none is free;
    // 0 once giveUp() holds (tested on every wake-up). With `meanwhile`, the
    // sleep is cut into 1 ms steps and meanwhile() runs after each.
    static unsigned char AwaitInstanceID(const std::function<bool()>& giveUp,
                                         const std::function<void()>& meanwhile = nullptr);
    // Makes every AwaitInstanceID look at giveUp() again.
    static void WakeInstanceIDWaiters();

    int GetStatistics(ServerStatisticsTag& stats);
    void SetLogImp(LogImp* imp) override;

    bool IsRunning() const;
    size_t GetClientCount() const;

    // Thread procedures; each takes ownership of its heap start argument.
    static void* AcceptThread(void* arg);
    static void* ReceiveThread(void* arg);
    static void* SendThread(void* arg);

    struct Core;

private:
    int StartListening(const char* failureText);

    std::shared_ptr<Core> m_core;
    KvoLock m_shutdownLock;

    static unsigned char curIter;            // next instance ID to try
    static unsigned char m_instanceIDs[64];  // 1 taken, 0 free; entry 0 unused
    static KvoLock m_IDMaplock;
    static std::condition_variable_any m_IDFreed;  // notified under m_IDMaplock on every release
};
