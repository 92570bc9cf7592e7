// HttpResponser: the HTTP/1.0 responder of the configuration server. One
// instance (owned by its GenericServer) serves every connection; each Receive
// call keeps its own parser and request text, so there is no per-connection
// member and no lock here. Settings are changed before the server starts.
// Subclasses replace ProcessRequest; the default serves files under the root.
#pragma once

#include <atomic>
#include <string>

#include "Responser.h"
#include "http/HttpParser.h"
#include "http/HttpResponsor.h"

class HttpResponser : public Responser {
public:
    // A request bigger than this ends its connection without an answer.
    static constexpr size_t kMaxRequestBytes = 64 * 1024;
    static constexpr int kDefaultRequestTimeoutUs = 30 * 1000 * 1000;

    HttpResponser();

    // The folder files are served from; the caller passes it ending in "/".
    void SetRootFolder(const char* folder);

    // How long one request may take to arrive completely, counted from the
    // start of the connection or the end of the previous answer (microseconds,
    // -1 = no limit). An idle or dribbling client is cut off after it.
    void SetRequestTimeout(int microseconds) { m_requestTimeoutUs = microseconds; }
    // Upper bound for sending one file response (microseconds, -1 = no limit):
    // a peer that stops reading is cut off, so the file lock is released.
    void SetSendTimeout(int microseconds) { m_sendTimeoutUs = microseconds; }

    int Receive(Client* client, _CLIENT_PARAMS* params) override;
    int Send(Client* client, _CLIENT_PARAMS* params) override;
    // True when the first four waiting bytes are "GET " or "POST" (peeked).
    bool CanProcess(Client* client) override;
    ~HttpResponser() override = default;

    // Answers one parsed request; true keeps the connection for another one.
    virtual bool ProcessRequest(Client* client, HttpParser* parser);

protected:
    std::string m_rootFolder;
    std::atomic<int> m_sendTimeoutUs{HttpResponsor::kDefaultSendTimeoutUs};

private:
    static bool WaitForLaunch(_CLIENT_PARAMS* params);

    std::atomic<int> m_requestTimeoutUs;
};
