// RequestGuard: decides whether a configuration-server request may go on.
// It refuses changes that a browser marks as coming from another site, and,
// when an administrator password (a crypt(3) hash) is set, asks for HTTP Basic
// authentication, slowing wrong attempts down. It also sends the 401 and 403
// pages. Owned by the configuration server's responder; Check runs on every
// receive thread: `m_lock` guards the settings and the last good credential,
// `m_failureLock` lines wrong attempts up one behind the other.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "Client.h"

class HttpParser;

class RequestGuard {
public:
    enum Verdict { ALLOW = 0, REFUSE_CROSS_SITE = 1, NEED_LOGIN = 2 };

    static constexpr std::chrono::milliseconds kDefaultFailureDelay{1000};

    RequestGuard() = default;
    RequestGuard(const RequestGuard&) = delete;
    RequestGuard& operator=(const RequestGuard&) = delete;

    // A crypt(3) hash; empty means no login. False (and no login possible
    // until a usable hash is set) when libcrypt does not know the hash's method.
    bool SetAdminPassword(const std::string& hash);
    bool LoginRequired() const;
    // How long each wrong password holds its answer back; wrong attempts wait
    // one after the other, so guesses run at most one per delay.
    void SetFailureDelay(std::chrono::milliseconds delay);

    // `changesSettings`: the request carries a form that a page would apply.
    Verdict Check(const HttpParser& parser, bool changesSettings);

    // True when the browser says the request comes from another site:
    // Sec-Fetch-Site cross-site or same-site, or an Origin (else a Referer)
    // naming another host or port than the Host header.
    static bool IsCrossSite(const HttpParser& parser);

    // The answers for the two refusals; both end the connection (false).
    static bool SendForbidden(Client* client);
    static bool SendUnauthorized(Client* client);

private:
    bool Authenticated(const std::string& authorization);
    bool PasswordMatches(const std::string& password, const std::string& hash) const;

    mutable std::mutex m_lock;
    std::mutex m_failureLock;
    std::string m_hash;
    std::string m_lastGood;  // the Authorization value last verified against m_hash
    std::chrono::milliseconds m_failureDelay{kDefaultFailureDelay};
};
