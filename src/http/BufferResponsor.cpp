#include "http/BufferResponsor.h"

#include "http/HttpResponsor.h"

const char BufferResponsor::kNoFraming[] =
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n";

bool BufferResponsor::Send(Client* client, const char* status, const std::string& contentType,
                           const std::string& body, bool keepAlive,
                           const std::string& extraHeaders) {
    if (!client) return false;
    std::string response = HttpResponsor::ResponseHead(status, body.size(), keepAlive, contentType, extraHeaders);
    response += body;

    int total = static_cast<int>(response.size());
    int timeout = HttpResponsor::kDefaultSendTimeoutUs;
    return client->SendBuf(response.data(), total, timeout) == total;
}
