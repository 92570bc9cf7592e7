#include "notify/HookSettings.h"

#include <vector>

#include "config/ConfigFileSupport.h"

namespace {
const char kEventsPath[] = "/root/events";
// Beyond any real use; bounds the walk over a hand-edited file.
const unsigned kMaxSlots = 1000;

std::chrono::milliseconds BoundSetting(ConfigFileSupport& config, const char* key, uint32_t seconds) {
    uint32_t value = 0;
    if (config.GetConfigValue_U32(kEventsPath, key, value) && value > 0) seconds = value;
    return std::chrono::seconds(seconds);
}
}  // namespace

std::string HookSettings::SlotPath(unsigned slot) { return "/root/webhooks/webhook" + std::to_string(slot); }

// False when the slot does not exist; an empty URL is a removed entry.
bool HookSettings::ReadSlot(unsigned slot, WebhookEntry& entry) const {
    std::vector<char> text(HookSettings::kMaxUrlLength + 64, '\0');
    std::string path = SlotPath(slot);
    if (!m_config.GetConfigValue(path.c_str(), "url", text.data(), static_cast<int>(text.size()))) return false;
    entry.slot = slot;
    entry.url = text.data();
    char format[32] = {0};
    entry.format = WebhookSettings::GENERIC;
    if (m_config.GetConfigValue(path.c_str(), "format", format, sizeof format))
        WebhookChannel::FormatByName(format, entry.format);
    return true;
}

std::vector<WebhookEntry> HookSettings::Webhooks() const {
    std::vector<WebhookEntry> hooks;
    WebhookEntry entry;
    for (unsigned slot = 1; slot <= kMaxSlots && ReadSlot(slot, entry); ++slot)
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
    for (; slot <= kMaxSlots && ReadSlot(slot, entry); ++slot) {
        if (entry.url == url && entry.format == format) return "This webhook is already in the list.";
        if (entry.url.empty() && !freeSlot) freeSlot = slot;
    }
    if (!freeSlot) freeSlot = slot;
    if (freeSlot > kMaxSlots) return "No more webhooks can be added.";
    std::string path = SlotPath(freeSlot);
    if (!m_config.SetConfigValue(path.c_str(), "url", url.c_str()) ||
        !m_config.SetConfigValue(path.c_str(), "format", WebhookChannel::FormatName(format)))
        return "The webhook could not be stored.";
    return "";
}

bool HookSettings::RemoveWebhook(unsigned slot) {
    WebhookEntry entry;
    if (slot == 0 || !ReadSlot(slot, entry) || entry.url.empty()) return false;
    return m_config.SetConfigValue(SlotPath(slot).c_str(), "url", "") != 0;
}

std::string HookSettings::HooksDirectory() const {
    char text[1024] = {0};
    if (m_config.GetConfigValue(kEventsPath, "hooksdir", text, sizeof text) && text[0]) return text;
    return kDefaultHooksDirectory;
}

std::chrono::milliseconds HookSettings::WebhookBound() const { return BoundSetting(m_config, "webhookbound", 10); }

std::chrono::milliseconds HookSettings::HookBound() const { return BoundSetting(m_config, "hookbound", 30); }
