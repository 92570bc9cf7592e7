// StatusRecordingClient: passes every call to the connection it wraps and notes
// the status code of the first response line sent through it, so the
// configuration server can count its answers by status. Lives for one request
// on that request's receive thread; the wrapped client is not owned.
#pragma once

#include <string>

#include "Client.h"

class StatusRecordingClient : public Client {
public:
    explicit StatusRecordingClient(Client* inner) : m_inner(inner) {}

    // The status code of the response sent, or 0 when none went out.
    int Status() const { return m_status; }

    int PeekBuf(char* buffer, int size, int timeout) override { return m_inner->PeekBuf(buffer, size, timeout); }
    int ReceiveBuf(char* buffer, int size, int timeout) override {
        return m_inner->ReceiveBuf(buffer, size, timeout);
    }
    int SendBuf(const char* data, int length, int timeout) override;
    int GetStatus() override { return m_inner->GetStatus(); }
    int GetStatistics(ClientStatisticsTag& stats) override { return m_inner->GetStatistics(stats); }
    int Shutdown() override { return m_inner->Shutdown(); }
    int Close() override { return m_inner->Close(); }
    int WhenBroken(int code) override { return m_inner->WhenBroken(code); }
    std::string ToString() override { return m_inner->ToString(); }
    long long IdleMilliseconds() override { return m_inner->IdleMilliseconds(); }

private:
    Client* m_inner;
    std::string m_head;  // the first bytes sent, until the status code is known
    int m_status = 0;
};
