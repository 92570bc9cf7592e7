#include "service/SvrManager.h"

#include <cstdio>
#include <cstdlib>

#include "server/SocketCommAgent.h"
#include "web/HttpOmxResponser.h"

ConfigFileSupport SvrManager::m_configFile;
KvoSnmpTrap SvrManager::m_kvoTrap;
int SettingServerPort = 7402;

std::string SvrManager::HomeFolder() {
    const char* home = getenv("KVOOMX_HOME");
    std::string folder = home && *home ? home : "/usr/share/kvoomx";
    if (folder.back() != '/') folder += '/';
    return folder;
}

SvrManager::SvrManager() { m_configFile.Initialize((HomeFolder() + "kvoomxsvr.conf").c_str()); }

SvrManager::~SvrManager() {
    m_configFile.SyncFile();
    terminate();
}

int SvrManager::initialize() {
    uint16_t port = 0;
    if (!m_configFile.GetConfigValue_U16("root", "configport", port)) port = 7402;
    SettingServerPort = port;
    // Receivers and level mask; also sets up the SNMP library before any thread starts.
    m_kvoTrap.Initialize(m_configFile);
    auto responser = std::make_unique<HttpOmxResponser>();
    responser->m_pConfig = &m_configFile;
    responser->SetRootFolder((HomeFolder() + "webguiroot/").c_str());
    m_servers.push_back(std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(SettingServerPort, 1),
                                                        std::move(responser), 0, 0));
    printf("Configuration server runs on port %d\n", SettingServerPort);
    return 0;
}

int SvrManager::run() {
    for (auto& server : m_servers) server->Run();
    return 0;
}

int SvrManager::terminate() {
    for (auto& server : m_servers) {
        server->ShutDown();
        server.reset();
    }
    m_servers.clear();
    return 0;
}
