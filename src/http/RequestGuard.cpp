#include "http/RequestGuard.h"

#include <crypt.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "mail/Base64.h"
#include "http/BufferResponsor.h"
#include "http/HttpParser.h"
#include "framework/Text.h"

namespace {

const char kRealm[] = "RAID Service configuration";
const size_t kMaxCredentialBytes = 1024;

const char kPageHead[] =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
const char kPageStyle[] =
    " · RAID Service</title>\n<style>\n"
    ":root { color-scheme: light dark; --bg: #f3f5f8; --surface: #fff; --text: #1c2430; "
    "--muted: #5b6675; --line: #d8dee6; --accent: #1f6feb; --bar: #14213d; }\n"
    "@media (prefers-color-scheme: dark) { :root { --bg: #11151c; --surface: #1a2029; "
    "--text: #e6eaf0; --muted: #9aa5b4; --line: #2d3643; --accent: #4c8dff; --bar: #0b0f15; } }\n"
    "body { margin: 0; background: var(--bg); color: var(--text); font: 1rem/1.5 system-ui, "
    "\"Segoe UI\", Roboto, \"Noto Sans\", \"DejaVu Sans\", sans-serif; }\n"
    "header { background: var(--bar); color: #e8edf5; padding: .8rem 1.5rem; font-weight: 600; }\n"
    "main { max-width: 36rem; margin: 3rem auto; padding: 1.5rem; background: var(--surface); "
    "border: 1px solid var(--line); border-radius: 10px; }\n"
    "h1 { margin: 0 0 .5rem; font-size: 1.5rem; }\n"
    ".code { color: var(--muted); font-weight: 600; letter-spacing: .05em; }\n"
    "a { color: var(--accent); font-weight: 600; }\n"
    "</style>\n</head>\n<body>\n<header>RAID Service</header>\n<main>\n";
const char kPageTail[] = "</main>\n</body>\n</html>\n";

std::string ErrorPage(const char* title, const char* code, const char* text) {
    return std::string(kPageHead) + title + kPageStyle + "<p class=\"code\">" + code +
           "</p>\n<h1>" + title + "</h1>\n" + text + kPageTail;
}

std::string Trim(const std::string& text) { return Text::Trim(text, " \t"); }

// "host:port" of an origin or URL ("http://h:p/..."), with the scheme's
// default port made explicit; empty when it has no "scheme://" form.
std::string AuthorityOf(const std::string& url) {
    size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) return "";
    std::string scheme = Text::Lower(url.substr(0, sep));
    size_t start = sep + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = Text::Lower(url.substr(start, end == std::string::npos ? std::string::npos
                                                                             : end - start));
    // User information never names the host.
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (authority.empty()) return "";
    size_t bracket = authority.rfind(']');
    size_t colon = authority.rfind(':');
    bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
    if (!hasPort) authority += scheme == "https" ? ":443" : ":80";
    return authority;
}

// The Host header as "host:port"; a plain request without a port means 80.
std::string HostAuthority(const std::string& host) {
    std::string value = Text::Lower(Trim(host));
    if (value.empty()) return "";
    return AuthorityOf("http://" + value);
}

bool ConstantTimeEquals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// The password of a "Basic" credential; false when it is not one.
bool BasicPassword(const std::string& authorization, std::string& password) {
    std::string value = Trim(authorization);
    if (value.size() < 6 || Text::Lower(value.substr(0, 6)) != "basic ") return false;
    std::string encoded = Trim(value.substr(6));
    if (encoded.empty() || encoded.size() > kMaxCredentialBytes) return false;
    std::vector<char> decoded(encoded.size() + 1);
    int length = Base64::Base64Decode(decoded.data(), encoded.c_str(), encoded.size());
    if (length < 0) return false;
    std::string pair(decoded.data(), static_cast<size_t>(length));
    size_t colon = pair.find(':');
    if (colon == std::string::npos) return false;
    password = pair.substr(colon + 1);
    return true;
}

}  // namespace

constexpr std::chrono::milliseconds RequestGuard::kDefaultFailureDelay;

bool RequestGuard::SetAdminPassword(const std::string& hash) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_hash = hash;
    m_lastGood.clear();
    return hash.empty() || crypt_checksalt(hash.c_str()) == CRYPT_SALT_OK;
}

bool RequestGuard::LoginRequired() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return !m_hash.empty();
}

void RequestGuard::SetFailureDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_failureDelay = delay;
}

RequestGuard::Verdict RequestGuard::Check(const HttpParser& parser, bool changesSettings) {
    if (changesSettings && IsCrossSite(parser)) return REFUSE_CROSS_SITE;
    if (!LoginRequired()) return ALLOW;
    return Authenticated(parser.m_authorization) ? ALLOW : NEED_LOGIN;
}

bool RequestGuard::IsCrossSite(const HttpParser& parser) {
    std::string site = Text::Lower(Trim(parser.m_secFetchSite));
    if (site == "cross-site" || site == "same-site") return true;
    std::string host = HostAuthority(parser.m_host);
    // An opaque origin ("null": sandboxed frames, data: pages) is some other site.
    if (!parser.m_origin.empty()) return host.empty() || AuthorityOf(Trim(parser.m_origin)) != host;
    if (!parser.m_referer.empty()) return host.empty() || AuthorityOf(Trim(parser.m_referer)) != host;
    return false;
}

bool RequestGuard::Authenticated(const std::string& authorization) {
    std::string hash;
    std::chrono::milliseconds delay;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_hash.empty()) return true;
        if (!m_lastGood.empty() && ConstantTimeEquals(authorization, m_lastGood)) return true;
        hash = m_hash;
        delay = m_failureDelay;
    }
    // A request without credentials is how a browser starts: no delay for it.
    if (Trim(authorization).empty()) return false;
    std::string password;
    if (BasicPassword(authorization, password) && PasswordMatches(password, hash)) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_hash == hash) m_lastGood = authorization;
        return true;
    }
    // Wrong attempts queue here and each holds its answer back for the delay,
    // however many connections they come on.
    std::lock_guard<std::mutex> queue(m_failureLock);
    std::this_thread::sleep_for(delay);
    return false;
}

bool RequestGuard::PasswordMatches(const std::string& password, const std::string& hash) const {
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* result = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof(crypt_data));
    // libxcrypt marks failures with a leading "*", never a valid hash.
    if (!result || result[0] == '*') return false;
    return ConstantTimeEquals(result, hash);
}

bool RequestGuard::SendForbidden(Client* client) {
    static const std::string page = ErrorPage(
        "Request refused", "Error 403",
        "<p>This change was sent from another site, so it was not applied. To change settings, "
        "open the configuration pages directly and submit the form there.</p>\n"
        "<p><a href=\"/controllers.cgi\">Go to controller management</a></p>\n");
    BufferResponsor::Send(client, "403 Forbidden", "text/html; charset=UTF-8", page, false,
                          BufferResponsor::kNoFraming);
    return false;
}

bool RequestGuard::SendUnauthorized(Client* client) {
    static const std::string page = ErrorPage(
        "Login required", "Error 401",
        "<p>The configuration pages are protected by the administrator password. Reload the "
        "page and log in with it (any user name).</p>\n");
    std::string headers = std::string("WWW-Authenticate: Basic realm=\"") + kRealm +
                          "\", charset=\"UTF-8\"\r\nCache-Control: no-store\r\n" +
                          BufferResponsor::kNoFraming;
    BufferResponsor::Send(client, "401 Unauthorized", "text/html; charset=UTF-8", page, false,
                          headers);
    return false;
}
