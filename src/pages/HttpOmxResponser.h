// HttpOmxResponser: the responder of the configuration server. Stylesheets and
// images come from the web root; every other path is a management page, built
// as an XML page document after the submitted form has been applied to the
// configuration store. A browser that takes HTML gets the page rendered with its
// stylesheet here; otherwise (or when the stylesheet fails) the document is saved
// to a private file, sent as XML and removed.
// One instance per configuration server (owned by it), shared by all of its
// connections' receive threads: m_requestLock serialises whole requests, then
// m_pageLock guards building, sending and removing a page, then fileLock.
// m_pConfig is set by the server manager before the server starts; not owned.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "KvoLock.h"
#include "SmtpOptions.h"
#include "http/HttpResponser.h"
#include "http/RequestGuard.h"
#include "pages/StylesheetRenderer.h"

class ConfigFileSupport;
class EmailCenter;
class EventDispatcher;
class HookSettings;
struct EmailActionOutcome;
class KvoSnmpTrap;
class MetricsRegistry;
class XmlDocForWeb;

class HttpOmxResponser : public HttpResponser {
public:
    // Controllers the service can drive; ports of higher indexes are not stored.
    static const int kMaxControllers = 4;

    // `testMail`: the bounds of the e-mail page's test mail.
    explicit HttpOmxResponser(const SmtpOptions& testMail = SmtpOptions());
    ~HttpOmxResponser() override;

    // Answers one request and counts it by status in m_pMetrics.
    bool ProcessRequest(Client* client, HttpParser* parser) override;

    // Answers one management page; true keeps the connection.
    bool Process(Client* client, HttpParser* parser);

    // Page builders: each returns a new document owned by the caller, or null.
    XmlDocForWeb* ControllersManagement(HttpParser* parser);
    XmlDocForWeb* SNMPManagement(HttpParser* parser);
    XmlDocForWeb* EmailManagement(HttpParser* parser);

    // SNMP page (SnmpPage.cpp): show, apply the form, send a test trap.
    XmlDocForWeb* ShowSnmpPage(HttpParser* parser);
    XmlDocForWeb* SetSnmp(HttpParser* parser);
    XmlDocForWeb* SendTestTrap(HttpParser* parser);
    // E-mail page (EmailPage.cpp): show, apply one action by its FUNC_ID.
    XmlDocForWeb* ShowEmailPage(HttpParser* parser);
    XmlDocForWeb* SetEmailNotification(HttpParser* parser, int funcId);
    XmlDocForWeb* SendTestMail(HttpParser* parser);
    // The test mail's dialogue alone, without the page; any thread, no lock.
    struct TestMailOutcome {
        bool sent = false;
        std::string text;
    };
    TestMailOutcome RunTestMail(const HttpParser& parser);
    static bool IsTestMailRequest(const HttpParser& parser);
    // Events page (EventsPage.cpp): the ledger's recent events and what became
    // of their traps and mails; send an event's mail again; send a test event.
    XmlDocForWeb* EventsManagement(HttpParser* parser);
    // Hooks page (HooksPage.cpp): list, add and remove webhooks; show the
    // hooks directory and the hooks it holds now.
    XmlDocForWeb* HooksManagement(HttpParser* parser);
    // Cross-site refusal and the optional administrator login.
    RequestGuard& Guard() { return m_guard; }

    KvoLock m_pageLock;
    KvoLock m_requestLock;
    ConfigFileSupport* m_pConfig;
    // The service's trap sender and e-mail center, set with m_pConfig; not
    // owned. Without them the pages still show and store their settings.
    KvoSnmpTrap* m_pTrap = nullptr;
    EmailCenter* m_pEmailCenter = nullptr;
    // The service's counters, behind /metrics and /healthz; not owned. Without
    // it those paths are pages like any other.
    MetricsRegistry* m_pMetrics = nullptr;
    // The event path (ledger, traps, delivery queue) for the events page; shared.
    std::shared_ptr<EventDispatcher> m_pEvents;
    // Where webhooks and the hooks directory are configured; shared.
    std::shared_ptr<HookSettings> m_pHooks;
    const SmtpOptions m_testMailOptions;

private:
    bool Answer(Client* client, HttpParser* parser);
    // /metrics and /healthz: answered from the counters, without the page locks.
    bool IsMonitoringPath(const std::string& path) const;
    bool ServeMonitoring(Client* client, const HttpParser& parser);
    bool ServeFromWebRoot(Client* client, HttpParser* parser, const char* folder);
    // As HTML rendered here when the browser accepts it, else the XML document.
    bool SendPage(Client* client, const XmlDocForWeb& doc, const HttpParser& parser);
    XmlDocForWeb* BuildPage(HttpParser* parser);

    // Stores each controller_cliport_* / controller_httpport_* field; the last
    // refusal's message, or empty.
    // `changed` is set when a port was stored.
    std::string ApplyControllerPorts(const HttpParser& parser, bool& changed);
    bool StorePort(const std::string& field, const std::string& value, const char* key, bool& changed);
    // The message when a web GUI port asked for (index -> port) is the
    // configuration port or another controller's; empty when all are free.
    std::string RelayPortClash(const std::map<int, int>& asked);
    void RememberPortsInUse();
    // Reads a 16-bit key, storing 0 when it is missing; 0 without a store.
    uint16_t ReadPortOrStoreZero(int index, const char* key);
    static std::string HostAddressForPage(const HttpParser& parser);

    // E-mail actions (EmailPage.cpp): what each leaves on the page.
    XmlDocForWeb* EmailPageWith(HttpParser* parser, const EmailActionOutcome& outcome, const char* form);
    EmailActionOutcome SetSmtpAccount(const HttpParser& parser);
    EmailActionOutcome AddRecipient(const HttpParser& parser);
    EmailActionOutcome DeleteRecipients(const HttpParser& parser);
    EmailActionOutcome SetRecipientLevels(const HttpParser& parser);
    RequestGuard m_guard;
    StylesheetRenderer m_renderer;
    // The outcome of a test mail sent before the request lock was taken; set
    // and cleared under m_requestLock.
    const TestMailOutcome* m_testMailDone = nullptr;
    // Web GUI ports the relays were opened on (0: none), under m_pageLock.
    bool m_portsRemembered = false;
    uint16_t m_portsInUse[kMaxControllers] = {};
};
