// Harness: the event reply check and the message composed from it, on any
// bytes a controller may answer (short, long, unterminated text, any time
// field). The check is exactly the four fields; the message keeps its frame,
// holds the text whole when it fits, and never exceeds its limit.
#include <cstring>
#include <string>

#include "EventChannelRecords.h"
#include "fuzz/FuzzInput.h"
#include "notify/EventReply.h"

using namespace kvofuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    unsigned int controller = input.Byte() % 4;
    size_t limit = input.Byte() * 16;
    std::string bytes = input.Take(KVO_EVENT_REPLY_AREA);
    const char* area = bytes.data();
    size_t length = bytes.size();

    std::string full(KVO_EVENT_REPLY_AREA, '\0');
    full.replace(0, length, bytes);
    uint32_t group, function;
    std::memcpy(&group, &full[16], 4);
    std::memcpy(&function, &full[20], 4);
    bool expected = full.compare(4, 8, std::string(KVO_EVENT_SIGNATURE, 8)) == 0 && full[12] == KVO_EVENT_KIND_REPLY &&
                    group == KVO_EVENT_GROUP && function == KVO_EVENT_FUNCTION;
    Expect(EventReply::IsEvent(area, length) == expected, "event check differs from the four fields");

    std::string text = EventReply::Text(area, length);
    Expect(text.find('\0') == std::string::npos, "text holds a NUL");
    Expect(length > KVO_EVENT_TEXT_OFFSET ? text.size() <= length - KVO_EVENT_TEXT_OFFSET : text.empty(),
           "text reaches past what was read");

    std::string message = EventReply::Message(area, length, controller);
    std::string frame = "Controller " + std::to_string(controller + 1) + ":\r\n ";
    Expect(message.compare(0, 5, "At 20") == 0, "message does not start with the time");
    Expect(message.find(frame) != std::string::npos, "message does not name the controller");
    Expect(message.size() < 4096, "message over its limit");
    if (message.size() < 4095)
        Expect(message.size() >= text.size() && message.compare(message.size() - text.size(), text.size(), text) == 0,
               "message does not end with the whole text");
    Expect(EventReply::Message(area, length, controller, limit).size() < (limit ? limit : 1), "cut message over its limit");
    return 0;
}
