#include "pages/SnmpCommunityField.h"

#include "config/ConfigFileSupport.h"
#include "notify/KvoSnmpTrap.h"
#include "http/HttpParser.h"
#include "pages/LeafElement.h"

namespace {
const char kTrapPath[] = "/root/snmp/trap";
const char kKey[] = "community";
}  // namespace

std::string SnmpCommunityField::Apply(const HttpParser& parser, ConfigFileSupport* config,
                                      KvoSnmpTrap* trap) {
    std::string community;
    if (!parser.GetValue(kField, community)) return "";
    if (!KvoSnmpTrap::IsCommunity(community)) return kBadValueMessage;
    if (config) config->SetConfigValue(kTrapPath, kKey, community.c_str());
    if (trap) trap->SetCommunity(community);
    return "";
}

void SnmpCommunityField::AppendTo(TiXmlElement* snmp, ConfigFileSupport* config) {
    snmp->LinkEndChild(new LeafElement(kKey, Stored(config).c_str()));
}

std::string SnmpCommunityField::Stored(ConfigFileSupport* config) {
    char community[64] = {0};
    if (!config || !config->GetConfigValue(kTrapPath, kKey, community, sizeof community))
        return KvoSnmpTrap::kDefaultCommunity;
    community[sizeof community - 1] = '\0';
    // What the sender uses: a hand-edited bad value is not in force.
    return KvoSnmpTrap::IsCommunity(community) ? community : KvoSnmpTrap::kDefaultCommunity;
}
