#include "notify/EventReply.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "EventChannelRecords.h"

namespace {

// The reply record as the poller sees it: what was read, the rest zero.
_KVO_EVENT_REPLY RecordOf(const char* area, size_t length) {
    _KVO_EVENT_REPLY reply;
    std::memset(&reply, 0, sizeof reply);
    std::memcpy(&reply, area, length < sizeof reply ? length : sizeof reply);
    return reply;
}

}  // namespace

bool EventReply::IsEvent(const char* area, size_t length) {
    _KVO_EVENT_REPLY reply = RecordOf(area, length);
    return std::memcmp(reply.szSignature, KVO_EVENT_SIGNATURE, sizeof KVO_EVENT_SIGNATURE) == 0 &&
           reply.byKind == KVO_EVENT_KIND_REPLY && reply.uGroup == KVO_EVENT_GROUP &&
           reply.uFunction == KVO_EVENT_FUNCTION;
}

int EventReply::Level(const char* area, size_t length) { return RecordOf(area, length).byLevel; }

std::string EventReply::Text(const char* area, size_t length) {
    if (length > KVO_EVENT_REPLY_AREA) length = KVO_EVENT_REPLY_AREA;
    if (length <= KVO_EVENT_TEXT_OFFSET) return std::string();
    const char* text = area + KVO_EVENT_TEXT_OFFSET;
    return std::string(text, strnlen(text, length - KVO_EVENT_TEXT_OFFSET));
}

std::string EventReply::Message(const char* area, size_t length, unsigned int controller, size_t limit) {
    if (limit == 0) return std::string();
    KvoEventTime t = KvoUnpackEventTime(RecordOf(area, length).uTime);
    std::vector<char> message(limit);
    std::snprintf(message.data(), message.size(), "At 20%02d-%02d-%02d %02d:%02d:%02d Controller %u:\r\n %s",
                  t.year - 2000, t.month, t.day, t.hour, t.minute, t.second, controller + 1,
                  Text(area, length).c_str());
    return message.data();
}
