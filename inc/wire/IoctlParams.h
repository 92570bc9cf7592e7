// Driver call records: the request and reply of the driver's structure call
// (selector 2), with the selectors and control codes the driver port uses.
// Plain values in host byte order, shared by the service and the simulator.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    KVO_IOCTL_DATA_SIZE = 2048,       // input and output areas of one driver call
    KVO_SELECTOR_CLIENT_OPEN = 0,     // opens the driver client for one request
    KVO_SELECTOR_CLIENT_CLOSE = 1,    // closes it again
    KVO_SELECTOR_STRUCTURE = 2,       // one request record in, one reply record out
    KVO_CTL_GET_INFO = 0,             // the probe: 4 output bytes, no input
    KVO_CTL_SCSI_PASSTHROUGH = 59,    // one pass-through request
};

struct _IOCTL_PARAM_IN {
    uint32_t uControlCode;
    uint8_t byInput[KVO_IOCTL_DATA_SIZE];
    uint32_t uInputLength;
    uint32_t uOutputLength;
};

struct _IOCTL_PARAM_OUT {
    uint8_t byOutput[KVO_IOCTL_DATA_SIZE];
    uint32_t uBytesReturned;
};

static_assert(sizeof(_IOCTL_PARAM_IN) == 2060, "driver request record is 2060 bytes");
static_assert(offsetof(_IOCTL_PARAM_IN, uInputLength) == 2052, "input length at 2052");
static_assert(offsetof(_IOCTL_PARAM_IN, uOutputLength) == 2056, "output length at 2056");
static_assert(sizeof(_IOCTL_PARAM_OUT) == 2052, "driver reply record is 2052 bytes");
static_assert(offsetof(_IOCTL_PARAM_OUT, uBytesReturned) == 2048, "bytes returned at 2048");
