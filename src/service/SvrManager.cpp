#include "service/SvrManager.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

#include "controller/AgentResponser.h"
#include "controller/kvoIO.h"
#include "notify/EventTargetChannel.h"
#include "notify/MailChannel.h"
#include "framework/Console.h"
#include "server/GenericServer.h"
#include "server/MetricsRegistry.h"
#include "server/SocketCommAgent.h"
#include "service/DriverBridgeConfig.h"
#include "pages/HttpOmxResponser.h"
#include "pages/PageHelpers.h"
#include "http/HttpResponsor.h"

int SettingServerPort = SvrManager::kDefaultConfigPort;

ConfigFileSupport SvrManager::m_configFile;
KvoSnmpTrap SvrManager::m_kvoTrap;
EmailCenter SvrManager::m_emailcenter;

#ifndef KVO_STATE_DIR
#define KVO_STATE_DIR "/var/lib/kvoomx"
#endif
#ifndef KVO_DATA_DIR
#define KVO_DATA_DIR "/usr/share/kvoomx"
#endif

namespace {
constexpr const char* kDefaultHome = KVO_STATE_DIR;
constexpr const char* kInstalledDataFolder = KVO_DATA_DIR "/";
constexpr unsigned char kConfigServerController = 0;
constexpr unsigned int kConfigServerChannel = 0;
constexpr unsigned int kRelayChannel = 2;
constexpr int kRelayMode = 1;
constexpr int kAnyAddress = 1;

bool IsRelayPortOpenable(unsigned short port) { return SettingsSchema::IsRelayPort(port); }
}  // namespace

std::string SvrManager::HomeFolder() {
    const char* env = std::getenv("KVOOMX_HOME");
    std::string home = (env && *env) ? env : kDefaultHome;
    if (home.back() != '/') home += '/';
    return home;
}

std::string SvrManager::ConfigFilePath() { return HomeFolder() + "kvoomxsvr.conf"; }
std::string SvrManager::EmailFilePath() { return HomeFolder() + "kvoomxemail.conf"; }
std::string SvrManager::LedgerFilePath() { return HomeFolder() + "kvoomxevents.db"; }

std::string SvrManager::StaticFolder() {
    std::string home = HomeFolder();
    struct stat st {};
    if (stat((home + "webguiroot").c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return home;
    return kInstalledDataFolder;
}

std::string SvrManager::WebRootPath() { return StaticFolder() + "webguiroot/"; }

namespace {
uint32_t EventsSetting(ConfigFileSupport& config, const SettingsSchema::EventsNumber& number) {
    return SettingsSchema(config).Events(number);
}

// /metrics counts what the queue decides and reads its backlog from the ledger
// at each scrape. Both hold shared references: the queue's thread may outlive us.
void ConnectDeliveryMetrics(const std::shared_ptr<MetricsRegistry>& metrics, DeliveryQueue& queue,
                            const std::shared_ptr<EventLedger>& ledger) {
    queue.SetObserver([metrics](const std::string& kind, DeliveryStatus status, unsigned count) {
        metrics->CountDeliveries(kind,
                                 status == DeliveryStatus::Sent      ? MetricsRegistry::Delivery::Sent
                                 : status == DeliveryStatus::Pending ? MetricsRegistry::Delivery::Retrying
                                                                     : MetricsRegistry::Delivery::Failed,
                                 count);
    });
    metrics->SetQueueSource([ledger] {
        PendingSummary pending = ledger->Pending();
        MetricsRegistry::QueueState state;
        state.pending = pending.count;
        if (pending.count > 0 && pending.oldestReceived > 0)
            state.oldestAgeSeconds =
                static_cast<double>(std::max<int64_t>(0, EventLedger::NowMs() - pending.oldestReceived)) / 1000.0;
        return state;
    });
}
}  // namespace

SvrManager::SvrManager(const SvrManagerOptions& options)
    : m_metrics(std::make_shared<MetricsRegistry>()),
      m_hooks(std::make_shared<HookSettings>(m_configFile)),
      m_ledger(std::make_shared<EventLedger>()),
      m_queue(std::make_shared<DeliveryQueue>(m_ledger)),
      m_dispatcher(std::make_shared<EventDispatcher>(m_kvoTrap, m_emailcenter, m_ledger, m_queue)),
      m_options(options) {
    m_dispatcher->SetMetrics(m_metrics);
    m_configFile.Initialize(ConfigFilePath().c_str());
    m_emailcenter.InitEmailCenter(EmailFilePath());
    m_emailcenter.SetHostAddressSource([](std::string& address) {
        std::string name;
        return GetHostName(name, address);
    });
    m_ledger->Open(LedgerFilePath());
    m_queue->SetOptions(ReadDeliveryOptions());
    SmtpOptions mail = m_options.mail;
    mail.dialogueBound = std::chrono::seconds(EventsSetting(m_configFile, SettingsSchema::kMailBound));
    m_queue->AddChannel(std::make_shared<MailChannel>(m_emailcenter, mail));
    auto hostName = [] {
        std::string name, address;
        GetHostName(name, address);
        return name;
    };
    m_queue->AddChannel(EventTargetChannel::Webhooks(m_hooks->WebhookBound(), hostName));
    m_queue->AddChannel(EventTargetChannel::Hooks(m_hooks->HookBound(), hostName));
    m_dispatcher->SetHookSettings(m_hooks);
    ConnectDeliveryMetrics(m_metrics, *m_queue, m_ledger);
    ApplyPollerOptions();
}

DeliveryOptions SvrManager::ReadDeliveryOptions() {
    DeliveryOptions options;
    using std::chrono::seconds;
    options.firstRetry = seconds(EventsSetting(m_configFile, SettingsSchema::kFirstRetry));
    options.maxRetry = seconds(EventsSetting(m_configFile, SettingsSchema::kMaxRetry));
    options.giveUpAfter = seconds(EventsSetting(m_configFile, SettingsSchema::kGiveUp));
    return options;
}

void SvrManager::ApplyPollerOptions() {
    NotifyOptions options = m_options.notify;
    uint32_t pause = EventsSetting(m_configFile, SettingsSchema::kSweepPause);
    if (pause > 0) options.sweepPause = std::chrono::milliseconds(pause);
    m_notifyManager = std::make_unique<NotifyManager>(m_dispatcher, options);
    m_notifyManager->SetMetrics(m_metrics);
    uint32_t silent = EventsSetting(m_configFile, SettingsSchema::kSilentVisits);
    if (silent > 0) m_dispatcher->SetSilentVisits(silent);
}

SvrManager::~SvrManager() {
    m_configFile.SyncFile();
    terminate();
}

unsigned short SvrManager::GetSerConfig() {
    uint16_t port = kDefaultConfigPort;
    SettingsSchema(m_configFile).ConfigPort(port);
    return port;
}

unsigned int SvrManager::ControllerCount() { return kvoIO::GetInstance()->getControllerCount(); }

unsigned int SvrManager::FindControllersAgain() { return kvoIO::GetInstance()->rescan(); }

bool SvrManager::GetConfig(int index, unsigned short& httpPort, unsigned short& cliPort) {
    SettingsSchema settings(m_configFile);
    // A controller's first start writes its default ports, so the file shows them.
    uint16_t port = SettingsSchema::DefaultRelayPort(index);
    if (!settings.RelayPort(index, port)) settings.SetRelayPort(index, port);
    httpPort = port;
    port = SettingsSchema::DefaultCliPort(index);
    if (!settings.CliPort(index, port)) settings.SetCliPort(index, port);
    cliPort = port;
    return true;
}

std::string SvrManager::GetBindAddress() { return SettingsSchema(m_configFile).BindAddress(); }

// The optional `adminpassword` under root (a crypt(3) hash) turns the login on.
// The hash itself is never printed.
static void ApplyAdminPassword(ConfigFileSupport& config, HttpOmxResponser& responser) {
    std::string hash = SettingsSchema(config).AdminPasswordHash();
    if (hash.empty()) return;
    if (responser.Guard().SetAdminPassword(hash.c_str()))
        Console::Print("Configuration pages ask for the administrator password\n");
    else
        Console::PrintLevel(Console::kError,
                            "adminpassword is not a crypt(3) hash this system can check: every login is refused\n");
}

std::unique_ptr<Responser> SvrManager::CreateConfigResponser() {
    auto responser = std::make_unique<HttpOmxResponser>(m_options.mail);
    responser->m_pConfig = &m_configFile;
    responser->m_pTrap = &m_kvoTrap;
    responser->m_pEmailCenter = &m_emailcenter;
    responser->m_pMetrics = m_metrics.get();
    responser->m_pEvents = m_dispatcher;
    responser->m_pHooks = m_hooks;
    responser->SetRootFolder(WebRootPath().c_str());
    ApplyAdminPassword(m_configFile, *responser);
    // Page files when the working directory is "/" go to the state folder; the
    // installed error pages are beside the web root.
    HttpResponsor::SetServiceFolder(HomeFolder());
    HttpResponsor::SetErrorPageFolder(StaticFolder());
    return responser;
}

std::unique_ptr<SocketCommAgent> SvrManager::CreateListener(unsigned short port) {
    auto agent = std::make_unique<SocketCommAgent>(port, kAnyAddress);
    agent->SetBindAddress(m_bindAddress);
    return agent;
}

void SvrManager::CreateConfigServer() {
    m_servers.push_back(std::make_unique<GenericServer>(
        CreateListener(static_cast<unsigned short>(SettingServerPort)), CreateConfigResponser(),
        kConfigServerController, kConfigServerChannel, m_options.configServer));
    m_serverNames.push_back("configuration server on port " + std::to_string(SettingServerPort));
}

void SvrManager::CreateRelayServer(int index, unsigned short port) {
    auto responser = std::make_unique<AgentResponser>(kRelayMode, m_options.relay);
    responser->SetMetrics(m_metrics.get());
    m_servers.push_back(std::make_unique<GenericServer>(CreateListener(port), std::move(responser),
                                                        static_cast<unsigned char>(index), kRelayChannel,
                                                        m_options.relayServer));
    m_serverNames.push_back("relay of controller " + std::to_string(index) + " on port " +
                            std::to_string(port));
}

// Runs the servers from `first` on; the ones that could not listen are kept
// for /healthz. 0, or -1 when one could not.
int SvrManager::RunServers(size_t first) {
    int result = 0;
    std::vector<std::string> notListening;
    for (size_t i = first; i < m_servers.size(); ++i) {
        if (m_servers[i]->Run() != 0) {
            result = -1;
            notListening.push_back(m_serverNames[i]);
        }
    }
    if (!notListening.empty()) m_metrics->AddNotListening(std::move(notListening));
    return result;
}

int SvrManager::initialize() {
    SettingServerPort = GetSerConfig();
    m_bindAddress = GetBindAddress();
    if (!m_bindAddress.empty()) Console::Print("Servers listen on %s only\n", m_bindAddress.c_str());
    // Receivers and level mask; also sets up the SNMP library before any thread starts.
    m_kvoTrap.Initialize(m_configFile);

    CreateConfigServer();
    Console::Print("Configuration server runs on port %d\n", SettingServerPort);

    kvoIO::SetBridgeSettings(ReadDriverBridgeSettings(m_configFile));
    unsigned int count = ControllerCount();
    if (count > kMaxControllers) return -1;
    Console::Print("Find %d controller(s)\n", count);
    m_metrics->SetControllersFound(count);
    CreateRelayServers(count);
    m_awaitingControllers = count == 0;

    m_notifyManager->Initialize();
    return 0;
}

void SvrManager::CreateRelayServers(unsigned int count) {
    for (unsigned int i = 0; i < count && i < kMaxControllers; ++i) {
        unsigned short httpPort = 0, cliPort = 0;
        GetConfig(static_cast<int>(i), httpPort, cliPort);
        if (IsRelayPortOpenable(httpPort)) CreateRelayServer(static_cast<int>(i), httpPort);
        Console::Print("Controller%d WEB GUI runs on port %d\n", i, httpPort);
    }
}

int SvrManager::run() {
    if (RunServers(0) != 0) return -1;
    // Before the poller: its first events find the queue running. Test events
    // from the pages need it even while no controller is known.
    m_queue->Start();
    if (m_awaitingControllers) {
        const long long ms = m_options.rescanInterval.count();
        if (ms % 1000 == 0)
            Console::PrintLevel(Console::kWarning, "No controller found: looking again every %lld s\n", ms / 1000);
        else
            Console::PrintLevel(Console::kWarning, "No controller found: looking again every %lld ms\n", ms);
        StartRescan();
    } else {
        m_notifyManager->Run();
    }
    return 0;
}

void SvrManager::StartRescan() {
    {
        std::lock_guard<std::mutex> guard(m_rescanLock);
        m_stopRescan = false;
    }
    m_rescan = std::thread(&SvrManager::RescanLoop, this);
}

void SvrManager::StopRescan() {
    {
        std::lock_guard<std::mutex> guard(m_rescanLock);
        m_stopRescan = true;
    }
    m_rescanWake.notify_all();
    if (m_rescan.joinable()) m_rescan.join();
}

void SvrManager::RescanLoop() {
    std::unique_lock<std::mutex> lock(m_rescanLock);
    while (!m_rescanWake.wait_for(lock, m_options.rescanInterval, [this] { return m_stopRescan; })) {
        lock.unlock();
        unsigned int count = FindControllersAgain();
        lock.lock();
        if (count == 0 || m_stopRescan) continue;
        lock.unlock();
        StartLateControllers(count);
        return;
    }
}

void SvrManager::StartLateControllers(unsigned int count) {
    Console::Print("Find %d controller(s) after start: relays and event polling start\n", count);
    size_t first = m_servers.size();
    m_metrics->SetControllersFound(count);
    CreateRelayServers(count);
    RunServers(first);
    m_awaitingControllers = false;
    m_notifyManager->Run();
}

int SvrManager::terminate() {
    StopRescan();
    for (auto& server : m_servers) {
        server->ShutDown();
        server.reset();
    }
    m_servers.clear();
    m_serverNames.clear();
    m_notifyManager->terminate();
    m_queue->Stop();
    return 0;
}
