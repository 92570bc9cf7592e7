// Event channel records (buffer 1, connection byte 65): the 156-byte handshake
// request, the 100-byte event request and the event reply, in host byte order,
// with the packed event time and the handshake word that firmware and service
// share. Plain values; shared by the notify manager and the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

enum : uint32_t {
    KVO_EVENT_KIND_REQUEST = 1,
    KVO_EVENT_KIND_REPLY = 2,
    KVO_EVENT_GROUP = 0x300,
    KVO_EVENT_FUNCTION = 0x302,
    KVO_HANDSHAKE_REPLY_SIZE = 40,   // area the poller reads the handshake answer into
    KVO_EVENT_REPLY_AREA = 2048,     // area the poller reads the event reply into
    KVO_EVENT_TEXT_OFFSET = 96,
};

constexpr char KVO_EVENT_SIGNATURE[8] = {'k', 'v', 'o', '_', 's', 't', 'o', 'r'};
// The event channel's disconnect text is sent without its terminator: 18 bytes.
constexpr char KVO_EVENT_DISCONNECT[] = "Socket disconnect!";

struct _KVO_HANDSHAKE_REQUEST {
    uint32_t uLength;        // 156
    char szSignature[8];     // "kvo_stor"
    uint8_t reserved1[76];
    char szWord[10];         // the handshake word
    uint8_t reserved2[58];
};

struct _KVO_EVENT_REQUEST {
    uint32_t uLength;        // 100
    char szSignature[8];
    uint8_t byKind;          // 1
    uint8_t reserved1[3];
    uint32_t uGroup;         // 0x300
    uint32_t uFunction;      // 0x302
    uint32_t uZero;
    uint8_t reserved2[72];
};

struct _KVO_EVENT_REPLY {
    uint32_t uLength;
    char szSignature[8];
    uint8_t byKind;          // 2
    uint8_t reserved1[3];
    uint32_t uGroup;
    uint32_t uFunction;
    uint32_t uReserved;
    uint8_t byLevel;         // 'I', 'W' or 'E'
    uint8_t reserved2[3];
    uint32_t uTime;          // packed, see KvoPackEventTime
    uint8_t reserved3[60];
    char szText[KVO_EVENT_REPLY_AREA - KVO_EVENT_TEXT_OFFSET];  // NUL-terminated
};

static_assert(sizeof(_KVO_HANDSHAKE_REQUEST) == 156, "handshake request is 156 bytes");
static_assert(offsetof(_KVO_HANDSHAKE_REQUEST, szWord) == 88, "handshake word at 88");
static_assert(sizeof(_KVO_EVENT_REQUEST) == 100, "event request is 100 bytes");
static_assert(offsetof(_KVO_EVENT_REQUEST, byKind) == 12, "record kind at 12");
static_assert(offsetof(_KVO_EVENT_REQUEST, uGroup) == 16, "group code at 16");
static_assert(offsetof(_KVO_EVENT_REQUEST, uFunction) == 20, "function code at 20");
static_assert(sizeof(_KVO_EVENT_REPLY) == 2048, "event reply area is 2048 bytes");
static_assert(offsetof(_KVO_EVENT_REPLY, byLevel) == 28, "event level at 28");
static_assert(offsetof(_KVO_EVENT_REPLY, uTime) == 32, "event time at 32");
static_assert(offsetof(_KVO_EVENT_REPLY, szText) == KVO_EVENT_TEXT_OFFSET, "event text at 96");

// The 10-letter word the firmware expects at offset 88 of the handshake request
// (no terminator on the wire). A request with any other word gets no event.
constexpr char KVO_HANDSHAKE_WORD[] = "QzRmKvoOmx";
constexpr size_t KVO_HANDSHAKE_WORD_LENGTH = sizeof KVO_HANDSHAKE_WORD - 1;
static_assert(KVO_HANDSHAKE_WORD_LENGTH == 10, "the handshake word has 10 letters");

inline void KvoBuildHandshakeWord(char* out10) {
    std::memcpy(out10, KVO_HANDSHAKE_WORD, KVO_HANDSHAKE_WORD_LENGTH);
}

inline void KvoFillHandshakeRequest(_KVO_HANDSHAKE_REQUEST& r) {
    std::memset(&r, 0, sizeof r);
    r.uLength = sizeof r;
    std::memcpy(r.szSignature, KVO_EVENT_SIGNATURE, sizeof r.szSignature);
    KvoBuildHandshakeWord(r.szWord);
}

inline void KvoFillEventRequest(_KVO_EVENT_REQUEST& r) {
    std::memset(&r, 0, sizeof r);
    r.uLength = sizeof r;
    std::memcpy(r.szSignature, KVO_EVENT_SIGNATURE, sizeof r.szSignature);
    r.byKind = KVO_EVENT_KIND_REQUEST;
    r.uGroup = KVO_EVENT_GROUP;
    r.uFunction = KVO_EVENT_FUNCTION;
}

// Packed time: second bits 0-5, minute 6-11, month 12-15, hour 16-21,
// day 22-26, year - 2000 in 27-31.
inline uint32_t KvoPackEventTime(int year, int month, int day, int hour, int minute, int second) {
    return (uint32_t(second) & 0x3F) | ((uint32_t(minute) & 0x3F) << 6) |
           ((uint32_t(month) & 0x0F) << 12) | ((uint32_t(hour) & 0x3F) << 16) |
           ((uint32_t(day) & 0x1F) << 22) | ((uint32_t(year - 2000) & 0x1F) << 27);
}

struct KvoEventTime {
    int year, month, day, hour, minute, second;
};

inline KvoEventTime KvoUnpackEventTime(uint32_t t) {
    return KvoEventTime{2000 + int(t >> 27), int((t >> 12) & 0x0F), int((t >> 22) & 0x1F),
                        int((t >> 16) & 0x3F), int((t >> 6) & 0x3F), int(t & 0x3F)};
}
