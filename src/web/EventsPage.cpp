// The events page of HttpOmxResponser: the ledger's events newest first, the
// trap receivers each went to and, per mail recipient, webhook and hook, what
// became of its delivery;
// each controller's last answer; "send again" and a test event through the
// whole path. Runs under the responder's page lock; the actions only queue work
// (the delivery queue's thread sends), so the page answers at once.
#include <memory>
#include <string>

#include "config/EventLevels.h"
#include "ledger/EventLedger.h"
#include "notify/EventDispatcher.h"
#include "notify/EventTargetChannel.h"
#include "notify/MailChannel.h"
#include "web/FormFields.h"
#include "web/GlobalMap.h"
#include "web/HttpOmxResponser.h"
#include "web/HttpParser.h"
#include "web/LeafElement.h"
#include "web/XmlDocForWeb.h"

namespace {

const size_t kEventsPerPage = 50;

const char* LevelName(int level) { return EventLevels::ElementOf(level); }

// A mail recipient's <mail>, or a webhook's or hook's <delivery kind="...">.
TiXmlElement* DeliveryElement(const LedgerDelivery& d) {
    bool isMail = d.kind == MailChannel::kKind;
    auto* mail = new TiXmlElement(isMail ? "mail" : "delivery");
    if (!isMail) mail->SetAttribute("kind", d.kind.c_str());
    switch (d.status) {
        case DeliveryStatus::Sent:
            mail->SetAttribute("status", "sent");
            break;
        case DeliveryStatus::Failed:
            mail->SetAttribute("status", "failed");
            break;
        default:
            mail->SetAttribute("status", "retry");
            mail->SetAttribute("at", EventLedger::LocalTime(d.nextAttempt, "%H:%M").c_str());
            break;
    }
    mail->SetAttribute("attempts", d.attempts);
    std::string shown = isMail ? d.target : EventTargetChannel::Shown(d.kind, d.target);
    mail->LinkEndChild(new LeafElement("address", shown.c_str()));
    if (!d.lastReason.empty()) mail->LinkEndChild(new LeafElement("reason", d.lastReason.c_str()));
    return mail;
}

TiXmlElement* EventElement(const LedgerEvent& e) {
    auto* event = new TiXmlElement("event");
    event->SetAttribute("id", std::to_string(e.id).c_str());
    event->SetAttribute("level", LevelName(e.level));
    event->LinkEndChild(new LeafElement("received", EventDispatcher::LocalTimeText(e.received).c_str()));
    event->LinkEndChild(new LeafElement(
        "controller", e.controller == kLedgerNoController ? "" : std::to_string(e.controller + 1).c_str()));
    event->LinkEndChild(new LeafElement("time", e.eventTime.c_str()));
    event->LinkEndChild(new LeafElement("text", e.text.c_str()));
    auto* traps = new TiXmlElement("traps");
    for (const auto& trap : e.traps) traps->LinkEndChild(new LeafElement("trap", trap.c_str()));
    event->LinkEndChild(traps);
    auto* mails = new TiXmlElement("mails");
    auto* others = new TiXmlElement("deliveries");
    for (const auto& d : e.deliveries) (d.kind == MailChannel::kKind ? mails : others)->LinkEndChild(DeliveryElement(d));
    event->LinkEndChild(mails);
    event->LinkEndChild(others);
    return event;
}

TiXmlElement* PollsElement(EventLedger& ledger) {
    auto* controllers = new TiXmlElement("controllers");
    for (const auto& poll : ledger.Polls()) {
        auto* controller = new TiXmlElement("controller");
        controller->SetAttribute("number", poll.controller + 1);
        controller->SetAttribute("answering", poll.answering ? "1" : "0");
        if (poll.lastAnswer)
            controller->LinkEndChild(
                new LeafElement("lastanswer", EventDispatcher::LocalTimeText(poll.lastAnswer).c_str()));
        controllers->LinkEndChild(controller);
    }
    return controllers;
}

// A whole non-negative decimal number, or false.
bool ReadCount(const std::string& text, long long& value) {
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoll(text);
    return true;
}

}  // namespace

XmlDocForWeb* HttpOmxResponser::EventsManagement(HttpParser* parser) {
    auto doc = std::make_unique<XmlDocForWeb>("events.xml");
    doc->SetXsl("events.xsl");
    TiXmlElement* root = doc->SetRootElement("kvo_omx_page");
    doc->SetTitle("Events");
    if (!m_pEvents) {
        doc->AddMessage(XmlDocForWeb::MSG_ERROR, "Events are not recorded by this server.");
        return doc.release();
    }

    std::string func;
    std::string message;
    int messageType = kPageMessageInfo;
    if (parser->GetValue("func", func)) {
        FUNC_ID id = GlobalMap::GetFuncId(func);
        if (id == FUNC_RESEND_EVENT) {
            std::string text;
            long long eventId = 0;
            bool known = parser->GetValue("event", text) && ReadCount(text, eventId) &&
                         m_pEvents->Ledger().Event(eventId).has_value();
            int queued = known ? m_pEvents->Resend(eventId) : -1;
            if (queued > 0) {
                message = "The deliveries of event " + text + " are sent again now.";
            } else {
                messageType = XmlDocForWeb::MSG_ERROR;
                message = queued == 0 ? "Event " + text + " has nothing to send." : "No such event.";
            }
        } else if (id == FUNC_SEND_TEST_EVENT) {
            std::string level;
            parser->GetValue("level", level);
            if (level == "I" || level == "W" || level == "E") {
                int64_t eventId = m_pEvents->SendTestEvent(level[0], "the events page");
                message = "Test event " + std::to_string(eventId) + " sent: it is listed below like any other.";
            } else {
                messageType = XmlDocForWeb::MSG_ERROR;
                message = "Choose the level of the test event.";
            }
        } else {
            messageType = XmlDocForWeb::MSG_ERROR;
            message = "Parameter error.";
        }
    }

    EventLedger& ledger = m_pEvents->Ledger();
    long long offset = 0;
    std::string text;
    if (parser->GetValue("offset", text) && !ReadCount(text, offset)) offset = 0;
    size_t total = ledger.EventCount();
    if (static_cast<size_t>(offset) >= total) offset = 0;

    root->LinkEndChild(PollsElement(ledger));
    auto* events = new TiXmlElement("events");
    events->SetAttribute("total", std::to_string(total).c_str());
    events->SetAttribute("offset", std::to_string(offset).c_str());
    events->SetAttribute("perpage", static_cast<int>(kEventsPerPage));
    if (ledger.InMemory()) events->SetAttribute("memory", "1");
    for (const auto& e : ledger.Recent(static_cast<size_t>(offset), kEventsPerPage))
        events->LinkEndChild(EventElement(e));
    root->LinkEndChild(events);
    if (!message.empty()) doc->AddMessage(messageType, message.c_str());
    return doc.release();
}
