#include "notify/KvoSnmpTrap.h"

#include "config/ConfigFileSupport.h"
#include "config/EventLevels.h"
#include "config/SettingsSchema.h"
#include "server/Console.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

// Last: the library pulls in <syslog.h>, whose LOG_* macros clash with Log.h.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace {

const oid kSysUpTimeOid[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const oid kSnmpTrapOidOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const oid kSysDescrOid[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const oid kEventTrapOid[] = {1, 3, 6, 1, 4, 1, 47321, 1, 1, 0, 1};

// Taken when the program is loaded, so sysUpTime is the service's own uptime.
const std::chrono::steady_clock::time_point g_serviceStart = std::chrono::steady_clock::now();

std::once_flag g_libraryPrepared;

// The library keeps global state and is not built re-entrant.
KvoLock& LibraryLock() {
    static KvoLock lock;
    return lock;
}

struct PduDeleter {
    void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

struct SessionCloser {
    void operator()(void* session) const { snmp_sess_close(session); }
};
using SessionPtr = std::unique_ptr<void, SessionCloser>;

// Hundredths of a second since start, wrapping like a 32-bit TimeTicks counter.
u_int UptimeTicks() {
    auto elapsed = std::chrono::steady_clock::now() - g_serviceStart;
    auto centis = std::chrono::duration_cast<std::chrono::duration<long long, std::centi>>(elapsed);
    return static_cast<u_int>(static_cast<unsigned long long>(centis.count()) & 0xFFFFFFFFull);
}

// Strict dotted-quad parse: no names, no ports, no shorthand forms.
bool ParseDottedIPv4(const char* text, std::string& normalised) {
    in_addr addr{};
    if (inet_pton(AF_INET, text, &addr) != 1) return false;
    char buf[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &addr, buf, sizeof buf)) return false;
    normalised = buf;
    return true;
}

// Console lines go out whole and at once, through the one console path.
__attribute__((format(printf, 1, 2))) void PrintLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Console::VPrintLevel(Console::kInformation, format, args);
    va_end(args);
}

PduPtr BuildTrapPdu(const char* text, u_int ticks) {
    PduPtr pdu(snmp_pdu_create(SNMP_MSG_TRAP2));
    if (!pdu) return nullptr;
    bool ok =
        snmp_pdu_add_variable(pdu.get(), kSysUpTimeOid, OID_LENGTH(kSysUpTimeOid), ASN_TIMETICKS,
                              &ticks, sizeof ticks) &&
        snmp_pdu_add_variable(pdu.get(), kSnmpTrapOidOid, OID_LENGTH(kSnmpTrapOidOid),
                              ASN_OBJECT_ID, kEventTrapOid, sizeof kEventTrapOid) &&
        snmp_pdu_add_variable(pdu.get(), kSysDescrOid, OID_LENGTH(kSysDescrOid), ASN_OCTET_STR,
                              text, std::strlen(text));
    return ok ? std::move(pdu) : nullptr;
}

// The library's text for a failed session, with the system error when there is one.
std::string SessionError(netsnmp_session& settings) {
    int libraryError = 0;
    int systemError = 0;
    char* text = nullptr;
    snmp_error(&settings, &libraryError, &systemError, &text);
    std::string message = text ? text : "unknown error";
    free(text);
    return message;
}

// Opens a session (its own UDP socket on 0.0.0.0, any port) for one receiver.
SessionPtr OpenSession(const std::string& address, unsigned short port,
                       const std::string& community) {
    netsnmp_session settings;
    snmp_sess_init(&settings);
    std::string peer = "udp:" + address + ":" + std::to_string(port);
    settings.version = SNMP_VERSION_2c;
    settings.peername = &peer[0];
    std::string communityCopy = community;
    settings.community = reinterpret_cast<u_char*>(&communityCopy[0]);
    settings.community_len = communityCopy.size();
    SessionPtr session(snmp_sess_open(&settings));
    if (!session) {
        // Traps are fire-and-forget: this event is lost, the next one tries again.
        PrintLine("SNMP++ Session Create Fail, %s\n", SessionError(settings).c_str());
    }
    return session;
}

enum SendResult { SEND_DONE, SEND_SKIPPED, SEND_FAILED, SEND_NO_SESSION };

// SEND_NO_SESSION when no session could be made; the cause is local
// (descriptors, memory), so the caller gives up on this event as a whole.
SendResult SendToReceiver(const netsnmp_pdu& trap, const std::string& address, unsigned short port,
                          const std::string& community) {
    // No receiver listens on port 0 (an unset port reads as 0): keep it off the wire.
    if (port == 0) return SEND_SKIPPED;
    SessionPtr session = OpenSession(address, port, community);
    if (!session) return SEND_NO_SESSION;
    PduPtr copy(snmp_clone_pdu(const_cast<netsnmp_pdu*>(&trap)));
    if (!copy) return SEND_FAILED;
    // On success the library takes the PDU.
    if (snmp_sess_send(session.get(), copy.get()) == 0) return SEND_FAILED;
    copy.release();
    return SEND_DONE;
}

}  // namespace

KvoSnmpTrap::KvoSnmpTrap() : m_trapLevel(0) {}

void KvoSnmpTrap::PrepareLibrary() {
    std::call_once(g_libraryPrepared, [] {
        std::lock_guard<KvoLock> guard(LibraryLock());
        // The sender never calls init_snmp(), which would read snmp.conf, load MIBs
        // and create state directories; these switches keep it that way should any
        // library path reach for them.
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_NO_TOKEN_WARNINGS, 1);
        // The first session set-up initialises the library's globals and transports;
        // doing it here keeps that off the worker threads.
        netsnmp_session settings;
        snmp_sess_init(&settings);
    });
}

int KvoSnmpTrap::Initialize(ConfigFileSupport& config) {
    PrepareLibrary();
    SettingsSchema settings(config);
    uint8_t mask = SettingsSchema::kDefaultTrapLevels;
    settings.TrapLevels(mask);
    SetTrapLevel(mask);
    LoadCommunity(settings);

    int result = 0;
    for (int receiver = 1; receiver <= kReceiverCount; ++receiver) {
        std::string address;
        settings.TrapReceiverAddress(receiver, address);
        uint16_t port = SettingsSchema::kTrapPortUnset;
        settings.TrapReceiverPort(receiver, port);
        PrintLine("Set trap client %s %d\r\n", address.c_str(), port);
        result = SetTrapTarget(receiver, address.c_str(), port, nullptr);
    }
    return result;
}

void KvoSnmpTrap::SetTrapLevel(unsigned char mask) { m_trapLevel.store(mask); }

int KvoSnmpTrap::SetTrapTarget(int receiver, const char* address, unsigned short port,
                               const char* community) {
    if (receiver < 1 || receiver > kReceiverCount) return 0;
    const char* addressText = address ? address : "";
    TrapTarget target;
    if (ParseDottedIPv4(addressText, target.address)) {
        target.valid = true;
        target.port = port;
        target.community = community ? community : "";
    }
    {
        std::lock_guard<KvoLock> guard(m_lock);
        m_targets[receiver - 1] = target;
    }
    if (!target.valid) {
        PrintLine("Invalid Address: %s \n", addressText);
        return -1;
    }
    return 0;
}

std::vector<KvoSnmpTrap::TrapTarget> KvoSnmpTrap::ValidTargets() {
    std::vector<TrapTarget> targets;
    std::lock_guard<KvoLock> guard(m_lock);
    for (const TrapTarget& target : m_targets) {
        if (!target.valid) continue;
        targets.push_back(target);
        if (targets.back().community.empty()) targets.back().community = m_community;
    }
    return targets;
}

bool KvoSnmpTrap::IsCommunity(const std::string& community) {
    if (community.empty() || community.size() > kMaxCommunityLength) return false;
    for (unsigned char c : community) {
        if (c < 0x21 || c > 0x7E) return false;
    }
    return true;
}

bool KvoSnmpTrap::SetCommunity(const std::string& community) {
    if (!IsCommunity(community)) return false;
    std::lock_guard<KvoLock> guard(m_lock);
    m_community = community;
    return true;
}

std::string KvoSnmpTrap::GetCommunity() const {
    std::lock_guard<KvoLock> guard(m_lock);
    return m_community;
}

void KvoSnmpTrap::LoadCommunity(SettingsSchema& settings) {
    std::string community;
    if (!settings.TrapCommunity(community)) return;
    // The community is a shared secret of sorts: name the fault, never the value.
    if (!SetCommunity(community))
        Console::PrintLevel(Console::kWarning,
                            "snmp/trap/community is not 1 to %zu printable characters without "
                            "spaces: traps go out with community \"%s\"\n",
                            kMaxCommunityLength, GetCommunity().c_str());
}

KvoSnmpTrap::TrapCount KvoSnmpTrap::SendTextTrap(int level, const char* text) {
    TrapCount count;
    unsigned char bit = EventLevels::BitOf(level);
    if (bit == 0 || (m_trapLevel.load() & bit) == 0) return count;
    // A snapshot, so a receiver changed meanwhile is either wholly old or wholly new.
    std::vector<TrapTarget> targets = ValidTargets();
    if (targets.empty()) return count;

    PrepareLibrary();
    std::lock_guard<KvoLock> guard(LibraryLock());
    PduPtr trap = BuildTrapPdu(text ? text : "", UptimeTicks());
    for (size_t i = 0; i < targets.size(); ++i) {
        const TrapTarget& target = targets[i];
        SendResult result =
            trap ? SendToReceiver(*trap, target.address, target.port, target.community) : SEND_FAILED;
        if (result == SEND_DONE) ++count.sent;
        if (result == SEND_FAILED) ++count.failed;
        if (result == SEND_NO_SESSION) {
            // This receiver and the ones after it miss the event.
            count.failed += static_cast<unsigned>(targets.size() - i);
            break;
        }
    }
    return count;
}

std::vector<std::string> KvoSnmpTrap::ReceiversFor(int level) {
    std::vector<std::string> receivers;
    unsigned char bit = EventLevels::BitOf(level);
    if (bit == 0 || (m_trapLevel.load() & bit) == 0) return receivers;
    for (const TrapTarget& target : ValidTargets())
        if (target.port != 0) receivers.push_back(target.address + ":" + std::to_string(target.port));
    return receivers;
}

bool KvoSnmpTrap::IsReceiverAddress(const char* text) {
    std::string normalised;
    return text && ParseDottedIPv4(text, normalised);
}

std::vector<KvoSnmpTrap::TrapDelivery> KvoSnmpTrap::SendTestTrap(const char* text) {
    std::vector<TrapDelivery> deliveries;
    std::vector<TrapTarget> targets = ValidTargets();
    if (targets.empty()) return deliveries;

    PrepareLibrary();
    std::lock_guard<KvoLock> guard(LibraryLock());
    PduPtr trap = BuildTrapPdu(text ? text : "", UptimeTicks());
    for (const TrapTarget& target : targets) {
        TrapDelivery delivery;
        delivery.receiver = target.address + ":" + std::to_string(target.port);
        SessionPtr session;
        PduPtr copy;
        if (!trap) {
            delivery.why = "the trap could not be built";
        } else if (target.port == 0) {
            delivery.why = "no port set";
        } else if (!(session = OpenSession(target.address, target.port, target.community))) {
            delivery.why = "no SNMP session could be opened";
        } else if (!(copy = PduPtr(snmp_clone_pdu(trap.get())))) {
            delivery.why = "out of memory";
        } else if (snmp_sess_send(session.get(), copy.get()) == 0) {
            delivery.why = "the SNMP library could not send it";
        } else {
            copy.release();  // the library owns a sent PDU
            delivery.sent = true;
        }
        deliveries.push_back(delivery);
    }
    return deliveries;
}
