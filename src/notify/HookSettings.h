// HookSettings: where webhooks and command hooks are configured in the main
// settings file: the webhooks in an element of their own (webhooks, one
// child per slot, a removed one left empty for the next), the hooks directory
// and the per-call bounds under events. Holds only a reference to the
// store (the server manager's, which outlives it and guards itself with its own
// lock), so any thread may use it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "config/SettingsSchema.h"
#include "notify/WebhookChannel.h"

class ConfigFileSupport;

struct WebhookEntry {
    unsigned slot = 0;  // stable while the entry lives: what the page removes by
    std::string url;
    WebhookSettings::Format format = WebhookSettings::GENERIC;
};

class HookSettings {
public:
    static constexpr const char* kDefaultHooksDirectory = SettingsSchema::kDefaultHooksDirectory;
    static constexpr size_t kMaxUrlLength = SettingsSchema::kMaxUrlLength;

    explicit HookSettings(ConfigFileSupport& config) : m_config(config) {}

    std::vector<WebhookEntry> Webhooks() const;
    // Empty when stored, else why not (the page shows it beside the field).
    std::string AddWebhook(const std::string& url, WebhookSettings::Format format);
    // False when no webhook holds `slot`.
    bool RemoveWebhook(unsigned slot);

    // `hooksdir`, default /etc/kvoomx/hooks.d.
    std::string HooksDirectory() const;
    // `webhookbound` and `hookbound` in seconds, defaults 10 and 30.
    std::chrono::milliseconds WebhookBound() const;
    std::chrono::milliseconds HookBound() const;

private:
    bool ReadSlot(unsigned slot, WebhookEntry& entry) const;

    ConfigFileSupport& m_config;
};
