#include "server/GenericServer.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <optional>

#include "GenServerThread.h"
#include "framework/Console.h"
#include "KvoSemaphore.h"

unsigned char GenericServer::curIter = 1;
unsigned char GenericServer::m_instanceIDs[64] = {0};
KvoLock GenericServer::m_IDMaplock;
std::condition_variable_any GenericServer::m_IDFreed;

namespace {

constexpr int kLaunchPolls = 10000;  // 1 ms polls: about 10 s
constexpr int kMaxClients = 5;

// One connected client: the record handed to the responder and the client
// itself. Shared by the client map and both client threads, so a thread never
// outlives the memory it was given.
struct ClientEntry {
    _CLIENT_PARAMS params;
    std::unique_ptr<Client> client;
    std::atomic<bool> registered{false};  // both threads launched, in the map
    std::atomic<int> liveThreads{0};      // client threads not yet released
    bool evicted = false;                 // shut down to make room; under the map lock
};

using Clock = std::chrono::steady_clock;

// How long a finished client thread gives its partner to notice nState 1.
constexpr int kPartnerGraceMs = 20;
// How long deleting a server waits for finishing threads to let go of it.
constexpr int kReleaseGraceMs = 200;

}  // namespace

// The part of a server its threads use. The server holds one reference, the
// accept thread and every client thread one each.
struct GenericServer::Core : public Log {
    Core(std::unique_ptr<CommAgent> agent, std::unique_ptr<Responser> resp,
         unsigned char controllerIndex, unsigned int channel, const ServerOptions& options)
        : m_options(options),
          m_acceptLaunchSem("AcceptThreadLaunchSem"),
          m_clientLaunchSem("ClientThreadLaunchSem"),
          m_controllerIndex(controllerIndex),
          m_channel(channel),
          m_commAgent(std::move(agent)),
          m_responser(std::move(resp)) {}

    ~Core() override {
        m_commAgent.reset();
        m_responser.reset();
    }

    void AcceptLoop(const std::shared_ptr<Core>& self, bool announceStart);
    bool AdmitWaiting(const std::shared_ptr<Core>& self);
    void TakeInPending();
    void CloseWaiting();
    int AddClient(const std::shared_ptr<Core>& self, Client* client);
    int LaunchClient(const std::shared_ptr<Core>& self, Client* client, unsigned char id,
                     bool takeInMeanwhile);
    bool AwaitClientLaunch(bool takeInMeanwhile);
    bool StartClientThread(const std::shared_ptr<Core>& self,
                           const std::shared_ptr<ClientEntry>& entry, bool receive);
    void LaunchFailed(const std::shared_ptr<ClientEntry>& entry);
    void DropClient(const std::shared_ptr<ClientEntry>& entry);
    bool ClientMapOp(int op, Client* client, _CLIENT_PARAMS* params);
    bool ClientMapOpLocked(int op, Client* client, _CLIENT_PARAMS* params);
    void RunClient(const std::shared_ptr<ClientEntry>& entry, bool receive);
    int ReleaseLocked(std::map<Client*, std::shared_ptr<ClientEntry>>::iterator it);
    void LetPartnerGo(const std::shared_ptr<ClientEntry>& entry);
    std::optional<Clock::time_point> EvictLongestIdleLocked();
    void WakeAcceptLoop();
    int ServingCountLocked() const;
    bool WaitUntilEmpty(Clock::time_point deadline);
    static void SetState(_CLIENT_PARAMS& params, int32_t state);

    // Connections accepted while every slot was taken, oldest first; none of
    // them has been read from. Guarded by m_clientMapLock.
    std::deque<std::unique_ptr<Client>> m_waiting;
    const ServerOptions m_options;
    KvoSemaphore m_acceptLaunchSem;
    KvoSemaphore m_clientLaunchSem;
    KVO_THREAD_HANDLE m_acceptThread{};
    std::atomic<bool> m_running{false};
    KvoLock m_clientMapLock;
    std::map<Client*, std::shared_ptr<ClientEntry>> m_clients;
    std::map<Client*, std::shared_ptr<ClientEntry>> m_launching;  // AddClient in progress
    std::atomic<size_t> m_clientCount{0};  // m_clients.size(), readable without the lock
    // Signalled under m_clientMapLock when a client leaves the map or the
    // transport closes: wakes the accept loop waiting for a slot and ShutDown.
    std::condition_variable_any m_clientsChanged;
    const unsigned char m_controllerIndex;
    const unsigned int m_channel;
    std::unique_ptr<CommAgent> m_commAgent;
    std::unique_ptr<Responser> m_responser;
};

namespace {

struct ClientThreadArgs {
    std::shared_ptr<GenericServer::Core> core;
    std::shared_ptr<ClientEntry> entry;
};

// Lines outside the log facility ("wait ", instance IDs) take the console path too.
void PrintLine(const char* format, int value) { Console::Print(format, value); }

}  // namespace

// ---------------------------------------------------------------- GenericServer

GenericServer::GenericServer(std::unique_ptr<CommAgent> agent, std::unique_ptr<Responser> responser,
                             unsigned char controllerIndex, unsigned int channel, const ServerOptions& options)
    : m_core(std::make_shared<Core>(std::move(agent), std::move(responser), controllerIndex, channel,
                                    options)) {}

GenericServer::~GenericServer() {
    if (m_core->m_running) ShutDown();
    // Threads that have finished their work drop their share within moments;
    // give them that, so transport and responder normally go right here. Late
    // client threads keep the shared block (and with it the responder and their
    // clients) alive instead; the last one to end frees it.
    for (int waited = 0; waited < kReleaseGraceMs && m_core.use_count() > 1; ++waited) usleep(1000);
    m_core.reset();
}

int GenericServer::StartListening(const char* failureText) {
    if (!m_core->m_commAgent || m_core->m_commAgent->StartListening() != 0) {
        ShowMessage(LOG_ERROR, "%s", failureText);
        return -1;
    }
    if (!m_core->m_acceptLaunchSem.IsValid() || !m_core->m_clientLaunchSem.IsValid()) {
        ShowMessage(LOG_ERROR, "Failed to create thread launched event.");
        return -1;
    }
    return 0;
}

int GenericServer::Run() {
    if (StartListening("Failed to start listening") != 0) return -1;
    auto* arg = new std::shared_ptr<Core>(m_core);  // owned by the accept thread once started
    if (GENSVR_CREATE_THREAD(m_core->m_acceptThread, &GenericServer::AcceptThread, arg) != 0) {
        delete arg;
        ShowMessage(LOG_ERROR, "Failed to create accept thread.");
        return -1;
    }
    if (!m_core->m_acceptLaunchSem.WaitingForSignal(kLaunchPolls)) {
        ShowMessage(LOG_ERROR, "Failed to create accept thread.");
        return -1;
    }
    return 0;
}

int GenericServer::BlockRun() {
    if (StartListening("Failed to start listening\n") != 0) return -1;
    m_core->AcceptLoop(m_core, false);
    return 0;
}

void GenericServer::ShutDown() {
    std::lock_guard<KvoLock> guard(m_shutdownLock);
    Core& core = *m_core;
    if (!core.m_running) return;
    ShowMessage(LOG_INFO, "Server is shutting down...");
    core.m_commAgent->Close();
    core.WakeAcceptLoop();
    if (core.m_running && !core.m_acceptLaunchSem.WaitingForSignal(kLaunchPolls)) {
        GENSVR_TERMINATE_THREAD(core.m_acceptThread);
        core.m_running = false;
    }
    const int rounds = kMaxClients * static_cast<int>(core.m_clientCount.load()) + 1;
    for (int i = 0; i < rounds; ++i) {
        if (core.ClientMapOp(CLIENT_IS_EMPTY, nullptr, nullptr)) break;
        core.ClientMapOp(CLIENT_SHUTDOWN_ALL, nullptr, nullptr);
        // Up to a round's bound, but over as soon as the last client has left.
        core.WaitUntilEmpty(Clock::now() + std::chrono::milliseconds(core.m_options.shutdownRoundMs));
        PrintLine("wait %d\n", rounds - i);
    }
}

int GenericServer::AddClient(Client* client) { return m_core->AddClient(m_core, client); }

int GenericServer::RemoveClient(Client* client) {
    m_core->ClientMapOp(CLIENT_RELEASE, client, nullptr);
    return 1;
}

bool GenericServer::ClientMapOp(int op, Client* client, _CLIENT_PARAMS* params) {
    return m_core->ClientMapOp(op, client, params);
}

unsigned char GenericServer::GetOrReturnInstanceID(unsigned char id) {
    std::lock_guard<KvoLock> guard(m_IDMaplock);
    if (curIter >= 64) curIter = 1;
    if (id != 0) {
        if (id < 64) m_instanceIDs[id] = 0;
        m_IDFreed.notify_all();
        return id;
    }
    unsigned char candidate = curIter;
    for (int tried = 0; tried < 63; ++tried) {
        if (m_instanceIDs[candidate] == 0) {
            m_instanceIDs[candidate] = 1;
            PrintLine("m_instanceIDs %d\r\n", candidate);
            curIter = static_cast<unsigned char>(candidate + 1);
            return candidate;
        }
        candidate = candidate == 63 ? 1 : static_cast<unsigned char>(candidate + 1);
    }
    return 0;
}

unsigned char GenericServer::AwaitInstanceID(const std::function<bool()>& giveUp,
                                             const std::function<void()>& meanwhile) {
    std::unique_lock<KvoLock> lock(m_IDMaplock);
    for (;;) {
        unsigned char id = GetOrReturnInstanceID(0);
        if (id != 0 || giveUp()) return id;
        if (!meanwhile) {
            m_IDFreed.wait(lock);
            continue;
        }
        m_IDFreed.wait_for(lock, std::chrono::milliseconds(1));
        // Outside the ID lock, which comes after every other lock.
        lock.unlock();
        meanwhile();
        lock.lock();
    }
}

void GenericServer::WakeInstanceIDWaiters() {
    std::lock_guard<KvoLock> guard(m_IDMaplock);
    m_IDFreed.notify_all();
}

int GenericServer::GetStatistics(ServerStatisticsTag& stats) {
    stats = ServerStatisticsTag{};
    return 0;
}

void GenericServer::SetLogImp(LogImp* imp) {
    m_logImp = imp;
    m_core->SetLogImp(imp);
    if (m_core->m_commAgent) m_core->m_commAgent->SetLogImp(imp);
    if (m_core->m_responser) m_core->m_responser->SetLogImp(imp);
}


bool GenericServer::IsRunning() const { return m_core->m_running; }

size_t GenericServer::GetClientCount() const { return m_core->m_clientCount; }

void* GenericServer::AcceptThread(void* arg) {
    std::shared_ptr<Core> core;
    {
        std::unique_ptr<std::shared_ptr<Core>> start(static_cast<std::shared_ptr<Core>*>(arg));
        core = *start;
    }
    try {
        core->AcceptLoop(core, true);
    } catch (...) {
        // A thread must never let an exception end the process.
    }
    return nullptr;
}

static void* RunClientThread(void* arg, bool receive) {
    std::shared_ptr<GenericServer::Core> core;
    std::shared_ptr<ClientEntry> entry;
    {
        std::unique_ptr<ClientThreadArgs> start(static_cast<ClientThreadArgs*>(arg));
        core = std::move(start->core);
        entry = std::move(start->entry);
    }
    core->m_clientLaunchSem.Post();
    core->RunClient(entry, receive);
    return nullptr;
}

void* GenericServer::ReceiveThread(void* arg) { return RunClientThread(arg, true); }

void* GenericServer::SendThread(void* arg) { return RunClientThread(arg, false); }

// ------------------------------------------------------------------------ Core

void GenericServer::Core::AcceptLoop(const std::shared_ptr<Core>& self, bool announceStart) {
    m_running = true;
    if (announceStart) m_acceptLaunchSem.Post();
    for (;;) {
        if (!AdmitWaiting(self)) break;
        bool someoneWaits = false;
        int timeoutUs = -1;
        {
            std::unique_lock<KvoLock> lock(m_clientMapLock);
            if (!m_waiting.empty()) {
                // All five slots are taken: an idle client may have to make room.
                someoneWaits = true;
                std::optional<Clock::time_point> recheck = EvictLongestIdleLocked();
                if (recheck) {
                    auto left = std::chrono::duration_cast<std::chrono::microseconds>(*recheck - Clock::now());
                    timeoutUs = static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 60000000)));
                }
                if (m_waiting.size() >= m_options.waitingLine) {
                    // The line is full: later connections wait in the listen backlog.
                    if (!m_commAgent->GetStatus()) break;
                    if (recheck) m_clientsChanged.wait_until(lock, *recheck);
                    else m_clientsChanged.wait(lock);
                    continue;
                }
            }
        }
        // With connections waiting, a freed slot (WakeAccept) or the idle
        // re-check must end the wait for the next one too.
        Client* accepted = nullptr;
        int rc = someoneWaits ? m_commAgent->AcceptOrWake(&accepted, timeoutUs) : m_commAgent->Accept(&accepted);
        if (rc == -1) break;
        if (!accepted) continue;
        std::lock_guard<KvoLock> guard(m_clientMapLock);
        m_waiting.emplace_back(accepted);
    }
    // Only now, with the server stopping, are waiting connections closed unread.
    CloseWaiting();
    m_running = false;
    m_acceptLaunchSem.Post();
}

// Serves waiting connections, oldest first, while a slot is free. Instance
// IDs are shared by the whole process; when none is free the connection
// waits for one (they come back as other connections finish tidying up).
// Waiting for an ID or for a launch takes long on a busy machine, so
// meanwhile the backlog is taken in every millisecond: it must not overflow,
// since a dropped SYN costs the browser a whole second. False once the
// transport has closed.
bool GenericServer::Core::AdmitWaiting(const std::shared_ptr<Core>& self) {
    for (;;) {
        TakeInPending();
        {
            std::lock_guard<KvoLock> guard(m_clientMapLock);
            if (m_waiting.empty() || ServingCountLocked() >= kMaxClients) return true;
        }
        unsigned char id = AwaitInstanceID([this] { return m_commAgent->GetStatus() == 0; },
                                           [this] { TakeInPending(); });
        if (id == 0) return false;
        std::unique_ptr<Client> next;
        {
            std::lock_guard<KvoLock> guard(m_clientMapLock);
            next = std::move(m_waiting.front());
            m_waiting.pop_front();
        }
        LaunchClient(self, next.release(), id, true);
    }
}

// Moves every connection already pending on the transport into the waiting
// line, as far as it has room, without waiting for more.
void GenericServer::Core::TakeInPending() {
    for (;;) {
        {
            std::lock_guard<KvoLock> guard(m_clientMapLock);
            if (m_waiting.size() >= m_options.waitingLine) return;
        }
        Client* accepted = nullptr;
        if (m_commAgent->AcceptOrWake(&accepted, 0) == -1 || !accepted) return;
        std::lock_guard<KvoLock> guard(m_clientMapLock);
        m_waiting.emplace_back(accepted);
    }
}

void GenericServer::Core::CloseWaiting() {
    std::deque<std::unique_ptr<Client>> left;
    {
        std::lock_guard<KvoLock> guard(m_clientMapLock);
        left.swap(m_waiting);
    }
    for (auto& client : left) client->Close();
}

int GenericServer::Core::AddClient(const std::shared_ptr<Core>& self, Client* client) {
    return LaunchClient(self, client, GetOrReturnInstanceID(0), false);
}

// Starts serving a client under instance ID `id` (taken by the caller; 0:
// none was free, the client is dropped). Only the accept loop may take in
// pending connections while the threads start.
int GenericServer::Core::LaunchClient(const std::shared_ptr<Core>& self, Client* client, unsigned char id,
                                      bool takeInMeanwhile) {
    auto entry = std::make_shared<ClientEntry>();
    entry->client.reset(client);
    _CLIENT_PARAMS& params = entry->params;
    params.byInstanceID = id;
    if (params.byInstanceID == 0) {
        DropClient(entry);
        return 0;
    }
    params.nController = m_controllerIndex;
    params.uChannel = m_channel;
    params.nState = 1;
    {
        std::lock_guard<KvoLock> guard(m_clientMapLock);
        m_launching[client] = entry;
    }
    // Both threads start side by side; each takes a heap copy of its start
    // argument, so there is nothing to wait for between the two creations.
    if (!StartClientThread(self, entry, true)) {
        LaunchFailed(entry);
        ShowMessage(LOG_ERROR, "Failed to create receive client thread.");
        DropClient(entry);
        return 0;
    }
    const bool sendCreated = StartClientThread(self, entry, false);
    int started = 0;
    while (started < (sendCreated ? 2 : 1) && AwaitClientLaunch(takeInMeanwhile)) ++started;
    if (started == 0 || !sendCreated || started < 2) {
        LaunchFailed(entry);
        ShowMessage(LOG_ERROR, started == 0 ? "Failed to create receive client thread."
                                            : "Failed to create send client thread.");
        GENSVR_TERMINATE_THREAD(params.hReceiveThread);
        DropClient(entry);
        return 0;
    }
    ClientMapOp(CLIENT_REGISTER, client, &params);
    return 1;
}

// One client thread's launch signal, within the launch bound.
bool GenericServer::Core::AwaitClientLaunch(bool takeInMeanwhile) {
    if (!takeInMeanwhile) return m_clientLaunchSem.WaitingForSignal(kLaunchPolls);
    for (int poll = 0; poll < kLaunchPolls; ++poll) {
        TakeInPending();
        if (m_clientLaunchSem.WaitingForSignal(1)) return true;
    }
    return false;
}

// A started thread then leaves the client alone (nState 0).
void GenericServer::Core::LaunchFailed(const std::shared_ptr<ClientEntry>& entry) {
    std::lock_guard<KvoLock> guard(m_clientMapLock);
    SetState(entry->params, 0);
}

// Creates one client thread; it posts the launch signal once it holds its
// start argument.
bool GenericServer::Core::StartClientThread(const std::shared_ptr<Core>& self,
                                            const std::shared_ptr<ClientEntry>& entry, bool receive) {
    auto* arg = new ClientThreadArgs{self, entry};  // owned by the thread once started
    KVO_THREAD_HANDLE& handle = receive ? entry->params.hReceiveThread : entry->params.hSendThread;
    if (GENSVR_CREATE_THREAD(handle, receive ? &GenericServer::ReceiveThread : &GenericServer::SendThread,
                             arg) == 0)
        return true;
    delete arg;
    return false;
}

// Clean-up of a client that never got registered. The client is closed now;
// its memory goes with the last holder of the entry (a thread that did start).
void GenericServer::Core::DropClient(const std::shared_ptr<ClientEntry>& entry) {
    {
        std::lock_guard<KvoLock> guard(m_clientMapLock);
        m_launching.erase(entry->client.get());
    }
    entry->client->Close();
    if (entry->params.byInstanceID) GetOrReturnInstanceID(entry->params.byInstanceID);
}

void GenericServer::Core::RunClient(const std::shared_ptr<ClientEntry>& entry, bool receive) {
    Client* client = entry->client.get();
    _CLIENT_PARAMS* params = &entry->params;
    try {
        if (receive) m_responser->Receive(client, params);
        else m_responser->Send(client, params);
    } catch (...) {
        // Dropped; the release below still runs so the slot and ID come back.
    }
    // A failed launch was cleaned up by AddClient; the client is not ours to release.
    if (!entry->registered) return;
    try {
        ClientMapOp(CLIENT_RELEASE, client, nullptr);
        LetPartnerGo(entry);
    } catch (...) {
    }
}

// A partner thread that had not yet seen nState 2 when this one finished would
// wait for 2 or 0 for ever, since 1 also means "launching". Once it has had a
// moment to stop on its own, nState 0 sends it home from either place.
void GenericServer::Core::LetPartnerGo(const std::shared_ptr<ClientEntry>& entry) {
    entry->params.wake.WaitUntil(Clock::now() + std::chrono::milliseconds(kPartnerGraceMs),
                                 [&] { return entry->liveThreads <= 0; });
    std::lock_guard<KvoLock> guard(m_clientMapLock);
    if (entry->liveThreads > 0) SetState(entry->params, 0);
}

void GenericServer::Core::SetState(_CLIENT_PARAMS& params, int32_t state) {
    params.nState = state;
    params.wake.Notify();
}

// A client idle for the eviction bound is shut down to make room for a
// waiting connection, the longest-idle first, as web servers reuse idle
// keep-alive connections; its responder then ends as on any closed socket.
// Returns when to look again: once the longest-idle client reaches the bound,
// or (after an eviction) once another could have, in case the evicted one is
// slow to go. None: no client tells its idle time, wait for a release.
std::optional<Clock::time_point> GenericServer::Core::EvictLongestIdleLocked() {
    const long long bound = m_options.evictIdleMs;
    if (bound < 0) return std::nullopt;
    std::shared_ptr<ClientEntry> longest;
    long long longestIdle = -1;
    for (auto& kv : m_clients) {
        if (kv.second->evicted || kv.second->liveThreads < 2) continue;
        long long idle = kv.first->IdleMilliseconds();
        if (idle > longestIdle) {
            longestIdle = idle;
            longest = kv.second;
        }
    }
    if (!longest) return std::nullopt;
    if (longestIdle >= bound) {
        longest->evicted = true;
        longest->client->Shutdown();
        return Clock::now() + std::chrono::milliseconds(bound > 0 ? bound : 1);
    }
    return Clock::now() + std::chrono::milliseconds(bound - longestIdle);
}

// Clients whose both threads still run. One whose exchange has ended (a thread
// has finished) is only tidying up and no longer takes a slot.
int GenericServer::Core::ServingCountLocked() const {
    int serving = 0;
    for (const auto& kv : m_clients) serving += kv.second->liveThreads >= 2 ? 1 : 0;
    return serving;
}

void GenericServer::Core::WakeAcceptLoop() {
    {
        std::lock_guard<KvoLock> guard(m_clientMapLock);
        m_clientsChanged.notify_all();
    }
    m_commAgent->WakeAccept();
    WakeInstanceIDWaiters();
}

bool GenericServer::Core::WaitUntilEmpty(Clock::time_point deadline) {
    std::unique_lock<KvoLock> lock(m_clientMapLock);
    return m_clientsChanged.wait_until(lock, deadline, [this] { return m_clients.empty(); });
}

// One client thread is done. The last one returns the ID and frees the client.
int GenericServer::Core::ReleaseLocked(std::map<Client*, std::shared_ptr<ClientEntry>>::iterator it) {
    std::shared_ptr<ClientEntry> entry = it->second;
    int live = --entry->liveThreads;
    if (live > 0) {
        if (entry->params.nState > 0) SetState(entry->params, entry->params.nState - 1);
        // Its slot is free already.
        m_clientsChanged.notify_all();
        if (!m_waiting.empty()) m_commAgent->WakeAccept();
        return live;
    }
    SetState(entry->params, 0);
    GetOrReturnInstanceID(entry->params.byInstanceID);
    m_clients.erase(it);
    m_clientCount = m_clients.size();
    m_clientsChanged.notify_all();
    entry->client->Close();
    entry->client.reset();
    return 0;
}

bool GenericServer::Core::ClientMapOp(int op, Client* client, _CLIENT_PARAMS* params) {
    std::lock_guard<KvoLock> guard(m_clientMapLock);
    try {
        return ClientMapOpLocked(op, client, params);
    } catch (const std::exception& e) {
        ShowMessage(LOG_ERROR, "exception ocurred\n");
        ShowMessage(LOG_ERROR, "%s", e.what());
        return false;
    }
}

bool GenericServer::Core::ClientMapOpLocked(int op, Client* client, _CLIENT_PARAMS* params) {
    switch (op) {
    case CLIENT_RELEASE: {
        if (!client) return true;
        // Waking the other thread out of a blocked receive comes first.
        client->Shutdown();
        auto it = m_clients.find(client);
        if (it != m_clients.end()) ReleaseLocked(it);
        return true;
    }
    case CLIENT_REGISTER: {
        auto it = m_launching.find(client);
        if (it == m_launching.end() || (params && &it->second->params != params)) return true;
        m_clients[client] = it->second;
        m_launching.erase(it);
        m_clients[client]->liveThreads = 2;
        m_clients[client]->registered = true;
        SetState(m_clients[client]->params, 2);
        m_clientCount = m_clients.size();
        return true;
    }
    case CLIENT_IS_EMPTY:
        return m_clients.empty();
    case CLIENT_SHUTDOWN_ALL:
        for (auto& kv : m_clients) kv.first->Shutdown();
        return true;
    default:
        return true;
    }
}
