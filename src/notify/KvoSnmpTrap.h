// KvoSnmpTrap: forwards controller events as SNMPv2c notifications to up to three
// receivers, filtered by a level mask. SvrManager owns the one instance (static
// `m_kvoTrap`) for the whole process. Initialize runs on the main thread before any
// other thread; SetTrapTarget/SetTrapLevel run on configuration-server client threads,
// SendTextTrap on the notify thread. `m_lock` guards the target table and the
// community; a process-wide
// library lock serialises every use of the SNMP library (it is not re-entrant).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "KvoLock.h"
#include "config/SettingsSchema.h"

class ConfigFileSupport;

class KvoSnmpTrap {
public:
    static constexpr int kReceiverCount = SettingsSchema::kLastTrapReceiver;
    static constexpr const char* kDefaultCommunity = SettingsSchema::kDefaultCommunity;
    static constexpr size_t kMaxCommunityLength = SettingsSchema::kMaxCommunityLength;

    KvoSnmpTrap();
    ~KvoSnmpTrap() = default;
    KvoSnmpTrap(const KvoSnmpTrap&) = delete;
    KvoSnmpTrap& operator=(const KvoSnmpTrap&) = delete;

    // Loads the level mask, the community and the three receivers from the main
    // configuration.
    // Returns the result of the last SetTrapTarget call.
    int Initialize(ConfigFileSupport& config);

    void SetTrapLevel(unsigned char mask);
    unsigned char GetTrapLevel() const { return m_trapLevel.load(); }

    // 0 when set or when `receiver` is not 1..3 (then nothing changes); -1 when the
    // address is not a dotted IPv4 address (the receiver is cleared). A null or
    // empty community means the sender's community (SetCommunity), which follows
    // later changes. Names are never resolved.
    int SetTrapTarget(int receiver, const char* address, unsigned short port,
                      const char* community);

    // Sends `text` to every valid receiver, in receiver order, when `level` ('I',
    // 'W' or 'E' as an int) is enabled in the mask.
    struct TrapCount {
        unsigned sent = 0;
        unsigned failed = 0;  // no session, or the library could not send
    };
    TrapCount SendTextTrap(int level, const char* text);

    // The receivers ("address:port") an event of `level` is sent to now.
    std::vector<std::string> ReceiversFor(int level);

    // What became of a test trap for one receiver ("address:port").
    struct TrapDelivery {
        std::string receiver;
        bool sent = false;
        std::string why;  // when not sent
    };
    // The SNMP page's test: sends `text` to every valid receiver, in receiver
    // order, whatever the level mask; one entry per valid receiver.
    std::vector<TrapDelivery> SendTestTrap(const char* text);

    // The community of receivers set without their own; false (nothing changes)
    // when `community` is not one IsCommunity accepts.
    bool SetCommunity(const std::string& community);
    std::string GetCommunity() const;
    // 1 to kMaxCommunityLength printable ASCII characters without spaces: what
    // every SNMP manager's configuration can name.
    static bool IsCommunity(const std::string& community);

    // True for exactly the receiver addresses SetTrapTarget accepts (dotted IPv4).
    static bool IsReceiverAddress(const char* text);

    // One-time set-up of the SNMP library: no host configuration or MIB files are
    // read and no persistent state is written. Idempotent; call it before threads
    // start (Initialize does).
    static void PrepareLibrary();

private:
    struct TrapTarget {
        bool valid = false;
        std::string address;  // dotted IPv4, as normalised by inet_ntop
        unsigned short port = 0;
        std::string community;  // empty: the sender's community
    };

    // Valid receivers, each with the community it is sent with.
    std::vector<TrapTarget> ValidTargets();
    void LoadCommunity(SettingsSchema& settings);

    std::atomic<unsigned char> m_trapLevel;
    TrapTarget m_targets[kReceiverCount];
    std::string m_community = kDefaultCommunity;
    mutable KvoLock m_lock;
};
