#include "service/SvrManager.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

#include "controller/AgentResponser.h"
#include "controller/kvoIO.h"
#include "server/Console.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"
#include "service/DriverBridgeConfig.h"
#include "web/HttpOmxResponser.h"
#include "web/PageHelpers.h"
#include "web/HttpResponsor.h"

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
constexpr const char* kControllerPathPrefix = "/root/controller";
constexpr unsigned char kConfigServerController = 0;
constexpr unsigned int kConfigServerChannel = 0;
constexpr unsigned int kRelayChannel = 2;
constexpr int kRelayMode = 1;
constexpr int kAnyAddress = 1;

bool IsRelayPortOpenable(unsigned short port) { return port >= 1 && port <= 65534; }
}  // namespace

std::string SvrManager::HomeFolder() {
    const char* env = std::getenv("KVOOMX_HOME");
    std::string home = (env && *env) ? env : kDefaultHome;
    if (home.back() != '/') home += '/';
    return home;
}

std::string SvrManager::ConfigFilePath() { return HomeFolder() + "kvoomxsvr.conf"; }
std::string SvrManager::EmailFilePath() { return HomeFolder() + "kvoomxemail.conf"; }

std::string SvrManager::StaticFolder() {
    std::string home = HomeFolder();
    struct stat st {};
    if (stat((home + "webguiroot").c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return home;
    return kInstalledDataFolder;
}

std::string SvrManager::WebRootPath() { return StaticFolder() + "webguiroot/"; }

SvrManager::SvrManager() : SvrManager(kDefaultRescanInterval) {}

SvrManager::SvrManager(std::chrono::milliseconds rescanInterval)
    : m_notifyManager(m_kvoTrap, m_emailcenter), m_rescanInterval(rescanInterval) {
    m_configFile.Initialize(ConfigFilePath().c_str());
    m_emailcenter.InitEmailCenter(EmailFilePath());
    m_emailcenter.SetHostAddressSource([](std::string& address) {
        std::string name;
        return GetHostName(name, address);
    });
}

SvrManager::~SvrManager() {
    m_configFile.SyncFile();
    terminate();
}

unsigned short SvrManager::GetSerConfig() {
    uint16_t port = 0;
    if (!m_configFile.GetConfigValue_U16("root", "configport", port)) return kDefaultConfigPort;
    return port;
}

unsigned int SvrManager::ControllerCount() { return kvoIO::GetInstance()->getControllerCount(); }

unsigned int SvrManager::FindControllersAgain() { return kvoIO::GetInstance()->rescan(); }

unsigned short SvrManager::GetPortOrStoreDefault(const char* path, const char* key,
                                                 unsigned short fallback) {
    uint16_t port = 0;
    if (m_configFile.GetConfigValue_U16(path, key, port)) return port;
    m_configFile.SetConfigValue_U16(path, key, fallback);
    return fallback;
}

bool SvrManager::GetConfig(int index, unsigned short& httpPort, unsigned short& cliPort) {
    char path[64];
    snprintf(path, sizeof path, "%s%d", kControllerPathPrefix, index);
    httpPort = GetPortOrStoreDefault(path, "httpport",
                                     static_cast<unsigned short>(kDefaultRelayPortBase + 10 * index));
    cliPort = GetPortOrStoreDefault(path, "cliport",
                                    static_cast<unsigned short>(kDefaultCliPortBase + 10 * index));
    return true;
}

std::string SvrManager::GetBindAddress() {
    char text[64] = {0};
    if (!m_configFile.GetConfigValue("root", "bindaddress", text, sizeof text)) return "";
    std::string address = text;
    size_t first = address.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return address.substr(first, address.find_last_not_of(" \t\r\n") - first + 1);
}

// The optional `adminpassword` under root (a crypt(3) hash) turns the login on.
// The hash itself is never printed.
static void ApplyAdminPassword(ConfigFileSupport& config, HttpOmxResponser& responser) {
    std::vector<char> hash(512, '\0');
    if (!config.GetConfigValue("root", "adminpassword", hash.data(), static_cast<int>(hash.size())) ||
        !hash[0])
        return;
    if (responser.Guard().SetAdminPassword(hash.data()))
        Console::Print("Configuration pages ask for the administrator password\n");
    else
        Console::PrintLevel(Console::kError,
                            "adminpassword is not a crypt(3) hash this system can check: every login is refused\n");
}

std::unique_ptr<Responser> SvrManager::CreateConfigResponser() {
    auto responser = std::make_unique<HttpOmxResponser>();
    responser->m_pConfig = &m_configFile;
    responser->m_pTrap = &m_kvoTrap;
    responser->m_pEmailCenter = &m_emailcenter;
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
        kConfigServerController, kConfigServerChannel));
}

void SvrManager::CreateRelayServer(int index, unsigned short port) {
    m_servers.push_back(std::make_unique<GenericServer>(
        CreateListener(port),
        std::make_unique<AgentResponser>(kRelayMode), static_cast<unsigned char>(index),
        kRelayChannel));
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
    CreateRelayServers(count);
    m_awaitingControllers = count == 0;

    m_notifyManager.Initialize();
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
    int result = 0;
    for (auto& server : m_servers)
        if (server->Run() != 0) result = -1;
    if (result != 0) return result;
    if (m_awaitingControllers) {
        Console::PrintLevel(Console::kWarning,
                            "No controller found: looking again every %lld s\n",
                            static_cast<long long>(m_rescanInterval.count() / 1000));
        StartRescan();
    } else {
        m_notifyManager.Run();
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
    while (!m_rescanWake.wait_for(lock, m_rescanInterval, [this] { return m_stopRescan; })) {
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
    CreateRelayServers(count);
    for (size_t i = first; i < m_servers.size(); ++i) m_servers[i]->Run();
    m_awaitingControllers = false;
    m_notifyManager.Run();
}

int SvrManager::terminate() {
    StopRescan();
    for (auto& server : m_servers) {
        server->ShutDown();
        server.reset();
    }
    m_servers.clear();
    m_notifyManager.terminate();
    return 0;
}
