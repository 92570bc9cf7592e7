// SvrManager: turns the configuration into running servers and stops them.
// One instance, created by kvomainthread and never freed; initialize and run
// are called on the initial thread, terminate on the same thread at shutdown.
// Owns its servers. (Start-up form: the configuration server only.)
#pragma once

#include <list>
#include <memory>
#include <string>

#include "config/ConfigFileSupport.h"
#include "notify/KvoSnmpTrap.h"
#include "server/GenericServer.h"

extern int SettingServerPort;

class SvrManager {
public:
    SvrManager();
    ~SvrManager();

    int initialize();  // 0
    int run();         // 0
    int terminate();   // 0

    // $KVOOMX_HOME, default /usr/share/kvoomx, ending in "/".
    static std::string HomeFolder();

    static ConfigFileSupport m_configFile;
    static KvoSnmpTrap m_kvoTrap;

private:
    std::list<std::unique_ptr<GenericServer>> m_servers;  // in creation order
};
