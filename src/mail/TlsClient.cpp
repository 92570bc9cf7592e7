#include "mail/TlsClient.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>

namespace {

// TransportRead's answer when the wait ran out: OpenSSL is told to retry, so a
// read that timed out leaves the session usable, as on a plain socket.
constexpr int kRetryLater = -2;
// close_notify is a courtesy: never hold the caller long for it.
constexpr int kCloseNotifyTimeoutUs = 1000000;

TlsClient* Owner(BIO* bio) { return static_cast<TlsClient*>(BIO_get_data(bio)); }

int BioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    int n = Owner(bio)->TransportRead(buffer, size);
    if (n == kRetryLater) {
        BIO_set_retry_read(bio);
        return -1;
    }
    return n;
}

int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    return Owner(bio)->TransportWrite(data, length);
}

long BioCtrl(BIO*, int command, long, void*) {
    // Writes go straight to the transport, so a flush has nothing to do.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// One method table for the process; OpenSSL keeps a pointer to it in every BIO.
BIO_METHOD* TransportMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kvoomx client transport");
        if (m) {
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

bool IsAddress(const std::string& host) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// The first queued OpenSSL reason, for people; the queue is emptied so nothing
// is left for the next user of this thread.
std::string TakeOpenSslReason(const char* fallback) {
    unsigned long code = ERR_get_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : fallback;
}

}  // namespace

void TlsClient::SslDeleter::operator()(ssl_st* ssl) const { SSL_free(ssl); }
void TlsClient::SslDeleter::operator()(ssl_ctx_st* ctx) const { SSL_CTX_free(ctx); }

TlsClient::TlsClient(std::unique_ptr<Client> transport) : m_transport(std::move(transport)) {}

TlsClient::~TlsClient() {
    if (m_transport && m_transport->GetStatus() == 1) Close();
}

bool TlsClient::Setup(const TlsSettings& settings) {
    m_ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!m_ctx) {
        Fail(TlsFailure::Protocol, TakeOpenSslReason("no TLS context"));
        return false;
    }
    SSL_CTX_set_min_proto_version(m_ctx.get(), TLS1_2_VERSION);
    if (settings.verify) {
        bool loaded = settings.caFile.empty()
                          ? SSL_CTX_set_default_verify_paths(m_ctx.get()) == 1
                          : SSL_CTX_load_verify_locations(m_ctx.get(), settings.caFile.c_str(), nullptr) == 1;
        if (!loaded) {
            ERR_clear_error();
            Fail(TlsFailure::Certificate, "trusted authorities could not be loaded" +
                                              (settings.caFile.empty() ? std::string() : " from " + settings.caFile));
            return false;
        }
        if (settings.host.empty()) {
            Fail(TlsFailure::Certificate, "no server name to check the certificate against");
            return false;
        }
    }
    SSL_CTX_set_verify(m_ctx.get(), settings.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

    m_ssl.reset(SSL_new(m_ctx.get()));
    BIO* bio = TransportMethod() ? BIO_new(TransportMethod()) : nullptr;
    if (!m_ssl || !bio) {
        BIO_free(bio);
        Fail(TlsFailure::Protocol, TakeOpenSslReason("no TLS session"));
        return false;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(m_ssl.get(), bio, bio);  // the session owns the BIO from here

    const bool address = IsAddress(settings.host);
    if (!settings.host.empty() && !address) SSL_set_tlsext_host_name(m_ssl.get(), settings.host.c_str());
    if (settings.verify) {
        X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl.get());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        bool named = address ? X509_VERIFY_PARAM_set1_ip_asc(param, settings.host.c_str()) == 1
                             : SSL_set1_host(m_ssl.get(), settings.host.c_str()) == 1;
        if (!named) {
            Fail(TlsFailure::Certificate, TakeOpenSslReason("the server name cannot be checked"));
            return false;
        }
    }
    SSL_set_connect_state(m_ssl.get());
    return true;
}

bool TlsClient::Handshake(const TlsSettings& settings) {
    m_failure = TlsFailure::None;
    m_reason.clear();
    if (!m_transport || m_transport->GetStatus() != 1) {
        Fail(TlsFailure::Closed, "not connected");
        return false;
    }
    if (!Setup(settings)) return false;

    SetDeadline(settings.timeoutUs);
    ERR_clear_error();
    if (SSL_connect(m_ssl.get()) == 1) {
        m_established = true;
        return true;
    }
    long verified = SSL_get_verify_result(m_ssl.get());
    if (m_timedOut)
        Fail(TlsFailure::Timeout, "no answer from the server within " + std::to_string(settings.timeoutUs / 1000000) +
                                      " s during the TLS handshake");
    else if (settings.verify && verified != X509_V_OK)
        Fail(TlsFailure::Certificate, X509_verify_cert_error_string(verified));
    else if (m_peerClosed)
        Fail(TlsFailure::Closed, "the server closed the connection during the TLS handshake");
    else
        Fail(TlsFailure::Protocol, TakeOpenSslReason("the TLS handshake failed"));
    ERR_clear_error();
    return false;
}

void TlsClient::Fail(TlsFailure failure, const std::string& reason) {
    m_failure = failure;
    m_reason = reason;
    m_broken = true;
}

std::string TlsClient::Version() const { return m_established ? SSL_get_version(m_ssl.get()) : std::string(); }

void TlsClient::SetDeadline(int timeoutUs) {
    m_unlimited = timeoutUs < 0;
    m_deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(m_unlimited ? 0 : timeoutUs);
    m_timedOut = false;
}

long long TlsClient::MicrosecondsLeft() const {
    if (m_unlimited) return -1;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(m_deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? left.count() : 0;
}

int TlsClient::TransportRead(char* buffer, int size) {
    long long left = MicrosecondsLeft();
    if (left == 0) {
        m_timedOut = true;
        return kRetryLater;
    }
    int n = m_transport->ReceiveBuf(buffer, size, left < 0 ? -1 : static_cast<int>(left < INT_MAX ? left : INT_MAX));
    if (n > 0) return n;
    if (n == CLIENT_ERR_TIMEOUT) {
        m_timedOut = true;
        return kRetryLater;
    }
    m_peerClosed = true;
    return 0;
}

int TlsClient::TransportWrite(const char* data, int length) {
    long long left = MicrosecondsLeft();
    if (left == 0) {
        m_timedOut = true;
        return -1;
    }
    int n = m_transport->SendBuf(data, length, left < 0 ? -1 : static_cast<int>(left < INT_MAX ? left : INT_MAX));
    if (n == length) return length;
    if (MicrosecondsLeft() == 0) m_timedOut = true;
    return -1;
}

// A read that timed out keeps the session; anything else ends it.
int TlsClient::ReadResult(int rc) {
    int error = SSL_get_error(m_ssl.get(), rc);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ && m_timedOut) return CLIENT_ERR_TIMEOUT;
    if (error == SSL_ERROR_ZERO_RETURN) {
        m_peerClosed = true;
        return CLIENT_ERR_BROKEN;
    }
    m_broken = true;
    return CLIENT_ERR_BROKEN;
}

int TlsClient::PeekBuf(char* buffer, int size, int timeout) {
    if (!m_established || m_broken || m_peerClosed) return CLIENT_ERR_BROKEN;
    if (size <= 0) return 0;
    SetDeadline(timeout);
    ERR_clear_error();
    int rc = SSL_peek(m_ssl.get(), buffer, size);
    return rc > 0 ? rc : ReadResult(rc);
}

int TlsClient::ReceiveBuf(char* buffer, int size, int timeout) {
    if (!m_established || m_broken || m_peerClosed) return CLIENT_ERR_BROKEN;
    if (size <= 0) return 0;
    SetDeadline(timeout);
    ERR_clear_error();
    int rc = SSL_read(m_ssl.get(), buffer, size);
    return rc > 0 ? rc : ReadResult(rc);
}

int TlsClient::SendBuf(const char* data, int length, int timeout) {
    if (!m_established || m_broken) return -1;
    if (length <= 0 || !data) return -1;
    SetDeadline(timeout);
    ERR_clear_error();
    int rc = SSL_write(m_ssl.get(), data, length);
    if (rc == length) return length;
    // A record may have gone out in part: the stream is out of step for good.
    ERR_clear_error();
    m_broken = true;
    return -1;
}

int TlsClient::GetStatus() { return m_transport ? m_transport->GetStatus() : 0; }

int TlsClient::GetStatistics(ClientStatisticsTag& stats) {
    return m_transport ? m_transport->GetStatistics(stats) : -1;
}

int TlsClient::Shutdown() { return m_transport ? m_transport->Shutdown() : 0; }

int TlsClient::Close() {
    if (m_established && !m_broken && !m_peerClosed && m_transport && m_transport->GetStatus() == 1) {
        SetDeadline(kCloseNotifyTimeoutUs);
        ERR_clear_error();
        SSL_shutdown(m_ssl.get());  // our close_notify only; the peer's is not awaited
        ERR_clear_error();
    }
    m_established = false;
    m_broken = true;
    return m_transport ? m_transport->Close() : 0;
}

int TlsClient::WhenBroken(int code) {
    Close();
    return code;
}

std::string TlsClient::ToString() { return "TLS " + (m_transport ? m_transport->ToString() : std::string()); }
