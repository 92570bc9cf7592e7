// TlsClient: a TLS (1.2 or newer) byte stream laid over another connected
// Client, usually the SMTP client's SocketClient, with the same bounded calls:
// every read, write and the whole handshake end within the time-out given.
// Owns the transport it is handed. Used by one thread at a time (the SMTP
// dialogue); it takes no lock of its own.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "Client.h"

struct ssl_st;
struct ssl_ctx_st;

struct TlsSettings {
    std::string host;      // server name: SNI and the certificate's name (or IPv4 address) check
    bool verify = true;    // chain to a trusted authority and name check; false accepts any certificate
    std::string caFile;    // trusted authorities (PEM); empty: the system's
    int timeoutUs = 10000000;  // bound of the whole handshake
};

enum class TlsFailure {
    None,
    Timeout,      // the peer stopped answering within the bound
    Closed,       // the peer ended the connection
    Certificate,  // the certificate was not accepted (chain or name)
    Protocol,     // anything else: version, cipher, not TLS at all
};

class TlsClient : public Client {
public:
    explicit TlsClient(std::unique_ptr<Client> transport);
    ~TlsClient() override;
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Runs the client handshake. False with Failure()/FailureReason() set; the
    // stream is then unusable and Close() sends nothing more.
    bool Handshake(const TlsSettings& settings);
    TlsFailure Failure() const { return m_failure; }
    // Short, for people: "unable to get local issuer certificate", ...
    const std::string& FailureReason() const { return m_reason; }
    // Negotiated version, e.g. "TLSv1.3"; empty before the handshake.
    std::string Version() const;

    int PeekBuf(char* buffer, int size, int timeout) override;
    int ReceiveBuf(char* buffer, int size, int timeout) override;
    int SendBuf(const char* data, int length, int timeout) override;
    int GetStatus() override;
    int GetStatistics(ClientStatisticsTag& stats) override;
    int Shutdown() override;
    // Sends close_notify (bounded) when the session is sound, then closes the transport.
    int Close() override;
    int WhenBroken(int code) override;
    std::string ToString() override;

    // The transport side for the BIO callbacks: bounded by the current deadline.
    int TransportRead(char* buffer, int size);
    int TransportWrite(const char* data, int length);

private:
    struct SslDeleter {
        void operator()(ssl_st* ssl) const;
        void operator()(ssl_ctx_st* ctx) const;
    };

    bool Setup(const TlsSettings& settings);
    void SetDeadline(int timeoutUs);
    long long MicrosecondsLeft() const;
    int ReadResult(int rc);
    void Fail(TlsFailure failure, const std::string& reason);

    std::unique_ptr<Client> m_transport;
    std::unique_ptr<ssl_ctx_st, SslDeleter> m_ctx;
    std::unique_ptr<ssl_st, SslDeleter> m_ssl;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_unlimited = false;
    bool m_timedOut = false;    // the last transport wait ran out
    bool m_peerClosed = false;  // the transport reported the end of the stream
    bool m_established = false;
    bool m_broken = false;      // a fatal error: no more TLS records may be sent
    TlsFailure m_failure = TlsFailure::None;
    std::string m_reason;
};
