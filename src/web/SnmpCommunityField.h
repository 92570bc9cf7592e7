// SnmpCommunityField: the trap community on the SNMP page, stored as
// snmp/trap/community in the main settings file (absent: "public") and handed at
// once to the running trap sender. Stateless; called under the page lock.
#pragma once

#include <string>

#include "config/SettingsSchema.h"

class ConfigFileSupport;
class HttpParser;
class KvoSnmpTrap;
class TiXmlElement;

class SnmpCommunityField {
public:
    static constexpr const char* kField = "trap_community";
    static constexpr const char* kBadValueMessage = SettingsSchema::kCommunityMessage;

    // Applies the form's community field when it is present; the message for a
    // bad value (nothing changes then), or empty.
    static std::string Apply(const HttpParser& parser, ConfigFileSupport* config, KvoSnmpTrap* trap);
    // Appends the leaf "community" with the stored community to `snmp`.
    static void AppendTo(TiXmlElement* snmp, ConfigFileSupport* config);

private:
    static std::string Stored(ConfigFileSupport* config);
};
