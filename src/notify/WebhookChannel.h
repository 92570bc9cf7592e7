// WebhookChannel: delivers an event as one JSON POST to one URL (http or https),
// as a documented generic object or as an alert for Alertmanager's v2 API.
// Owned by whoever delivers events; Deliver runs on that caller's thread, one
// call at a time per instance; the settings are fixed at construction. Every
// call ends within the time bound; redirects are not followed; the URL's
// user:password and query never appear in Describe or a reason.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "notify/EventTarget.h"

class Client;

struct WebhookSettings {
    enum Format { GENERIC, ALERTMANAGER };
    std::string url;             // http://host[:port]/path or https://...; user:password@ allowed
    Format format = GENERIC;
    std::chrono::milliseconds timeout{10000};  // the whole call: connect, TLS, request, answer
    std::string caFile;          // trusted authorities (PEM); empty: the system's
};

class WebhookChannel : public EventTarget {
public:
    // Body lines kept from the answer, and the most bytes read of it.
    static constexpr size_t kOutputLines = 3;
    static constexpr size_t kMaxAnswerBytes = 64 * 1024;

    explicit WebhookChannel(WebhookSettings settings);
    ~WebhookChannel() override;

    ChannelOutcome Deliver(const ChannelEvent& event) override;
    std::string Describe() const override;

    // Empty when the URL can be used, else why not.
    const std::string& UrlProblem() const { return m_problem; }

    // A format's name in the settings and the ledger: "generic", "alertmanager".
    static const char* FormatName(WebhookSettings::Format format);
    static bool FormatByName(const std::string& name, WebhookSettings::Format& format);
    // A delivery's target in the ledger, "<format> <url>" (a usable URL holds
    // no space), and back; false when `target` is not one.
    static std::string LedgerTarget(const std::string& url, WebhookSettings::Format format);
    static bool FromLedgerTarget(const std::string& target, WebhookSettings& settings);
    // A ledger target as pages and logs may show it: "<url without secrets> (<format>)".
    static std::string ShownTarget(const std::string& target);

    // The request bodies.
    static std::string GenericPayload(const ChannelEvent& event);
    static std::string AlertmanagerPayload(const ChannelEvent& event);
    // `text` as a JSON string literal, quotes included; bytes that are not
    // UTF-8 become U+FFFD.
    static std::string JsonString(const std::string& text);

private:
    struct Target {
        bool tls = false;
        std::string host;
        unsigned short port = 0;
        std::string path;       // with the query
        std::string shownPath;  // without it
        std::string userinfo;   // "user:password", or empty
    };

    static bool ParseUrl(const std::string& url, WebhookSettings::Format format, Target& target,
                         std::string& problem);
    std::string BuildRequest(const ChannelEvent& event) const;
    // Opens the connection (and TLS); null with `outcome` set when it fails.
    std::unique_ptr<Client> Connect(std::chrono::steady_clock::time_point deadline,
                                    ChannelOutcome& outcome) const;
    static ChannelOutcome ReadAnswer(Client& stream, std::chrono::steady_clock::time_point deadline);
    // Sent for 2xx; retry for 408, 425, 429 and 5xx; failed for anything else.
    static ChannelOutcome Judge(int status);

    WebhookSettings m_settings;
    Target m_target;
    std::string m_problem;
};
