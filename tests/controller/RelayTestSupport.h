// Helpers for the relay tests: a browser-side HTTP exchange over a loopback
// socket, and views of the simulator's transcript for one connection byte.
// Used from one test thread.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "ScsiPassThrough.h"
#include "SimulatorProcess.h"
#include "TestSupport.h"

namespace relaytest {

using Clock = std::chrono::steady_clock;
using kvotest::TranscriptEntry;

inline const std::string kConnectBytes(KVO_CONNECT_MESSAGE, sizeof KVO_CONNECT_MESSAGE);
inline const std::string kDisconnectBytes(KVO_DISCONNECT_MESSAGE, sizeof KVO_DISCONNECT_MESSAGE);

inline bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// One HTTP response as the browser received it; empty text when it did not
// arrive complete within `limit`.
struct HttpAnswer {
    std::string head;
    std::string body;
    bool complete = false;
    int status() const { return head.size() > 12 ? std::atoi(head.c_str() + 9) : 0; }
};

inline HttpAnswer ReadHttpAnswer(int fd, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    HttpAnswer answer;
    std::string in;
    size_t bodyLength = std::string::npos;
    size_t headEnd = std::string::npos;
    auto end = Clock::now() + limit;
    char buf[65536];
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = in.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                answer.head = in.substr(0, headEnd + 4);
                size_t at = answer.head.find("Content-Length: ");
                bodyLength = at == std::string::npos ? 0 : std::strtoul(answer.head.c_str() + at + 16, nullptr, 10);
            }
        }
        if (headEnd != std::string::npos && in.size() >= headEnd + 4 + bodyLength) {
            answer.body = in.substr(headEnd + 4, bodyLength);
            answer.complete = true;
            return answer;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return answer;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) return answer;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return answer;
        in.append(buf, static_cast<size_t>(n));
    }
}

// True when the server closed the connection (EOF or reset) within `limit`.
inline bool WaitForClose(int fd, std::chrono::milliseconds limit) {
    auto end = Clock::now() + limit;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        if (recv(fd, buf, sizeof buf, 0) <= 0) return true;
    }
}

inline std::string Get(const std::string& path, bool keepAlive = true) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: relay-test\r\n" +
           (keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n") + "\r\n";
}

// Transcript entries of the web channel for one connection byte.
inline std::vector<TranscriptEntry> WebEntries(const kvotest::SimulatorProcess& sim, unsigned connection,
                                               const char* op = nullptr) {
    return sim.Transcript([&](const TranscriptEntry& e) {
        return e.buffer == KVO_WEB_BUFFER && e.connection == connection && (!op || e.op == op);
    });
}

inline size_t CountConnects(const kvotest::SimulatorProcess& sim) {
    return sim.Transcript([](const TranscriptEntry& e) {
               return e.op == "write" && e.buffer == KVO_WEB_BUFFER && e.data == kConnectBytes;
           }).size();
}

// The connection byte of the newest connection announced after `before` connects
// had been seen; 0 when none arrived within 10 s.
inline unsigned AwaitNewConnection(const kvotest::SimulatorProcess& sim, size_t before) {
    unsigned connection = 0;
    kvotest::WaitUntil([&] {
        auto connects = sim.Transcript([](const TranscriptEntry& e) {
            return e.op == "write" && e.buffer == KVO_WEB_BUFFER && e.data == kConnectBytes;
        });
        if (connects.size() <= before) return false;
        connection = connects.back().connection;
        return true;
    });
    return connection;
}

// The browser's bytes as the firmware got them (connect/disconnect excluded).
inline std::string BrowserBytes(const std::vector<TranscriptEntry>& writes) {
    std::string out;
    for (const auto& e : writes)
        if (e.data != kConnectBytes && e.data != kDisconnectBytes) out += e.data;
    return out;
}

inline size_t CountWrites(const std::vector<TranscriptEntry>& entries, const std::string& data) {
    size_t n = 0;
    for (const auto& e : entries) n += (e.op == "write" && e.data == data) ? 1 : 0;
    return n;
}

}  // namespace relaytest
