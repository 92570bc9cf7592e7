// DriverBridge: the four platform operations the driver port needs: open the
// n-th service of a driver class, close it, the two argument-less client calls
// (selector 0 / 1) and the structure call (selector 2). Stateless between calls;
// callers serialise per connection (the driver port's lock). The process-wide
// bridge is the Linux one unless a test installs another (not owned).
#pragma once

#include <cstdint>

#include "IoctlParams.h"

class DriverBridge {
public:
    virtual ~DriverBridge() = default;

    // Connects to the service at position `index` among those of `className`.
    virtual bool OpenService(const char* className, int index, uint32_t& handle) = 0;
    virtual void CloseService(uint32_t handle) = 0;
    // Selector 0 or 1; 0 on success, otherwise the driver's (or the transport's) code.
    virtual int32_t CallScalar(uint32_t handle, uint32_t selector) = 0;
    // Selector 2; 0 on success, `out` filled only then.
    virtual int32_t CallStructure(uint32_t handle, const _IOCTL_PARAM_IN& in,
                                  _IOCTL_PARAM_OUT& out) = 0;

    static DriverBridge& Current();
    // Installs `bridge` for every later call (nullptr restores the platform's own).
    static void SetCurrent(DriverBridge* bridge);
};
