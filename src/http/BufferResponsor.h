// BufferResponsor: sends one complete HTTP/1.0 response whose body is already
// in memory (a page rendered to HTML, the built-in 401 and 403 pages), with
// the same header fields as the file responses plus the extra lines given.
// Static only; called from any configuration-server receive thread. Takes no
// lock: the send is bounded by the file responses' send time-out.
#pragma once

#include <string>

#include "Client.h"

class BufferResponsor {
public:
    BufferResponsor() = delete;

    // Header lines that keep a page out of other sites' frames.
    static const char kNoFraming[];

    // `extraHeaders` is zero or more complete "Name: value\r\n" lines.
    // True when every byte went out.
    static bool Send(Client* client, const char* status, const std::string& contentType,
                     const std::string& body, bool keepAlive, const std::string& extraHeaders);
};
