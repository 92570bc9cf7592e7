#include "notify/WebhookChannel.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "framework/Text.h"
#include "mail/Base64.h"
#include "mail/TlsClient.h"
#include "server/SocketClient.h"

namespace {

using Clock = std::chrono::steady_clock;

int MicrosecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 0x7fffffff));
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Length of the valid UTF-8 sequence at `at`, or 0.
size_t Utf8Length(const std::string& s, size_t at) {
    unsigned char c = static_cast<unsigned char>(s[at]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || at + n > s.size()) return 0;
    if (n == 2 && c < 0xC2) return 0;  // overlong
    for (size_t i = 1; i < n; ++i) {
        if ((static_cast<unsigned char>(s[at + i]) & 0xC0) != 0x80) return 0;
    }
    return n;
}

// The first lines of an answer's body, for the delivery record.
std::string FirstLines(const std::string& body, size_t lines) {
    std::string out;
    size_t start = 0;
    for (size_t n = 0; n < lines && start < body.size(); ++n) {
        size_t end = body.find('\n', start);
        std::string line = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out += (n ? "\n" : "") + line.substr(0, 200);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

const char* Severity(char level) {
    switch (level) {
        case 'E': return "critical";
        case 'W': return "warning";
        default: return "info";
    }
}

}  // namespace

WebhookChannel::WebhookChannel(WebhookSettings settings) : m_settings(std::move(settings)) {
    ParseUrl(m_settings.url, m_settings.format, m_target, m_problem);
}

WebhookChannel::~WebhookChannel() = default;

bool WebhookChannel::ParseUrl(const std::string& url, WebhookSettings::Format format, Target& target,
                              std::string& problem) {
    std::string rest;
    if (StartsWith(url, "http://")) {
        rest = url.substr(7);
    } else if (StartsWith(url, "https://")) {
        target.tls = true;
        rest = url.substr(8);
    } else {
        problem = "the URL must begin with http:// or https://";
        return false;
    }
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7F) {
            problem = "the URL holds spaces, control or non-ASCII characters";
            return false;
        }
    }
    size_t slash = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "" : rest.substr(slash);
    path = path.substr(0, path.find('#'));
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        target.userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
    }
    size_t colon = authority.rfind(':');
    int port = target.tls ? 443 : 80;
    if (colon != std::string::npos) {
        std::string digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
            (port = std::stoi(digits)) < 1 || port > 65535) {
            problem = "the URL's port is not a number from 1 to 65535";
            return false;
        }
        authority = authority.substr(0, colon);
    }
    if (authority.empty() || authority.front() == '[') {
        problem = authority.empty() ? "the URL names no host" : "IPv6 addresses are not supported";
        return false;
    }
    target.host = authority;
    target.port = static_cast<unsigned short>(port);
    if (path.empty() || path[0] == '?') path = "/" + path;
    // Alertmanager's own address is enough: its alerts API has a fixed path.
    if (format == WebhookSettings::ALERTMANAGER && (path == "/" || path.empty())) path = "/api/v2/alerts";
    target.path = path;
    target.shownPath = path.substr(0, path.find('?'));
    return true;
}

std::string WebhookChannel::Describe() const {
    if (!m_problem.empty()) return "(unusable webhook URL)";
    return std::string(m_target.tls ? "https://" : "http://") + m_target.host + ":" +
           std::to_string(m_target.port) + m_target.shownPath;
}

const char* WebhookChannel::FormatName(WebhookSettings::Format format) {
    return format == WebhookSettings::ALERTMANAGER ? "alertmanager" : "generic";
}

bool WebhookChannel::FormatByName(const std::string& name, WebhookSettings::Format& format) {
    if (name == "generic") format = WebhookSettings::GENERIC;
    else if (name == "alertmanager") format = WebhookSettings::ALERTMANAGER;
    else return false;
    return true;
}

std::string WebhookChannel::LedgerTarget(const std::string& url, WebhookSettings::Format format) {
    return std::string(FormatName(format)) + " " + url;
}

bool WebhookChannel::FromLedgerTarget(const std::string& target, WebhookSettings& settings) {
    size_t space = target.find(' ');
    if (space == std::string::npos || !FormatByName(target.substr(0, space), settings.format)) return false;
    settings.url = target.substr(space + 1);
    return true;
}

std::string WebhookChannel::ShownTarget(const std::string& target) {
    WebhookSettings settings;
    if (!FromLedgerTarget(target, settings)) return "(unusable webhook target)";
    return WebhookChannel(settings).Describe() + " (" + FormatName(settings.format) + ")";
}

std::string WebhookChannel::JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = Utf8Length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text, i, n);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
        i += n;
    }
    return out + "\"";
}

std::string WebhookChannel::GenericPayload(const ChannelEvent& event) {
    return "{\"id\":" + JsonString(event.id) + ",\"host\":" + JsonString(event.host) +
           ",\"controller\":" + std::to_string(event.controller) + ",\"level\":" +
           JsonString(event.LevelName()) + ",\"time\":" + JsonString(event.TimeText()) +
           ",\"text\":" + JsonString(event.text) + "}";
}

std::string WebhookChannel::AlertmanagerPayload(const ChannelEvent& event) {
    const std::string controller = std::to_string(event.controller);
    return "[{\"labels\":{\"alertname\":\"KvoomxControllerEvent\",\"severity\":" +
           JsonString(Severity(event.level)) + ",\"instance\":" + JsonString(event.host) +
           ",\"controller\":" + JsonString(controller) + "},\"annotations\":{\"summary\":" +
           JsonString("Controller " + controller + " on " + event.host + ": " + event.LevelName()) +
           ",\"description\":" + JsonString(event.text) + ",\"event_id\":" + JsonString(event.id) +
           "},\"startsAt\":" + JsonString(event.TimeText()) + "}]";
}

std::string WebhookChannel::BuildRequest(const ChannelEvent& event) const {
    std::string body = m_settings.format == WebhookSettings::ALERTMANAGER ? AlertmanagerPayload(event)
                                                                         : GenericPayload(event);
    bool defaultPort = m_target.port == (m_target.tls ? 443 : 80);
    std::string request = "POST " + m_target.path + " HTTP/1.1\r\nHost: " + m_target.host +
                          (defaultPort ? "" : ":" + std::to_string(m_target.port)) +
                          "\r\nUser-Agent: kvoomxsvr\r\nContent-Type: application/json\r\n"
                          "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
    if (!m_target.userinfo.empty()) {
        std::vector<char> encoded(m_target.userinfo.size() * 4 / 3 + 8);
        Base64::Base64Encode(encoded.data(), m_target.userinfo.data(), static_cast<int>(m_target.userinfo.size()));
        request += "Authorization: Basic " + std::string(encoded.data()) + "\r\n";
    }
    return request + "\r\n" + body;
}

std::unique_ptr<Client> WebhookChannel::Connect(Clock::time_point deadline, ChannelOutcome& outcome) const {
    auto socket = std::make_unique<SocketClient>(m_target.host.c_str(), m_target.port, AF_INET,
                                                 MicrosecondsLeft(deadline));
    if (socket->GetStatus() != 1) {
        outcome = ChannelOutcome::Retry("no connection to " + m_target.host + ":" + std::to_string(m_target.port));
        return nullptr;
    }
    if (!m_target.tls) return socket;
    TlsSettings tls;
    tls.host = m_target.host;
    tls.caFile = m_settings.caFile;
    tls.timeoutUs = MicrosecondsLeft(deadline);
    auto stream = std::make_unique<TlsClient>(std::move(socket));
    if (stream->Handshake(tls)) return stream;
    // A certificate that does not fit stays unfit: retrying would not help.
    if (stream->Failure() == TlsFailure::Certificate)
        outcome = ChannelOutcome::Failed("the server's certificate was not accepted: " + stream->FailureReason());
    else
        outcome = ChannelOutcome::Retry("TLS with the server failed: " + stream->FailureReason());
    stream->Close();
    return nullptr;
}

ChannelOutcome WebhookChannel::Deliver(const ChannelEvent& event) {
    if (!m_problem.empty()) return ChannelOutcome::Failed(m_problem);
    const Clock::time_point deadline = Clock::now() + m_settings.timeout;
    ChannelOutcome outcome;
    std::unique_ptr<Client> stream = Connect(deadline, outcome);
    if (!stream) return outcome;
    std::string request = BuildRequest(event);
    if (stream->SendBuf(request.data(), static_cast<int>(request.size()), MicrosecondsLeft(deadline)) !=
        static_cast<int>(request.size())) {
        stream->Close();
        return ChannelOutcome::Retry("the request could not be sent in time");
    }
    outcome = ReadAnswer(*stream, deadline);
    stream->Close();
    return outcome;
}

ChannelOutcome WebhookChannel::ReadAnswer(Client& stream, Clock::time_point deadline) {
    std::string answer;
    char block[4096];
    size_t headEnd = std::string::npos;
    size_t wanted = std::string::npos;  // the whole answer's length, once known
    bool chunked = false;
    auto complete = [&] {
        if (wanted != std::string::npos) return answer.size() >= wanted;
        // A server that keeps the connection despite "Connection: close".
        return chunked && answer.size() >= headEnd + 9 &&
               answer.compare(answer.size() - 5, 5, "0\r\n\r\n") == 0;
    };
    while (answer.size() < kMaxAnswerBytes && !complete()) {
        int timeout = MicrosecondsLeft(deadline);
        if (timeout == 0) break;
        int n = stream.ReceiveBuf(block, sizeof block, timeout);
        if (n <= 0) break;
        answer.append(block, static_cast<size_t>(n));
        if (headEnd == std::string::npos && (headEnd = answer.find("\r\n\r\n")) != std::string::npos) {
            std::string head = Text::Lower(answer.substr(0, headEnd));
            size_t length = head.find("\ncontent-length:");
            if (length != std::string::npos)
                wanted = headEnd + 4 + std::strtoul(head.c_str() + length + 16, nullptr, 10);
            chunked = head.find("\ntransfer-encoding: chunked") != std::string::npos;
        }
    }
    int status = 0;
    if (answer.compare(0, 5, "HTTP/") == 0 && answer.size() > 12) status = std::atoi(answer.c_str() + 9);
    if (status < 100 || status > 599) {
        return ChannelOutcome::Retry(answer.empty() ? "no answer within the time bound"
                                                    : "the answer is not HTTP");
    }
    ChannelOutcome outcome = Judge(status);
    outcome.httpStatus = status;
    if (headEnd != std::string::npos) outcome.output = FirstLines(answer.substr(headEnd + 4), kOutputLines);
    return outcome;
}

ChannelOutcome WebhookChannel::Judge(int status) {
    std::string code = std::to_string(status);
    if (status >= 200 && status < 300) return ChannelOutcome::Sent();
    if (status >= 300 && status < 400) {
        // Following it could send the event where it was never meant to go.
        return ChannelOutcome::Failed("the server answered " + code + " (a redirect, not followed)");
    }
    if (status == 408 || status == 425 || status == 429 || status >= 500)
        return ChannelOutcome::Retry("the server answered " + code);
    return ChannelOutcome::Failed("the server answered " + code);
}
