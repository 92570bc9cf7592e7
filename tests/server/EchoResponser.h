// Test responders for the generic server: an echo responder that keeps the
// launch handshake, and knobs to hold a client or throw from a responder.
#pragma once

#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

#include "Responser.h"

namespace kvotest {

// Shared with the test, so it outlives a deleted server.
struct ResponderProbe {
    std::atomic<int> receiveCalls{0};
    std::atomic<int> finished{0};       // responder operations that returned
    std::atomic<int> destroyed{0};
    std::atomic<bool> holdForever{false};  // ignore shutdown until released
    std::atomic<bool> release{false};
    std::atomic<bool> throwInReceive{false};
    std::mutex idLock;
    std::multiset<int> ids;
    std::atomic<int> lastId{0};
};

class EchoResponser : public Responser {
public:
    explicit EchoResponser(std::shared_ptr<ResponderProbe> probe = std::make_shared<ResponderProbe>())
        : m_probe(std::move(probe)) {}
    ~EchoResponser() override { ++m_probe->destroyed; }

    static bool AwaitLaunch(_CLIENT_PARAMS* params) {
        for (;;) {
            int s = params->nState;
            if (s == 2) return true;
            if (s == 0) return false;
            usleep(1000);
        }
    }

    int Receive(Client* client, _CLIENT_PARAMS* params) override {
        if (!AwaitLaunch(params)) { ++m_probe->finished; return 0; }
        ++m_probe->receiveCalls;
        {
            std::lock_guard<std::mutex> g(m_probe->idLock);
            m_probe->ids.insert(params->byInstanceID);
        }
        m_probe->lastId = params->byInstanceID;
        if (m_probe->throwInReceive) throw std::runtime_error("responder failed");
        if (m_probe->holdForever) {
            while (!m_probe->release) usleep(2000);
            ++m_probe->finished;
            return 0;
        }
        char buf[4096];
        for (;;) {
            int n = client->ReceiveBuf(buf, sizeof buf, 200000);
            if (n == CLIENT_ERR_TIMEOUT) {
                if (params->nState < 2) break;
                continue;
            }
            if (n < 1) break;
            if (client->SendBuf(buf, n, 1000000) != n) break;
        }
        ++m_probe->finished;
        return 0;
    }

    int Send(Client*, _CLIENT_PARAMS* params) override {
        if (!AwaitLaunch(params)) { ++m_probe->finished; return 0; }
        while (params->nState == 2 || (m_probe->holdForever && !m_probe->release)) usleep(2000);
        ++m_probe->finished;
        return 0;
    }

    bool CanProcess(Client*) override { return true; }

private:
    std::shared_ptr<ResponderProbe> m_probe;
};

}  // namespace kvotest
