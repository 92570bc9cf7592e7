// SCSI pass-through records carried by driver control code 59: a 28-byte
// request header (data of a write follows it) and an 8-byte reply header (data
// of a read follows it), plus the WRITE/READ BUFFER command block helpers and
// the relay's fixed connect/disconnect messages. Shared with the simulator.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint8_t {
    KVO_OP_WRITE_BUFFER = 0x3B,
    KVO_OP_READ_BUFFER = 0x3C,
    KVO_DIRECTION_READ = 1,
    KVO_DIRECTION_WRITE = 2,
    KVO_CDB_LENGTH = 10,
    KVO_EVENT_BUFFER = 1,       // event channel
    KVO_WEB_BUFFER = 2,         // web channel
    KVO_EVENT_CONNECTION = 65,  // connection byte of the event poller
    KVO_WEB_CONNECTION_MAX = 63,
};

struct _KVO_SCSI_PASSTHROUGH_IN {
    uint32_t target;
    uint8_t direction;
    uint8_t reserved[2];
    uint8_t cdbLength;
    uint8_t cdb[16];
    uint32_t dataLength;
};

struct _KVO_SCSI_PASSTHROUGH_OUT {
    uint8_t status;
    uint8_t reserved[3];
    uint32_t dataLength;
};

static_assert(sizeof(_KVO_SCSI_PASSTHROUGH_IN) == 28, "pass-through request header is 28 bytes");
static_assert(offsetof(_KVO_SCSI_PASSTHROUGH_IN, cdb) == 8, "command block at 8");
static_assert(offsetof(_KVO_SCSI_PASSTHROUGH_IN, dataLength) == 24, "data length at 24");
static_assert(sizeof(_KVO_SCSI_PASSTHROUGH_OUT) == 8, "pass-through reply header is 8 bytes");
static_assert(offsetof(_KVO_SCSI_PASSTHROUGH_OUT, dataLength) == 4, "reply data length at 4");

// The 10-byte WRITE BUFFER / READ BUFFER block: buffer number in byte 2, the
// connection byte in byte 3, the 24-bit length most significant byte first.
inline void KvoFillBufferCdb(uint8_t* cdb, uint8_t opCode, uint8_t buffer, uint8_t connection,
                             uint32_t length) {
    for (int i = 0; i < 16; ++i) cdb[i] = 0;
    cdb[0] = opCode;
    cdb[2] = buffer;
    cdb[3] = connection;
    cdb[6] = static_cast<uint8_t>(length >> 16);
    cdb[7] = static_cast<uint8_t>(length >> 8);
    cdb[8] = static_cast<uint8_t>(length);
}

inline uint32_t KvoCdbLength(const uint8_t* cdb) {
    return (uint32_t(cdb[6]) << 16) | (uint32_t(cdb[7]) << 8) | uint32_t(cdb[8]);
}

inline uint32_t KvoSwap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Relay messages on the web channel (sent with their NUL terminator).
constexpr char KVO_CONNECT_MESSAGE[] = "Socket connect!";        // 16 bytes with the NUL
constexpr char KVO_DISCONNECT_MESSAGE[] = "Socket disconnect!";  // 19 bytes with the NUL
static_assert(sizeof(KVO_CONNECT_MESSAGE) == 16, "connect message is 16 bytes");
static_assert(sizeof(KVO_DISCONNECT_MESSAGE) == 19, "disconnect message is 19 bytes");
