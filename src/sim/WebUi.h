// WebUi: the firmware's management web interface as the simulator serves it:
// overview, RAID sets, volumes, drives, event log, a stylesheet and images, and
// /bench/<bytes> for throughput runs. Turns one parsed request into one whole
// HTTP response. Stateless; called from the simulator's loop thread.
#pragma once

#include <string>

#include "sim/EventChannel.h"

struct WebUiContext {
    int controller = 0;           // simulator-wide controller number
    std::string className;
    int instance = 0;
    const EventChannel* events = nullptr;
};

struct WebRequest {
    std::string method;
    std::string path;
    std::string version;          // "HTTP/1.0" or "HTTP/1.1"
    bool keepAlive = true;
};

class WebUi {
public:
    static constexpr size_t kMaxBenchBytes = 64u * 1024 * 1024;

    static std::string Answer(const WebRequest& request, const WebUiContext& context);
    static std::string ErrorResponse(int status, const char* reason, bool keepAlive);

private:
    static std::string Response(int status, const char* reason, const char* type,
                                const std::string& body, bool keepAlive, bool headOnly);
    static std::string Page(const WebUiContext& c, const char* active, const std::string& title,
                            const std::string& content);
    static std::string Overview(const WebUiContext& c);
    static std::string RaidSets(const WebUiContext& c);
    static std::string Volumes(const WebUiContext& c);
    static std::string Drives(const WebUiContext& c);
    static std::string EventLog(const WebUiContext& c);
    static const std::string& StyleSheet();
    static const std::string& LogoSvg();
    static const std::string& StatusPng();
};
