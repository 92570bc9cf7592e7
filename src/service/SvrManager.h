// SvrManager: turns the configuration into running servers: the configuration
// server first, then one relay server per controller, and stops them again.
// The one instance is created by the main thread and never destroyed; it owns
// its servers. initialize/run run on the main thread, terminate wherever the
// termination signal is handled (at most once). When no controller is found at
// start, a re-scan thread looks again and adds the relays and the event poller;
// terminate stops and joins it before it touches the servers, so m_servers needs
// no lock. The static service objects live for the whole process and protect themselves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SmtpOptions.h"
#include "config/ConfigFileSupport.h"
#include "config/SettingsSchema.h"
#include "controller/AgentResponser.h"
#include "ledger/DeliveryQueue.h"
#include "ledger/EventLedger.h"
#include "notify/EmailCenter.h"
#include "notify/EventDispatcher.h"
#include "notify/HookSettings.h"
#include "notify/KvoSnmpTrap.h"
#include "notify/NotifyManager.h"
#include "server/GenericServer.h"

class MetricsRegistry;
class SocketCommAgent;
class Responser;

// Port of the configuration server, set by SvrManager::initialize.
extern int SettingServerPort;

// The timings and limits the manager hands to what it builds, the standard
// values by default.
struct SvrManagerOptions {
    // How often the controllers are looked for again while none has been found.
    std::chrono::milliseconds rescanInterval{5000};
    // Every relay server and its responder.
    RelayOptions relay;
    ServerOptions relayServer;
    // The configuration server.
    ServerOptions configServer;
    // Event mails (their whole-delivery bound comes from `events/mailbound`)
    // and the e-mail page's test mail.
    SmtpOptions mail;
    // The event poller (its sweep pause also from `events/sweeppause`).
    NotifyOptions notify;
};

class SvrManager {
public:
    static constexpr unsigned short kDefaultConfigPort = SettingsSchema::kDefaultConfigPort;
    static constexpr unsigned short kDefaultRelayPortBase = SettingsSchema::kDefaultRelayPortBase;
    static constexpr unsigned short kDefaultCliPortBase = SettingsSchema::kDefaultCliPortBase;
    static constexpr unsigned int kMaxControllers = SettingsSchema::kMaxControllers;

    explicit SvrManager(const SvrManagerOptions& options = SvrManagerOptions());
    virtual ~SvrManager();
    SvrManager(const SvrManager&) = delete;
    SvrManager& operator=(const SvrManager&) = delete;

    // Creates every server (none listening yet). 0, or -1 for more than four controllers.
    int initialize();
    // Starts every server in creation order, then the notification thread (or,
    // without controllers, the re-scan). 0, or -1 when a server could not listen
    // (the notification thread is then not started).
    int run();
    // Shuts every server down and deletes it in creation order, then stops the
    // notification thread (a bounded wait). Always 0.
    int terminate();

    // Relay and command-line port of controller `index`, storing defaults when missing.
    bool GetConfig(int index, unsigned short& httpPort, unsigned short& cliPort);
    // The stored configuration-server port, or 7402.
    unsigned short GetSerConfig();

    // The state folder with a trailing slash: $KVOOMX_HOME, default /var/lib/kvoomx.
    // Everything the service writes lives here: the settings files, page files.
    static std::string HomeFolder();
    static std::string ConfigFilePath();
    static std::string EmailFilePath();
    // The event ledger, beside the settings files.
    static std::string LedgerFilePath();
    // The folder of the static files (webguiroot/, HTML/): the state folder when
    // it holds a webguiroot/ (everything in one folder), else the installed
    // read-only copy (/usr/share/kvoomx).
    static std::string StaticFolder();
    static std::string WebRootPath();

    // The optional `bindaddress` under root: the one IPv4 address every server
    // listens on; empty means all interfaces.
    std::string GetBindAddress();

    EventLedger& Ledger() { return *m_ledger; }

    // Number of servers created by initialize (configuration server included).
    size_t ServerCount() const { return m_servers.size(); }

    // Process-wide service objects, constructed in this order, never replaced.
    static ConfigFileSupport m_configFile;
    static KvoSnmpTrap m_kvoTrap;
    static EmailCenter m_emailcenter;

protected:
    // How many controllers kvoIO found; a seam so a test can report more than four.
    virtual unsigned int ControllerCount();
    // Looks for controllers again (only while none is known); how many there are now.
    virtual unsigned int FindControllersAgain();

private:
    void CreateRelayServers(unsigned int count);
    void StartRescan();
    void StopRescan();
    void RescanLoop();
    // Creates, starts and announces the relays of controllers found late, then the poller.
    void StartLateControllers(unsigned int count);

    std::unique_ptr<Responser> CreateConfigResponser();
    std::unique_ptr<SocketCommAgent> CreateListener(unsigned short port);
    void CreateConfigServer();
    void CreateRelayServer(int index, unsigned short port);
    int RunServers(size_t first);

    // Optional timings under events (tests shorten them); standard values otherwise.
    DeliveryOptions ReadDeliveryOptions();
    // Makes the poller with the options and `events/sweeppause`.
    void ApplyPollerOptions();

    // Created first and shared with the poller, which may outlive terminate's wait.
    std::shared_ptr<MetricsRegistry> m_metrics;
    std::vector<std::unique_ptr<GenericServer>> m_servers;
    std::vector<std::string> m_serverNames;  // for /healthz, beside m_servers
    // Every event is committed to m_ledger, trapped through m_kvoTrap and mailed
    // (and sent to webhooks and hooks, as m_hooks names them) by m_queue's
    // thread through m_emailcenter; the poller hands them to m_dispatcher.
    std::shared_ptr<HookSettings> m_hooks;
    std::shared_ptr<EventLedger> m_ledger;
    std::shared_ptr<DeliveryQueue> m_queue;
    std::shared_ptr<EventDispatcher> m_dispatcher;
    std::unique_ptr<NotifyManager> m_notifyManager;  // made once the settings are read
    std::string m_bindAddress;  // read by initialize, given to every listening socket

    const SvrManagerOptions m_options;
    bool m_awaitingControllers = false;  // none found by initialize
    std::thread m_rescan;
    std::mutex m_rescanLock;  // guards m_stopRescan
    std::condition_variable m_rescanWake;
    bool m_stopRescan = false;
};
