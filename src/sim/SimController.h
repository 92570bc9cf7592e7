// SimController: one simulated controller: its driver service (selectors 0/1/2,
// control codes 0 and 59) and its firmware (web and event channels), with the
// faults the control socket can switch on. Owned by the Simulator; used only
// from its loop thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "IoctlParams.h"
#include "ScsiTargetWire.h"
#include "sim/EventChannel.h"
#include "sim/Transcript.h"
#include "sim/WebChannel.h"

// Per driver connection: whether the driver client is open (selector 0 seen).
struct DriverClientState {
    bool clientOpen = false;
};

struct ControllerStats {
    unsigned opens = 0;        // service connections accepted
    unsigned calls = 0;        // driver messages handled
    unsigned transfers = 0;    // pass-through transfers that reached the firmware
    unsigned failedOpens = 0;  // selector-0 calls failed on purpose
    unsigned webReads = 0;     // READ BUFFER transfers on the web channel
    unsigned emptyWebReads = 0;  // of those, the ones that found nothing ready
};

class SimController {
public:
    static constexpr int32_t kDriverError = static_cast<int32_t>(0xE00002BC);
    static constexpr int32_t kNotOpen = static_cast<int32_t>(0xE00002CD);
    static constexpr int32_t kUnsupported = static_cast<int32_t>(0xE00002C7);
    static constexpr int32_t kBadArgument = static_cast<int32_t>(0xE00002C2);

    SimController(int number, std::string className, int instance, bool bigEndian,
                  Transcript* transcript);

    // Handles one driver message; `reply` receives the whole answer message.
    void HandleMessage(const uint8_t* message, size_t size, DriverClientState& client,
                       std::vector<uint8_t>& reply);
    // SCSI-target mode: one command block from a device node's connection
    // (_KVO_SG_TARGET_REQUEST + data-out); `reply` receives the completion +
    // data-in. Same firmware and transcript as the driver path.
    void HandleScsiCommand(const uint8_t* message, size_t size, std::vector<uint8_t>& reply);

    int Number() const { return m_number; }
    const std::string& ClassName() const { return m_className; }
    int Instance() const { return m_instance; }
    ControllerStats& Stats() { return m_stats; }
    EventChannel& Events() { return m_events; }
    WebChannel& Web() { return m_web; }

    // Faults and switches set through the control socket.
    void SetProbeSucceeds(bool ok) { m_probeSucceeds = ok; }
    void FailNextOpens(unsigned count) { m_failOpens = count; }
    void SetPulled(bool pulled) { m_pulled = pulled; }
    void ZeroReturnedNext() { m_zeroReturnedNext = true; }
    void OverlongNextRead() { m_overlongNextRead = true; }
    // SCSI-target mode: the next command ends in CHECK CONDITION with this sense.
    void SenseNext(uint8_t key, uint8_t asc, uint8_t ascq) {
        m_senseNext = true;
        m_sense[0] = key;
        m_sense[1] = asc;
        m_sense[2] = ascq;
    }
    // SCSI-target mode: the next WRITE BUFFER takes only half its bytes.
    void ShortNextWrite() { m_shortNextWrite = true; }
    // Holds back the reply to the next driver message (with `selector` only,
    // when it is 0 to 2) by `ms` milliseconds: a stalled driver.
    void HoldNextReply(unsigned ms, int selector) {
        m_holdMs = ms;
        m_holdSelector = selector;
    }
    // The hold for a message with this selector, taken once; 0 when none.
    unsigned TakeHold(uint32_t selector) {
        if (m_holdMs == 0 || (m_holdSelector >= 0 && static_cast<uint32_t>(m_holdSelector) != selector))
            return 0;
        unsigned ms = m_holdMs;
        m_holdMs = 0;
        return ms;
    }

private:
    int32_t HandleStructureCall(const _IOCTL_PARAM_IN& in, _IOCTL_PARAM_OUT& out);
    int32_t HandlePassThrough(const _IOCTL_PARAM_IN& in, _IOCTL_PARAM_OUT& out);
    uint32_t FromDriverOrder(uint32_t v) const;
    // One WRITE/READ BUFFER through the firmware; the bytes moved.
    uint32_t Transfer(const uint8_t* cdb, const uint8_t* data, uint32_t writeSize,
                      uint8_t* readArea, uint32_t readRoom);
    void Record(const uint8_t* cdb, uint32_t reported, uint32_t requestBytes, uint32_t replyBytes,
                const uint8_t* dataLengthRaw, const uint8_t* data);
    uint32_t ExecuteScsiCommand(const _KVO_SG_TARGET_REQUEST& request, const uint8_t* dataOut,
                                size_t dataOutSize, uint8_t* readArea, _KVO_SG_TARGET_REPLY& done);
    static void CheckCondition(_KVO_SG_TARGET_REPLY& done, uint8_t key, uint8_t asc, uint8_t ascq);
    static constexpr uint8_t kIllegalRequest = 0x05;
    static constexpr uint8_t kInvalidOperationCode = 0x20;
    static constexpr uint8_t kInvalidFieldInCdb = 0x24;
    WebUiContext Context() const;

    int m_number;
    std::string m_className;
    int m_instance;
    bool m_bigEndian;
    Transcript* m_transcript;  // not owned; may be closed
    ControllerStats m_stats;
    EventChannel m_events;
    WebChannel m_web;

    bool m_probeSucceeds = false;
    unsigned m_failOpens = 0;
    bool m_pulled = false;
    bool m_zeroReturnedNext = false;
    bool m_overlongNextRead = false;
    bool m_senseNext = false;
    uint8_t m_sense[3] = {};
    bool m_shortNextWrite = false;
    unsigned m_holdMs = 0;
    int m_holdSelector = -1;
};
