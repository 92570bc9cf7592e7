// The hooks page of HttpOmxResponser: the webhooks every event is posted to
// (shown without user:password or query), adding and removing one, and the
// hooks directory with the programs it holds now. Runs under the responder's
// page lock; the settings store guards itself.
#include <memory>
#include <string>

#include "config/ConfigSaveBatch.h"
#include "notify/CommandHookChannel.h"
#include "notify/EventTargetChannel.h"
#include "notify/HookSettings.h"
#include "pages/FormFields.h"
#include "pages/GlobalMap.h"
#include "pages/HttpOmxResponser.h"
#include "http/HttpParser.h"
#include "pages/LeafElement.h"
#include "pages/XmlDocForWeb.h"

namespace {

struct HookAction {
    int type = kPageMessageInfo;
    std::string message;
    bool refused = false;  // the add form is shown again as typed
};

HookAction AddWebhook(HookSettings& hooks, const HttpParser& parser) {
    std::string url, formatName;
    RawFormValue(parser, "webhook_url", url);
    parser.GetValue("webhook_format", formatName);
    WebhookSettings::Format format = WebhookSettings::GENERIC;
    HookAction action;
    std::string problem = WebhookChannel::FormatByName(formatName, format)
                              ? hooks.AddWebhook(url, format)
                              : "Choose the webhook's format: generic or alertmanager.";
    if (problem.empty()) {
        action.message = "The webhook was added: every event is posted to it from now on.";
    } else {
        action = HookAction{XmlDocForWeb::MSG_ERROR, problem, true};
    }
    return action;
}

HookAction RemoveWebhook(HookSettings& hooks, const HttpParser& parser) {
    std::string text;
    parser.GetValue("slot", text);
    unsigned long slot = 0;
    if (!text.empty() && text.size() < 6 && text.find_first_not_of("0123456789") == std::string::npos)
        slot = std::stoul(text);
    if (slot && hooks.RemoveWebhook(static_cast<unsigned>(slot)))
        return HookAction{kPageMessageInfo, "The webhook was removed.", false};
    return HookAction{XmlDocForWeb::MSG_ERROR, "No such webhook.", false};
}

TiXmlElement* WebhooksElement(const HookSettings& hooks) {
    auto* list = new TiXmlElement("webhooks");
    list->SetAttribute("bound", static_cast<int>(hooks.WebhookBound().count() / 1000));
    for (const auto& entry : hooks.Webhooks()) {
        auto* webhook = new TiXmlElement("webhook");
        webhook->SetAttribute("slot", static_cast<int>(entry.slot));
        webhook->SetAttribute("format", WebhookChannel::FormatName(entry.format));
        WebhookSettings settings;
        settings.url = entry.url;
        settings.format = entry.format;
        webhook->LinkEndChild(new LeafElement("url", WebhookChannel(settings).Describe().c_str()));
        list->LinkEndChild(webhook);
    }
    return list;
}

TiXmlElement* HooksElement(const HookSettings& hooks) {
    std::string directory = hooks.HooksDirectory();
    auto* list = new TiXmlElement("hooks");
    list->SetAttribute("bound", static_cast<int>(hooks.HookBound().count() / 1000));
    list->LinkEndChild(new LeafElement("directory", directory.c_str()));
    for (const auto& program : CommandHookChannel::ListHooks(directory))
        list->LinkEndChild(new LeafElement("hook", program.c_str()));
    return list;
}

}  // namespace

XmlDocForWeb* HttpOmxResponser::HooksManagement(HttpParser* parser) {
    auto doc = std::make_unique<XmlDocForWeb>("hooks.xml");
    doc->SetXsl("hooks.xsl");
    TiXmlElement* root = doc->SetRootElement("kvo_omx_page");
    doc->SetTitle("Hooks");
    if (!m_pHooks || !m_pConfig) {
        doc->AddMessage(XmlDocForWeb::MSG_ERROR, "Hooks are not configured by this server.");
        return doc.release();
    }

    HookAction action;
    std::string func;
    ConfigSaveBatch batch(m_pConfig);
    if (parser->GetValue("func", func)) {
        FUNC_ID id = GlobalMap::GetFuncId(func);
        if (id == FUNC_ADD_WEBHOOK)
            action = AddWebhook(*m_pHooks, *parser);
        else if (id == FUNC_REMOVE_WEBHOOK)
            action = RemoveWebhook(*m_pHooks, *parser);
        else
            action = HookAction{XmlDocForWeb::MSG_ERROR, "Parameter error.", false};
    }
    if (!batch.Commit()) action = HookAction{XmlDocForWeb::MSG_ERROR, SettingsNotSavedMessage(batch.Failure()), false};

    root->LinkEndChild(WebhooksElement(*m_pHooks));
    root->LinkEndChild(HooksElement(*m_pHooks));
    if (action.refused) root->LinkEndChild(TypedFieldsElement(*parser, "AddWebhook"));
    if (!action.message.empty()) doc->AddMessage(action.type, action.message.c_str());
    return doc.release();
}
