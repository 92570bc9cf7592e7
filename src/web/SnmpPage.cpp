// The SNMP page of HttpOmxResponser: the three trap receivers and the level
// mask in the main settings file, handed at once to the running trap sender,
// and a test trap to every receiver. Runs under the responder's page lock.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "config/ConfigFileSupport.h"
#include "config/ConfigSaveBatch.h"
#include "config/SettingsSchema.h"
#include "notify/KvoSnmpTrap.h"
#include "web/FormFields.h"
#include "web/GlobalMap.h"
#include "web/HttpOmxResponser.h"
#include "web/HttpParser.h"
#include "web/LeafElement.h"
#include "web/PageHelpers.h"
#include "web/SnmpCommunityField.h"
#include "web/XmlDocForWeb.h"

namespace {

const char* const kPortRangeMessage = SettingsSchema::kPortRangeMessage;
const char* const kInvalidAddressMessage = SettingsSchema::kInvalidAddressMessage;
const int kFirstReceiver = SettingsSchema::kFirstTrapReceiver;
const int kLastReceiver = SettingsSchema::kLastTrapReceiver;
const char kSnmpSaved[] = "The SNMP settings were saved; traps are sent with them from now on.";

bool FuncIs(const HttpParser& parser, FUNC_ID id) {
    std::string func;
    return parser.GetValue("func", func) && GlobalMap::GetFuncId(func) == id;
}

std::string TestTrapText() {
    std::string name, address;
    GetHostName(name, address);
    return "Test trap from the RAID service on host " + name + " (" + address +
           "): traps from this host reach this receiver.";
}

}  // namespace

XmlDocForWeb* HttpOmxResponser::SNMPManagement(HttpParser* parser) {
    // One save for the form and the defaults the page stores.
    ConfigSaveBatch batch(m_pConfig);
    XmlDocForWeb* doc;
    bool setting = FuncIs(*parser, FUNC_SET_SNMP);
    if (setting)
        doc = SetSnmp(parser);
    else if (FuncIs(*parser, FUNC_SEND_TEST_TRAP))
        doc = SendTestTrap(parser);
    else
        doc = ShowSnmpPage(parser);
    bool refused = doc->PageRoot()->FirstChildElement("typed") != nullptr;
    if (!batch.Commit())
        doc->AddMessage(XmlDocForWeb::MSG_ERROR, SettingsNotSavedMessage(batch.Failure()).c_str());
    else if (setting && !refused)
        doc->AddMessage(kPageMessageInfo, kSnmpSaved);
    return doc;
}

XmlDocForWeb* HttpOmxResponser::ShowSnmpPage(HttpParser* /*parser*/) {
    auto doc = std::make_unique<XmlDocForWeb>("snmp.xml");
    doc->SetXsl("snmp.xsl");
    TiXmlElement* root = doc->SetRootElement("kvo_omx_page");
    doc->SetTitle("SNMP Management");
    auto* snmp = new TiXmlElement("snmp");
    root->LinkEndChild(snmp);
    std::optional<SettingsSchema> settings;
    if (m_pConfig) settings.emplace(*m_pConfig);

    for (int n = kFirstReceiver; n <= kLastReceiver; ++n) {
        auto* client = new TiXmlElement("client");
        client->SetAttribute("id", n);
        snmp->LinkEndChild(client);

        // A receiver shown for the first time is stored as offered.
        std::string ip;
        if (settings && !settings->TrapReceiverAddress(n, ip)) settings->SetTrapReceiverAddress(n, "");
        client->LinkEndChild(new LeafElement("ip", ip.c_str()));

        uint16_t port = SettingsSchema::kTrapPortOffered;
        if (settings && !settings->TrapReceiverPort(n, port)) settings->SetTrapReceiverPort(n, port);
        client->LinkEndChild(new LeafElement("port", port));
    }

    uint8_t levels = SettingsSchema::kDefaultTrapLevels;
    if (settings && !settings->TrapLevels(levels)) settings->SetTrapLevels(levels);
    AppendLevelLeaves(snmp, levels);
    SnmpCommunityField::AppendTo(snmp, m_pConfig);
    return doc.release();
}

XmlDocForWeb* HttpOmxResponser::SetSnmp(HttpParser* parser) {
    std::string error;
    for (const auto& field : parser->m_values) {
        if (field.first.compare(0, 10, "trap_port_") != 0) continue;
        // Receivers 1 to 3 only: any other suffix would add trap elements
        // to the settings file without bound.
        int n = FormFieldIndex(field.first, "trap_port_", kFirstReceiver, kLastReceiver);
        if (n < 0) continue;
        int port = 0;
        if (!field.second.empty() &&
            (!PortFromDigits(field.second, port) || port < 1 || port > SettingsSchema::kHighestTrapPort)) {
            error = kPortRangeMessage;
            break;  // no further receiver is handled
        }
        std::string address;
        if (!parser->GetValue("trap_client_" + std::to_string(n), address)) continue;
        // Only what the trap sender accepts: anything else would be reported as
        // saved for a receiver that never gets a trap.
        if (!address.empty() && !KvoSnmpTrap::IsReceiverAddress(address.c_str())) {
            error = kInvalidAddressMessage;
            continue;
        }
        if (address.empty()) {
            port = 0;
        } else if (port == 0) {
            // A receiver with an address and no port would never get a trap.
            error = kPortRangeMessage;
            break;
        }
        if (m_pConfig) {
            SettingsSchema settings(*m_pConfig);
            settings.SetTrapReceiverAddress(n, address);
            settings.SetTrapReceiverPort(n, static_cast<uint16_t>(port));
        }
        if (m_pTrap) m_pTrap->SetTrapTarget(n, address.c_str(), static_cast<unsigned short>(port), nullptr);
    }

    unsigned char levels = LevelMaskFromFields(parser->m_values);
    if (m_pConfig) SettingsSchema(*m_pConfig).SetTrapLevels(levels);
    if (m_pTrap) m_pTrap->SetTrapLevel(levels);
    std::string communityError = SnmpCommunityField::Apply(*parser, m_pConfig, m_pTrap);
    if (!communityError.empty()) error = communityError;

    XmlDocForWeb* doc = ShowSnmpPage(parser);
    if (!error.empty()) {
        doc->PageRoot()->LinkEndChild(TypedFieldsElement(*parser, "SetSnmp"));
        doc->AddMessage(XmlDocForWeb::MSG_ERROR, error.c_str());
    }
    return doc;
}

XmlDocForWeb* HttpOmxResponser::SendTestTrap(HttpParser* parser) {
    XmlDocForWeb* doc = ShowSnmpPage(parser);
    if (!m_pTrap) {
        doc->AddMessage(XmlDocForWeb::MSG_ERROR, "No test trap sent: the trap sender is not running.");
        return doc;
    }
    std::vector<KvoSnmpTrap::TrapDelivery> deliveries = m_pTrap->SendTestTrap(TestTrapText().c_str());
    if (deliveries.empty()) {
        doc->AddMessage(XmlDocForWeb::MSG_ERROR,
                        "No test trap sent: no trap receiver is set up. Save a receiver's address first.");
        return doc;
    }
    std::string sent, failed;
    for (const auto& delivery : deliveries) {
        if (delivery.sent)
            sent += (sent.empty() ? "" : ", ") + delivery.receiver;
        else
            failed += (failed.empty() ? "" : ", ") + delivery.receiver + " (" + delivery.why + ")";
    }
    if (failed.empty()) {
        doc->AddMessage(kPageMessageInfo, ("Test trap sent to " + sent + ".").c_str());
    } else {
        std::string text = "Test trap not sent to " + failed + ".";
        if (!sent.empty()) text += " Sent to " + sent + ".";
        doc->AddMessage(XmlDocForWeb::MSG_ERROR, text.c_str());
    }
    return doc;
}
