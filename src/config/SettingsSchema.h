// SettingsSchema: every setting of the main settings file by meaning rather
// than by path: where it is stored, its default, its range and the message that
// refuses a bad value are kept here and nowhere else. A view on the store it is
// made with (not owned; the store outlives it and guards itself), so any thread
// may make one and use it.
#pragma once

#include <cstdint>
#include <string>

#include "config/EmailSettingsSchema.h"

class ConfigFileSupport;

class SettingsSchema {
public:
    // Controllers: relay ("httpport") and command-line ("cliport") ports under
    // controller<index>, hexadecimal, written with these defaults on first start.
    static constexpr int kMaxControllers = 4;
    static constexpr uint16_t kDefaultConfigPort = 7402;
    static constexpr uint16_t kDefaultRelayPortBase = 7412;
    static constexpr uint16_t kDefaultCliPortBase = 7414;
    // 65535 is refused: no relay is opened on it (nor on 0).
    static constexpr int kLowestRelayPort = 1;
    static constexpr int kHighestRelayPort = 65534;
    static constexpr const char* kPortRangeMessage = EmailSettingsSchema::kPortRangeMessage;

    // Trap receivers 1 to 3 under snmp/trap/trap<n>. A port that is not stored
    // reads as 0, "no port": the sender sends nothing there. A receiver shown on
    // the page for the first time is offered (and stored with) the SNMP trap port.
    static constexpr int kFirstTrapReceiver = 1;
    static constexpr int kLastTrapReceiver = 3;
    static constexpr uint16_t kTrapPortUnset = 0;
    static constexpr uint16_t kTrapPortOffered = 162;
    static constexpr int kHighestTrapPort = 65535;
    static constexpr const char* kInvalidAddressMessage = "Invalid IP address.";
    // The level mask of traps (EventLevels bits); none until set on the page.
    static constexpr uint8_t kDefaultTrapLevels = 0;
    static constexpr const char* kDefaultCommunity = "public";
    static constexpr size_t kMaxCommunityLength = 32;
    static constexpr const char* kCommunityMessage =
        "The community must be 1 to 32 characters: letters, digits or punctuation, no spaces.";

    // Numbers under events, each with the value used when it is not stored.
    struct EventsNumber {
        const char* key;
        uint32_t fallback;
    };
    static constexpr EventsNumber kMailBound{"mailbound", 120};        // seconds
    static constexpr EventsNumber kFirstRetry{"firstretry", 60};       // seconds
    static constexpr EventsNumber kMaxRetry{"maxretry", 3600};         // seconds
    static constexpr EventsNumber kGiveUp{"giveup", 86400};            // seconds
    static constexpr EventsNumber kSweepPause{"sweeppause", 0};        // ms, 0: the poller's own
    static constexpr EventsNumber kSilentVisits{"silentvisits", 0};    // 0: the dispatcher's own
    static constexpr EventsNumber kWebhookBound{"webhookbound", 10};   // seconds, 0 reads as unset
    static constexpr EventsNumber kHookBound{"hookbound", 30};         // seconds, 0 reads as unset
    static constexpr const char* kDefaultHooksDirectory = "/etc/kvoomx/hooks.d";
    // Webhooks under webhooks/webhook<slot> (from 1), a removed one left empty.
    static constexpr unsigned kMaxWebhookSlots = 1000;
    static constexpr size_t kMaxUrlLength = 2000;
    // Identifiers of SCSI generic devices under scsigeneric/device<index>.
    static constexpr int kMaxDeviceIdentifiers = 16;

    // Element names, for readers of the document itself (the configuration check).
    static constexpr const char* kRoot = "root";
    static constexpr const char* kConfigPortKey = "configport";
    static constexpr const char* kRelayPortKey = "httpport";
    static constexpr const char* kCliPortKey = "cliport";
    static constexpr const char* kBindAddressKey = "bindaddress";
    static constexpr const char* kWebhooksElement = "webhooks";
    static std::string ControllerElement(int index);

    explicit SettingsSchema(ConfigFileSupport& config) : m_config(config) {}

    static uint16_t DefaultRelayPort(int index) { return static_cast<uint16_t>(kDefaultRelayPortBase + 10 * index); }
    static uint16_t DefaultCliPort(int index) { return static_cast<uint16_t>(kDefaultCliPortBase + 10 * index); }
    static bool IsRelayPort(int port) { return port >= kLowestRelayPort && port <= kHighestRelayPort; }

    // Each getter is false (and leaves `value` alone) when nothing is stored.
    bool ConfigPort(uint16_t& value);
    bool RelayPort(int index, uint16_t& value);
    bool SetRelayPort(int index, uint16_t value);
    bool CliPort(int index, uint16_t& value);
    bool SetCliPort(int index, uint16_t value);
    // Either port by its key (kRelayPortKey or kCliPortKey), for forms naming it.
    bool ControllerPort(int index, const char* key, uint16_t& value);
    bool SetControllerPort(int index, const char* key, uint16_t value);

    // Trimmed; empty when not set.
    std::string BindAddress();
    // The crypt(3) hash of the pages' password; empty when not set.
    std::string AdminPasswordHash();
    // "auto", "socket" or "sg" as stored (trimmed); empty when not set.
    std::string DriverBridgeMode();
    // scsigeneric/`key` ("sysfs", "devdir") and scsigeneric/device<index>/`key`, trimmed.
    std::string ScsiGeneric(const char* key);
    std::string ScsiDevice(int index, const char* key);

    bool TrapLevels(uint8_t& mask);
    bool SetTrapLevels(uint8_t mask);
    bool TrapCommunity(std::string& community);
    bool SetTrapCommunity(const std::string& community);
    bool TrapReceiverAddress(int receiver, std::string& address);
    bool SetTrapReceiverAddress(int receiver, const std::string& address);
    bool TrapReceiverPort(int receiver, uint16_t& port);
    bool SetTrapReceiverPort(int receiver, uint16_t port);

    // The stored number, or the setting's fallback.
    uint32_t Events(const EventsNumber& number);
    // The stored number when above 0, else the fallback.
    uint32_t EventsPositive(const EventsNumber& number);
    // events/hooksdir, or the default when not set or empty.
    std::string HooksDirectory();

    // False when slot `slot` does not exist; an empty URL is a removed entry.
    bool WebhookUrl(unsigned slot, std::string& url);
    bool WebhookFormat(unsigned slot, std::string& format);
    bool SetWebhook(unsigned slot, const std::string& url, const std::string& format);
    bool ClearWebhook(unsigned slot);

private:
    // The stored text when it fits `bufferSize` bytes with its end (a longer
    // one reads as empty); false when not stored.
    bool Text(const std::string& path, const char* key, int bufferSize, std::string& text);
    bool Port(const std::string& path, const char* key, uint16_t& value);
    std::string Trimmed(const std::string& path, const char* key, int bufferSize);

    ConfigFileSupport& m_config;
};
