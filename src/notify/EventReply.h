// EventReply: the check of one reply read from a controller's event channel,
// and the message an event becomes. Static only, no state; the poller thread
// calls it, tests and fuzzing too.
#pragma once

#include <cstddef>
#include <string>

class EventReply {
public:
    // True when the `length` bytes read into `area` are an event: signature,
    // record kind, group and function code match. Bytes past `length` count as
    // zero, as in the poller's cleared area.
    static bool IsEvent(const char* area, size_t length);
    // The event's level letter ('I', 'W', 'E'), as the trap and mail take it.
    static int Level(const char* area, size_t length);
    // The event text: from its offset up to the first NUL or the end of what was read.
    static std::string Text(const char* area, size_t length);
    // "At 20YY-MM-DD hh:mm:ss Controller n:" CR LF, a space and the text, for
    // controller index `controller` (shown as n = index + 1), cut to `limit` - 1 bytes.
    static std::string Message(const char* area, size_t length, unsigned int controller, size_t limit = 4096);
};
