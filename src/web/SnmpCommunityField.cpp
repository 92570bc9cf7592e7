#include "web/SnmpCommunityField.h"

#include "config/ConfigFileSupport.h"
#include "config/SettingsSchema.h"
#include "notify/KvoSnmpTrap.h"
#include "web/HttpParser.h"
#include "web/LeafElement.h"

namespace {
// The leaf on the page.
const char kKey[] = "community";
}  // namespace

std::string SnmpCommunityField::Apply(const HttpParser& parser, ConfigFileSupport* config,
                                      KvoSnmpTrap* trap) {
    std::string community;
    if (!parser.GetValue(kField, community)) return "";
    if (!KvoSnmpTrap::IsCommunity(community)) return kBadValueMessage;
    if (config) SettingsSchema(*config).SetTrapCommunity(community);
    if (trap) trap->SetCommunity(community);
    return "";
}

void SnmpCommunityField::AppendTo(TiXmlElement* snmp, ConfigFileSupport* config) {
    snmp->LinkEndChild(new LeafElement(kKey, Stored(config).c_str()));
}

std::string SnmpCommunityField::Stored(ConfigFileSupport* config) {
    std::string community;
    if (!config || !SettingsSchema(*config).TrapCommunity(community)) return KvoSnmpTrap::kDefaultCommunity;
    // What the sender uses: a hand-edited bad value is not in force.
    return KvoSnmpTrap::IsCommunity(community) ? community : KvoSnmpTrap::kDefaultCommunity;
}
