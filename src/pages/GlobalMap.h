// GlobalMap: the registry of page and form-action names (page paths such as
// "snmp.cgi", "func" values such as "SetSmtp") and their FUNC_ID numbers.
// Static only. The name-to-id map is built at program start and never changed;
// the id-to-name table is filled once on first lookup (call_once), so any
// thread may look names up.
#pragma once

#include <atomic>
#include <map>
#include <string>

enum FUNC_ID {
    FUNC_CONTROLLERS = 0,  // "controllers.cgi", and every name that is not registered
    FUNC_SNMP = 1,         // "snmp.cgi"
    FUNC_EMAIL = 2,        // "email.cgi"
    FUNC_SET_SMTP = 3,
    FUNC_ADD_RECIPIENT = 4,
    FUNC_DELETE_RECIPIENT = 5,
    FUNC_SHOW_EMAIL = 6,
    FUNC_SHOW_SNMP = 7,
    FUNC_SET_SNMP = 8,
    // The pages' own tests, added after the original actions.
    FUNC_SEND_TEST_TRAP = 9,
    FUNC_SEND_TEST_MAIL = 10,
    // The events page and its actions.
    FUNC_EVENTS = 11,
    FUNC_RESEND_EVENT = 12,
    FUNC_SEND_TEST_EVENT = 13,
    FUNC_HOOKS = 14,  // "hooks.cgi"
    FUNC_ADD_WEBHOOK = 15,
    FUNC_REMOVE_WEBHOOK = 16,
    FUNC_ID_COUNT = 17
};

class GlobalMap {
public:
    GlobalMap() = delete;

    static void InitFuncNameIdMap();
    // The registered name of `id`; empty for an id out of range.
    static std::string GetFuncName(FUNC_ID id);
    // Exact, case-sensitive lookup; FUNC_CONTROLLERS (0) when not registered.
    static FUNC_ID GetFuncId(const std::string& name);

    static const std::map<std::string, FUNC_ID> FuncNameIdMap;
    static std::string FuncNames[FUNC_ID_COUNT];
    static std::atomic<bool> bFuncMapInit;
};
