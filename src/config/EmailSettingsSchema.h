// EmailSettingsSchema: every setting of the e-mail settings file: its element
// name, and where the file decides one, its default and range. Names only, no
// state; any thread.
#pragma once

#include <cstdint>

#include "config/EventLevels.h"

struct EmailSettingsSchema {
    static constexpr const char* kRoot = "root";
    // The account, in the order a new file lists them; numbers are decimal.
    static constexpr const char* kAuthType = "byAuthType";
    static constexpr const char* kAuth = "byAuth";  // 1 log in, 2 notification off
    static constexpr const char* kLoginName = "szLoginName";
    static constexpr const char* kMailFrom = "szMailFrom";
    static constexpr const char* kPassword = "szPassword";  // Base64
    static constexpr const char* kServer = "szSMTPServer";
    static constexpr const char* kPort = "uPort";
    static constexpr unsigned kLowestPort = 1;
    static constexpr unsigned kHighestPort = 65535;
    static constexpr const char* kPortRangeMessage = "Port number should be in the range 1 to 65535.";
    // Connection security, elements of their own: absent means none / check on.
    static constexpr const char* kSecurity = "bySecurity";
    static constexpr const char* kTlsFlags = "byTlsFlags";
    // Trusted authorities for the server's certificate; absent: the system's store.
    static constexpr const char* kCaFile = "szCAFile";

    // Recipients: Rcpt holds one recipient element each.
    static constexpr const char* kRcpt = "Rcpt";
    static constexpr const char* kRecipient = "recipient";
    static constexpr const char* kLevel = "byLevel";  // EventLevels mask
    static constexpr const char* kAddress = "szMailAddress";
    static constexpr const char* kName = "szName";
    // A recipient without byLevel gets information mails only.
    static constexpr uint8_t kDefaultRecipientLevels = EventLevels::kInformation;
};
