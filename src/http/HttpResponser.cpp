#include "http/HttpResponser.h"

#include "framework/Console.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "http/HttpResponsor.h"

namespace {

const int kReceiveBlock = 2016;

using Clock = std::chrono::steady_clock;

// Microseconds left until `deadline`, -1 when there is none, 0 when it passed.
int RemainingUs(bool bounded, Clock::time_point deadline) {
    if (!bounded) return -1;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

HttpResponser::HttpResponser() : m_requestTimeoutUs(kDefaultRequestTimeoutUs) {}

void HttpResponser::SetRootFolder(const char* folder) { m_rootFolder = folder ? folder : ""; }

// Sleeps until the launch hand-over; false when the launch failed (state 0).
bool HttpResponser::WaitForLaunch(_CLIENT_PARAMS* params) { return KvoWaitForLaunch(params); }

// Collects one request at a time (re-parsing the whole text after each block)
// and answers it. Bytes after a completed request are dropped with the text.
int HttpResponser::Receive(Client* client, _CLIENT_PARAMS* params) {
    if (!WaitForLaunch(params)) return 0;
    HttpParser parser;
    std::string request;
    char block[kReceiveBlock];

    int limit = m_requestTimeoutUs;
    bool bounded = limit >= 0;
    Clock::time_point deadline = Clock::now() + std::chrono::microseconds(bounded ? limit : 0);
    while (params->nState == 2) {
        int timeout = RemainingUs(bounded, deadline);
        if (timeout == 0) break;
        int got = client->ReceiveBuf(block, kReceiveBlock, timeout);
        if (got < 1) break;
        request.append(block, static_cast<size_t>(got));
        if (request.size() > kMaxRequestBytes) break;

        int result = parser.Parse(request);
        if (result == HttpParser::PARSE_INCOMPLETE) continue;
        if (result == HttpParser::PARSE_MALFORMED) break;
        if (!ProcessRequest(client, &parser)) break;
        parser.Clear();
        request.clear();
        limit = m_requestTimeoutUs;
        bounded = limit >= 0;
        deadline = Clock::now() + std::chrono::microseconds(bounded ? limit : 0);
    }
    return 0;
}

// Sends nothing: waits for launch, then sleeps while the receive side runs.
// The server wakes it the moment the receive side has finished, so the
// connection's slot is free as soon as its exchange ends.
int HttpResponser::Send(Client*, _CLIENT_PARAMS* params) {
    if (!WaitForLaunch(params)) return 0;
    params->wake.Wait([params] { return params->nState.load() != 2; });
    return 0;
}

bool HttpResponser::CanProcess(Client* client) {
    if (!client) return false;
    char head[4];
    if (client->PeekBuf(head, 4, 1) < 4) return false;
    return std::memcmp(head, "GET ", 4) == 0 || std::memcmp(head, "POST", 4) == 0;
}

bool HttpResponser::ProcessRequest(Client* client, HttpParser* parser) {
    parser->m_path.erase(0, 1);
    try {
        if (parser->m_method > HttpParser::METHOD_POST) return HttpResponsor::ResponseNotImp(client);
        // Only the request's own path is checked: the root folder itself may
        // be written with ".." segments (a KVOOMX_HOME given that way).
        if (HttpResponsor::HasParentSegment(parser->m_path)) {
            std::lock_guard<KvoLock> files(fileLock);
            return HttpResponsor::ResNotFoundRes(client);
        }
        return HttpResponsor::ResponseGetFile(client, m_rootFolder + parser->m_path, parser->m_keepAlive,
                                             m_sendTimeoutUs);
    } catch (const std::exception&) {
        Console::PrintLevel(Console::kError, "Exception ocurred when response Method=%d,File Name=%s\n",
                            parser->m_method, parser->m_path.c_str());
        return parser->m_keepAlive;
    }
}
