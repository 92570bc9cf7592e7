#include "pages/GlobalMap.h"

#include <mutex>

namespace {

const std::pair<const char*, FUNC_ID> funcNameIdPairs[] = {
    {"controllers.cgi", FUNC_CONTROLLERS},
    {"snmp.cgi", FUNC_SNMP},
    {"email.cgi", FUNC_EMAIL},
    {"SetSmtp", FUNC_SET_SMTP},
    {"AddRecipient", FUNC_ADD_RECIPIENT},
    {"DeleteRecipient", FUNC_DELETE_RECIPIENT},
    {"ShowEmail", FUNC_SHOW_EMAIL},
    {"ShowSnmp", FUNC_SHOW_SNMP},
    {"SetSnmp", FUNC_SET_SNMP},
    {"SendTestTrap", FUNC_SEND_TEST_TRAP},
    {"SendTestMail", FUNC_SEND_TEST_MAIL},
    {"events.cgi", FUNC_EVENTS},
    {"ResendEvent", FUNC_RESEND_EVENT},
    {"SendTestEvent", FUNC_SEND_TEST_EVENT},
    {"hooks.cgi", FUNC_HOOKS},
    {"AddWebhook", FUNC_ADD_WEBHOOK},
    {"RemoveWebhook", FUNC_REMOVE_WEBHOOK},
};

std::map<std::string, FUNC_ID> BuildNameIdMap() {
    std::map<std::string, FUNC_ID> map;
    for (const auto& pair : funcNameIdPairs) map.emplace(pair.first, pair.second);
    return map;
}

std::once_flag funcNamesOnce;

}  // namespace

const std::map<std::string, FUNC_ID> GlobalMap::FuncNameIdMap = BuildNameIdMap();
std::string GlobalMap::FuncNames[FUNC_ID_COUNT];
std::atomic<bool> GlobalMap::bFuncMapInit{false};

void GlobalMap::InitFuncNameIdMap() {
    if (bFuncMapInit.load(std::memory_order_acquire)) return;
    // Page builders on different servers may race to the first lookup.
    std::call_once(funcNamesOnce, [] {
        for (const auto& entry : FuncNameIdMap) FuncNames[entry.second] = entry.first;
        bFuncMapInit.store(true, std::memory_order_release);
    });
}

std::string GlobalMap::GetFuncName(FUNC_ID id) {
    InitFuncNameIdMap();
    if (id < 0 || id >= FUNC_ID_COUNT) return std::string();
    return FuncNames[id];
}

FUNC_ID GlobalMap::GetFuncId(const std::string& name) {
    InitFuncNameIdMap();
    auto it = FuncNameIdMap.find(name);
    return it == FuncNameIdMap.end() ? FUNC_CONTROLLERS : it->second;
}
