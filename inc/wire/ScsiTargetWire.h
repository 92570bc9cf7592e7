// SCSI target messages: one command (SG_IO's command block, direction, length
// and data-out) and its completion (status, host and driver status, sense,
// residue, data-in), exchanged over one SOCK_SEQPACKET connection per device
// node between a stand-in for the kernel's sg driver and kvoctlsim's SCSI-target
// mode. Plain values in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// The SG_IO transfer directions (values of <scsi/sg.h>).
enum : int32_t {
    KVO_SG_DXFER_NONE = -1,
    KVO_SG_DXFER_TO_DEV = -2,
    KVO_SG_DXFER_FROM_DEV = -3,
};

enum : uint8_t {
    KVO_SCSI_STATUS_GOOD = 0x00,
    KVO_SCSI_STATUS_CHECK_CONDITION = 0x02,
    KVO_SENSE_MAX = 32,
};

// Host status values the simulator and the bridge share (Linux's DID_*).
enum : uint16_t {
    KVO_HOST_OK = 0x00,
    KVO_HOST_NO_CONNECT = 0x01,
    KVO_HOST_TIME_OUT = 0x03,
};

struct _KVO_SG_TARGET_REQUEST {
    uint32_t uSequence;        // echoed in the completion; a late one is dropped
    int32_t nDirection;        // KVO_SG_DXFER_*
    uint32_t uTransferLength;  // data-out bytes that follow, or data-in bytes allowed
    uint8_t byCdbLength;
    uint8_t reserved[3];
    uint8_t cdb[16];
};

struct _KVO_SG_TARGET_REPLY {
    uint32_t uSequence;
    uint8_t byStatus;          // SCSI status
    uint8_t bySenseLength;
    uint16_t wHostStatus;
    uint16_t wDriverStatus;
    uint16_t reserved;
    int32_t nResid;            // bytes of the transfer not moved
    uint8_t sense[KVO_SENSE_MAX];
};

static_assert(sizeof(_KVO_SG_TARGET_REQUEST) == 32, "SCSI target request is 32 bytes");
static_assert(offsetof(_KVO_SG_TARGET_REQUEST, cdb) == 16, "command block at 16");
static_assert(sizeof(_KVO_SG_TARGET_REPLY) == 48, "SCSI target completion is 48 bytes");
static_assert(offsetof(_KVO_SG_TARGET_REPLY, sense) == 16, "sense at 16");

// Fixed-format sense data (response code 0x70): key, ASC, ASCQ.
inline void KvoFillFixedSense(uint8_t* sense, uint8_t key, uint8_t asc, uint8_t ascq) {
    for (int i = 0; i < 18; ++i) sense[i] = 0;
    sense[0] = 0x70;
    sense[2] = key & 0x0F;
    sense[7] = 10;  // additional sense length
    sense[12] = asc;
    sense[13] = ascq;
}
