#include "pages/HttpOmxResponser.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "config/ConfigFileSupport.h"
#include "config/ConfigSaveBatch.h"
#include "config/SettingsSchema.h"
#include "controller/kvoIO.h"
#include "framework/Console.h"
#include "server/MetricsRegistry.h"
#include "http/BufferResponsor.h"
#include "pages/FormFields.h"
#include "pages/GlobalMap.h"
#include "http/HttpResponsor.h"
#include "pages/LeafElement.h"
#include "pages/PageFile.h"
#include "pages/PageHelpers.h"
#include "http/StatusRecordingClient.h"
#include "pages/XmlDocForWeb.h"

namespace {

const char* const kPortRangeMessage = SettingsSchema::kPortRangeMessage;
static_assert(HttpOmxResponser::kMaxControllers == SettingsSchema::kMaxControllers,
              "the pages store ports of the controllers the settings know");
const char kFatalError[] = "***************Fatal error!***************";
const char kPortsSaved[] =
    "The ports were saved. A changed port takes effect at the next start of the service; "
    "until then each web GUI stays on the port it has now.";

// Pages number controllers from 1, as the alerts do ("Controller 2" is index 1).
std::string ControllerLabel(int index) { return "Controller " + std::to_string(index + 1); }

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Extra header lines of a page rendered to HTML.
const std::string kHtmlHeaders = std::string("Vary: Accept\r\nCache-Control: no-store\r\n") +
                                  BufferResponsor::kNoFraming;

// A management page asked to apply a form: a POST, or a query with fields.
bool WouldChangeSettings(const HttpParser& parser) {
    switch (GetFileType(parser.m_path)) {
        case FILE_TYPE_XML:
        case FILE_TYPE_LOG:
        case FILE_TYPE_OTHER:
            return parser.m_method == HttpParser::METHOD_POST || !parser.m_values.empty();
        default:
            return false;
    }
}

// Hands a test mail's outcome to the page builder for one request.
class TestMailScope {
public:
    TestMailScope(const HttpOmxResponser::TestMailOutcome*& slot, const HttpOmxResponser::TestMailOutcome* outcome)
        : m_slot(slot) {
        m_slot = outcome;
    }
    ~TestMailScope() { m_slot = nullptr; }
    TestMailScope(const TestMailScope&) = delete;
    TestMailScope& operator=(const TestMailScope&) = delete;

private:
    const HttpOmxResponser::TestMailOutcome*& m_slot;
};

}  // namespace

HttpOmxResponser::HttpOmxResponser(const SmtpOptions& testMail) : m_pConfig(nullptr), m_testMailOptions(testMail) {}

HttpOmxResponser::~HttpOmxResponser() = default;

bool HttpOmxResponser::ProcessRequest(Client* client, HttpParser* parser) {
    StatusRecordingClient recorder(client);
    bool keep = Answer(&recorder, parser);
    if (m_pMetrics && recorder.Status() != 0) m_pMetrics->CountPageRequest(recorder.Status());
    return keep;
}

bool HttpOmxResponser::Answer(Client* client, HttpParser* parser) {
    if (!parser->m_path.empty()) parser->m_path.erase(0, 1);
    try {
        // Before the request lock: a slowed wrong password holds up no one else.
        if (parser->m_method <= HttpParser::METHOD_POST) {
            switch (m_guard.Check(*parser, WouldChangeSettings(*parser))) {
                case RequestGuard::REFUSE_CROSS_SITE:
                    Console::PrintLevel(Console::kWarning,
                                        "Refused a change of %s sent from another site\n",
                                        parser->m_path.c_str());
                    return RequestGuard::SendForbidden(client);
                case RequestGuard::NEED_LOGIN:
                    return RequestGuard::SendUnauthorized(client);
                default:
                    break;
            }
        }
        if (parser->m_method <= HttpParser::METHOD_POST && IsMonitoringPath(parser->m_path))
            return ServeMonitoring(client, *parser);
        // The test mail's dialogue may take its whole bound: not under the
        // request lock, so every other page and file keeps answering.
        std::optional<TestMailOutcome> testMail;
        if (parser->m_method <= HttpParser::METHOD_POST && IsTestMailRequest(*parser))
            testMail = RunTestMail(*parser);
        std::lock_guard<KvoLock> request(m_requestLock);
        if (parser->m_method > HttpParser::METHOD_POST) return HttpResponsor::ResponseNotImp(client);
        TestMailScope done(m_testMailDone, testMail ? &*testMail : nullptr);
        switch (GetFileType(parser->m_path)) {
            case FILE_TYPE_XML:
            case FILE_TYPE_LOG:
            case FILE_TYPE_OTHER:
                return Process(client, parser);
            case FILE_TYPE_XSL:
                return ServeFromWebRoot(client, parser, "xsl/");
            default:
                return ServeFromWebRoot(client, parser, "images/");
        }
    } catch (const std::exception&) {
        Console::PrintLevel(Console::kError, "Exception ocurred when response Method=%d,File Name=%s\n",
                            parser->m_method, parser->m_path.c_str());
        // The answer may be half sent: the connection can't be trusted any more.
        return false;
    }
}

bool HttpOmxResponser::IsMonitoringPath(const std::string& path) const {
    return m_pMetrics && (path == "metrics" || path == "healthz");
}

bool HttpOmxResponser::ServeMonitoring(Client* client, const HttpParser& parser) {
    static const std::string kHeaders = "Cache-Control: no-store\r\n";
    bool sent;
    if (parser.m_path == "metrics") {
        sent = BufferResponsor::Send(client, "200 OK", "text/plain; version=0.0.4; charset=utf-8",
                                     m_pMetrics->RenderText(), parser.m_keepAlive, kHeaders);
    } else {
        MetricsRegistry::Health health = m_pMetrics->CheckHealth();
        sent = BufferResponsor::Send(client, health.healthy ? "200 OK" : "503 Service Unavailable",
                                     "text/plain; charset=utf-8", health.text, parser.m_keepAlive,
                                     kHeaders);
    }
    return sent && parser.m_keepAlive;
}

bool HttpOmxResponser::ServeFromWebRoot(Client* client, HttpParser* parser, const char* folder) {
    // A ".." segment could climb out of the web root.
    if (HttpResponsor::HasParentSegment(parser->m_path)) {
        std::lock_guard<KvoLock> files(fileLock);
        return HttpResponsor::ResNotFoundRes(client);
    }
    return HttpResponsor::ResponseGetFile(client, m_rootFolder + folder + parser->m_path,
                                          parser->m_keepAlive, m_sendTimeoutUs);
}

bool HttpOmxResponser::Process(Client* client, HttpParser* parser) {
    std::lock_guard<KvoLock> page(m_pageLock);
    std::unique_ptr<XmlDocForWeb> doc(BuildPage(parser));
    // What a page shows from a request or a server reply may hold bytes no XML
    // reader accepts; the browser would get a broken page instead.
    doc->DropUnwritableText();
    return SendPage(client, *doc, *parser);
}

XmlDocForWeb* HttpOmxResponser::BuildPage(HttpParser* parser) {
    XmlDocForWeb* doc = nullptr;
    switch (GlobalMap::GetFuncId(parser->m_path)) {
        case FUNC_CONTROLLERS:
            return ControllersManagement(parser);
        case FUNC_SNMP:
            doc = SNMPManagement(parser);
            break;
        case FUNC_EMAIL:
            doc = EmailManagement(parser);
            break;
        case FUNC_EVENTS:
            doc = EventsManagement(parser);
            break;
        case FUNC_HOOKS:
            doc = HooksManagement(parser);
            break;
        default:
            // A form action used as a path: show the controllers page.
            Console::PrintLevel(Console::kError, "%s", kFatalError);
            return ControllersManagement(parser);
    }
    if (!doc) {
        Console::PrintLevel(Console::kError, "%s", kFatalError);
        doc = ControllersManagement(parser);
    }
    return doc;
}

bool HttpOmxResponser::SendPage(Client* client, const XmlDocForWeb& doc, const HttpParser& parser) {
    bool keepAlive = parser.m_keepAlive;
    std::string html;
    std::string error;
    if (StylesheetRenderer::AcceptsHtml(parser.m_accept) &&
        m_renderer.RenderDocument(doc, m_rootFolder, html, error)) {
        bool sent = BufferResponsor::Send(client, "200 OK", "text/html; charset=UTF-8", html,
                                          keepAlive, kHtmlHeaders);
        return sent && keepAlive;
    }
    // A stylesheet that fails leaves the page to the browser, as its XML document.
    if (!error.empty()) {
        Console::PrintLevel(Console::kWarning, "Page %s sent as XML: %s\n", doc.Value(),
                            error.c_str());
    }
    PageFile file;  // removed when this returns, whether or not the send worked
    if (!file.Write(doc, doc.Value())) {
        std::lock_guard<KvoLock> files(fileLock);
        return HttpResponsor::ResNotFoundRes(client);
    }
    return HttpResponsor::ResponseGetFile(client, file.Path(), keepAlive, m_sendTimeoutUs);
}

XmlDocForWeb* HttpOmxResponser::ControllersManagement(HttpParser* parser) {
    auto doc = std::make_unique<XmlDocForWeb>("controllers.xml");
    doc->SetXsl("controllers.xsl");
    TiXmlElement* root = doc->SetRootElement("kvo_omx_page");
    doc->SetTitle("Controller Management");

    RememberPortsInUse();
    // The form and the defaults stored while showing it are saved once.
    ConfigSaveBatch batch(m_pConfig);
    bool changed = false;
    std::string error = ApplyControllerPorts(*parser, changed);

    auto* controllers = new TiXmlElement("controllers");
    root->LinkEndChild(controllers);
    unsigned int count = kvoIO::GetInstance()->getControllerCount();
    for (unsigned int i = 0; i < count; ++i) {
        uint16_t httpPort = ReadPortOrStoreZero(static_cast<int>(i), SettingsSchema::kRelayPortKey);
        uint16_t cliPort = ReadPortOrStoreZero(static_cast<int>(i), SettingsSchema::kCliPortKey);
        auto* controller = new TiXmlElement("controller");
        controller->SetAttribute("id", static_cast<int>(i));
        controller->LinkEndChild(new LeafElement("httpport", httpPort));
        controller->LinkEndChild(new LeafElement("cliport", cliPort));
        // The relay keeps the port it was opened on until the next start.
        controller->LinkEndChild(new LeafElement("activeport", i < kMaxControllers ? m_portsInUse[i] : 0));
        controllers->LinkEndChild(controller);
    }

    root->LinkEndChild(new LeafElement("ip", HostAddressForPage(*parser).c_str()));
    if (!error.empty()) {
        root->LinkEndChild(TypedFieldsElement(*parser, "controllers"));
        doc->AddMessage(XmlDocForWeb::MSG_ERROR, error.c_str());
    }
    if (!batch.Commit())
        doc->AddMessage(XmlDocForWeb::MSG_ERROR, SettingsNotSavedMessage(batch.Failure()).c_str());
    else if (changed && error.empty())
        doc->AddMessage(kPageMessageInfo, kPortsSaved);
    return doc.release();
}

void HttpOmxResponser::RememberPortsInUse() {
    // The first page is built after the relays were opened and before any
    // change, so the stored ports are the ones in use.
    if (m_portsRemembered) return;
    m_portsRemembered = true;
    for (int i = 0; i < kMaxControllers; ++i) {
        uint16_t port = 0;
        if (m_pConfig && SettingsSchema(*m_pConfig).RelayPort(i, port) && SettingsSchema::IsRelayPort(port))
            m_portsInUse[i] = port;
    }
}

std::string HttpOmxResponser::ApplyControllerPorts(const HttpParser& parser, bool& changed) {
    std::string error;
    std::map<int, int> relayPorts;  // index -> web GUI port asked for
    for (const auto& field : parser.m_values) {
        if (StartsWith(field.first, "controller_cliport")) {
            if (!StorePort(field.first, field.second, SettingsSchema::kCliPortKey, changed)) error = kPortRangeMessage;
        }
        if (StartsWith(field.first, "controller_httpport")) {
            int index = FormFieldIndex(field.first, "controller_httpport_", 0, kMaxControllers - 1);
            int port = 0;
            if (index < 0) continue;
            if (!PortFromDigits(field.second, port) || !SettingsSchema::IsRelayPort(port))
                error = kPortRangeMessage;
            else
                relayPorts[index] = port;
        }
    }
    std::string clash = RelayPortClash(relayPorts);
    if (!clash.empty()) return clash;
    for (const auto& relay : relayPorts) {
        if (m_pConfig) SettingsSchema(*m_pConfig).SetRelayPort(relay.first, static_cast<uint16_t>(relay.second));
        changed = true;
    }
    return error;
}

// Every relay and the configuration server need a port of their own, or the
// next start fails to open one of them. Swapping two ports in one form is fine:
// the ports as they will be after the form are compared.
std::string HttpOmxResponser::RelayPortClash(const std::map<int, int>& asked) {
    uint16_t configPort = SettingsSchema::kDefaultConfigPort;
    if (m_pConfig) SettingsSchema(*m_pConfig).ConfigPort(configPort);
    int count = static_cast<int>(kvoIO::GetInstance()->getControllerCount());
    std::map<int, int> after;
    for (int i = 0; i < count && i < kMaxControllers; ++i) {
        uint16_t port = 0;
        if (m_pConfig && SettingsSchema(*m_pConfig).RelayPort(i, port)) after[i] = port;
    }
    for (const auto& relay : asked) after[relay.first] = relay.second;
    for (const auto& relay : asked) {
        char text[160];
        if (relay.second == configPort) {
            snprintf(text, sizeof text, "Port %d is the port of these configuration pages; %s needs another port.",
                     relay.second, ControllerLabel(relay.first).c_str());
            return text;
        }
        for (const auto& other : after) {
            if (other.first == relay.first || other.second != relay.second) continue;
            snprintf(text, sizeof text, "Port %d is given to both %s and %s; each controller needs a port of its own.",
                     relay.second, ControllerLabel(std::min(relay.first, other.first)).c_str(),
                     ControllerLabel(std::max(relay.first, other.first)).c_str());
            return text;
        }
    }
    return std::string();
}

bool HttpOmxResponser::StorePort(const std::string& field, const std::string& value,
                                 const char* key, bool& changed) {
    // Only "<prefix>_<hex index>" of a controller the service can drive: any
    // other name would change the wrong controller or grow the file without bound.
    int index = FormFieldIndex(field, std::string("controller_") + key + "_", 0, kMaxControllers - 1);
    if (index < 0) return true;
    int port = 0;
    if (!PortFromDigits(value, port) || !SettingsSchema::IsRelayPort(port)) return false;
    if (m_pConfig) SettingsSchema(*m_pConfig).SetControllerPort(index, key, static_cast<uint16_t>(port));
    changed = true;
    return true;
}

uint16_t HttpOmxResponser::ReadPortOrStoreZero(int index, const char* key) {
    uint16_t port = 0;
    if (!m_pConfig) return 0;
    SettingsSchema settings(*m_pConfig);
    if (!settings.ControllerPort(index, key, port)) settings.SetControllerPort(index, key, 0);
    return port;
}

std::string HttpOmxResponser::HostAddressForPage(const HttpParser& parser) {
    std::string name;
    std::string address;
    GetHostName(name, address);
    // The address the browser used is the one that reaches this host from it.
    size_t colon = parser.m_host.find(':');
    if (colon != 0) address = parser.m_host.substr(0, colon);
    return address;
}

// The SNMP and e-mail pages are in SnmpPage.cpp and EmailPage.cpp.
