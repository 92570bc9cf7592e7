#include "http/BufferResponsor.h"

#include "http/HttpResponsor.h"

namespace {
const char kServerName[] = "Velmora Diskhelm WebServer/0.1b";
}  // namespace

const char BufferResponsor::kNoFraming[] =
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n";

bool BufferResponsor::Send(Client* client, const char* status, const std::string& contentType,
                           const std::string& body, bool keepAlive,
                           const std::string& extraHeaders) {
    if (!client) return false;
    std::string date;
    HttpResponsor::GetTime(date);
    std::string response;
    response.reserve(body.size() + 512);
    response += "HTTP/1.0 ";
    response += status ? status : "";
    response += "\r\nDate: " + date + "\r\nServer: " + kServerName +
                "\r\nAccept-Ranges: bytes\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: " + (keepAlive ? "Keep-Alive" : "close") +
                "\r\nContent-Type: " + contentType + "\r\n" + extraHeaders + "\r\n";
    response += body;

    int total = static_cast<int>(response.size());
    int timeout = HttpResponsor::GetSendTimeout();
    return client->SendBuf(response.data(), total, timeout) == total;
}
