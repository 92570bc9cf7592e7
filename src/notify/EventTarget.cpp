#include "notify/EventTarget.h"

const char* ChannelEvent::LevelName() const {
    switch (level) {
        case 'E': return "error";
        case 'W': return "warning";
        default: return "information";
    }
}

std::string ChannelEvent::TimeText() const {
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}
