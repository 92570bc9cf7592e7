#include "notify/HookSettings.h"

#include <vector>

#include "config/ConfigFileSupport.h"
#include "config/SettingsSchema.h"

// False when the slot does not exist; an empty URL is a removed entry.
bool HookSettings::ReadSlot(unsigned slot, WebhookEntry& entry) const {
    SettingsSchema settings(m_config);
    if (!settings.WebhookUrl(slot, entry.url)) return false;
    entry.slot = slot;
    std::string format;
    entry.format = WebhookSettings::GENERIC;
    if (settings.WebhookFormat(slot, format)) WebhookChannel::FormatByName(format, entry.format);
    return true;
}

std::vector<WebhookEntry> HookSettings::Webhooks() const {
    std::vector<WebhookEntry> hooks;
    WebhookEntry entry;
    for (unsigned slot = 1; slot <= SettingsSchema::kMaxWebhookSlots && ReadSlot(slot, entry); ++slot)
        if (!entry.url.empty()) hooks.push_back(entry);
    return hooks;
}

std::string HookSettings::AddWebhook(const std::string& url, WebhookSettings::Format format) {
    if (url.empty()) return "Enter the webhook's URL.";
    if (url.size() > kMaxUrlLength)
        return "The webhook URL is longer than " + std::to_string(kMaxUrlLength) + " characters.";
    WebhookSettings settings;
    settings.url = url;
    settings.format = format;
    WebhookChannel probe(settings);
    if (!probe.UrlProblem().empty()) return "The webhook URL cannot be used: " + probe.UrlProblem() + ".";
    unsigned slot = 1;
    WebhookEntry entry;
    unsigned freeSlot = 0;
    for (; slot <= SettingsSchema::kMaxWebhookSlots && ReadSlot(slot, entry); ++slot) {
        if (entry.url == url && entry.format == format) return "This webhook is already in the list.";
        if (entry.url.empty() && !freeSlot) freeSlot = slot;
    }
    if (!freeSlot) freeSlot = slot;
    if (freeSlot > SettingsSchema::kMaxWebhookSlots) return "No more webhooks can be added.";
    if (!SettingsSchema(m_config).SetWebhook(freeSlot, url, WebhookChannel::FormatName(format)))
        return "The webhook could not be stored.";
    return "";
}

bool HookSettings::RemoveWebhook(unsigned slot) {
    WebhookEntry entry;
    if (slot == 0 || !ReadSlot(slot, entry) || entry.url.empty()) return false;
    return SettingsSchema(m_config).ClearWebhook(slot);
}

std::string HookSettings::HooksDirectory() const { return SettingsSchema(m_config).HooksDirectory(); }

std::chrono::milliseconds HookSettings::WebhookBound() const {
    return std::chrono::seconds(SettingsSchema(m_config).EventsPositive(SettingsSchema::kWebhookBound));
}

std::chrono::milliseconds HookSettings::HookBound() const {
    return std::chrono::seconds(SettingsSchema(m_config).EventsPositive(SettingsSchema::kHookBound));
}
