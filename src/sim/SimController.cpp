#include "sim/SimController.h"

#include <cstring>
#include <utility>

#include "ScsiPassThrough.h"

namespace {

constexpr size_t kSelectorSize = sizeof(uint32_t);
constexpr uint32_t kReplyHeader = sizeof(_KVO_SCSI_PASSTHROUGH_OUT);

void PutResult(std::vector<uint8_t>& reply, int32_t result) {
    reply.resize(sizeof result);
    std::memcpy(reply.data(), &result, sizeof result);
}

}  // namespace

SimController::SimController(int number, std::string className, int instance, bool bigEndian,
                             Transcript* transcript)
    : m_number(number),
      m_className(std::move(className)),
      m_instance(instance),
      m_bigEndian(bigEndian),
      m_transcript(transcript) {}

uint32_t SimController::FromDriverOrder(uint32_t v) const {
    return m_bigEndian ? KvoSwap32(v) : v;
}

WebUiContext SimController::Context() const {
    WebUiContext c;
    c.controller = m_number;
    c.className = m_className;
    c.instance = m_instance;
    c.events = &m_events;
    return c;
}

void SimController::HandleMessage(const uint8_t* message, size_t size, DriverClientState& client,
                                  std::vector<uint8_t>& reply) {
    ++m_stats.calls;
    if (size < kSelectorSize) return PutResult(reply, kBadArgument);
    uint32_t selector;
    std::memcpy(&selector, message, sizeof selector);
    if (selector == KVO_SELECTOR_CLIENT_OPEN || selector == KVO_SELECTOR_CLIENT_CLOSE) {
        if (size != kSelectorSize) return PutResult(reply, kBadArgument);
        if (selector == KVO_SELECTOR_CLIENT_CLOSE) {
            client.clientOpen = false;
            return PutResult(reply, 0);
        }
        if (m_failOpens > 0) {
            --m_failOpens;
            ++m_stats.failedOpens;
            return PutResult(reply, kDriverError);
        }
        client.clientOpen = true;
        return PutResult(reply, 0);
    }
    if (selector != KVO_SELECTOR_STRUCTURE) return PutResult(reply, kUnsupported);
    if (size != kSelectorSize + sizeof(_IOCTL_PARAM_IN)) return PutResult(reply, kBadArgument);
    if (!client.clientOpen) return PutResult(reply, kNotOpen);
    _IOCTL_PARAM_IN in;
    std::memcpy(&in, message + kSelectorSize, sizeof in);
    _IOCTL_PARAM_OUT out;
    std::memset(&out, 0, sizeof out);
    int32_t result = HandleStructureCall(in, out);
    if (result != 0) return PutResult(reply, result);
    reply.resize(sizeof result + sizeof out);
    std::memcpy(reply.data(), &result, sizeof result);
    std::memcpy(reply.data() + sizeof result, &out, sizeof out);
}

int32_t SimController::HandleStructureCall(const _IOCTL_PARAM_IN& in, _IOCTL_PARAM_OUT& out) {
    if (in.uInputLength > KVO_IOCTL_DATA_SIZE) return kBadArgument;
    if (m_zeroReturnedNext) {  // the driver answers, but hands back nothing
        m_zeroReturnedNext = false;
        return 0;
    }
    if (in.uControlCode == KVO_CTL_GET_INFO) {
        if (!m_probeSucceeds) return kUnsupported;
        const uint8_t info[4] = {1, 56, 0, static_cast<uint8_t>(m_number)};
        std::memcpy(out.byOutput, info, sizeof info);
        out.uBytesReturned = sizeof info;
        return 0;
    }
    if (in.uControlCode == KVO_CTL_SCSI_PASSTHROUGH) return HandlePassThrough(in, out);
    return kUnsupported;
}

int32_t SimController::HandlePassThrough(const _IOCTL_PARAM_IN& in, _IOCTL_PARAM_OUT& out) {
    if (m_pulled) return kDriverError;
    if (in.uInputLength < sizeof(_KVO_SCSI_PASSTHROUGH_IN)) return kBadArgument;
    _KVO_SCSI_PASSTHROUGH_IN header;
    std::memcpy(&header, in.byInput, sizeof header);
    const uint8_t op = header.cdb[0];
    if (header.cdbLength != KVO_CDB_LENGTH ||
        (op != KVO_OP_WRITE_BUFFER && op != KVO_OP_READ_BUFFER))
        return kBadArgument;
    const bool write = op == KVO_OP_WRITE_BUFFER;
    const uint32_t asked = KvoCdbLength(header.cdb);
    const uint32_t dataInRequest = in.uInputLength - static_cast<uint32_t>(sizeof header);
    if (write && (dataInRequest != asked || FromDriverOrder(header.dataLength) != asked))
        return kBadArgument;
    if (!write && in.uOutputLength < kReplyHeader) return kBadArgument;

    const uint8_t* data = in.byInput + sizeof header;
    uint8_t* readArea = out.byOutput + kReplyHeader;
    const unsigned buffer = header.cdb[2];
    const unsigned connection = header.cdb[3];
    const auto now = WebChannel::Clock::now();
    uint32_t moved = 0;
    if (write) {
        if (buffer == KVO_WEB_BUFFER)
            moved = m_web.Write(connection, data, asked, Context(), now);
        else if (buffer == KVO_EVENT_BUFFER && connection == KVO_EVENT_CONNECTION)
            moved = m_events.Write(data, asked);
    } else {
        uint32_t area = in.uOutputLength < KVO_IOCTL_DATA_SIZE ? in.uOutputLength
                                                               : KVO_IOCTL_DATA_SIZE;
        uint32_t room = area - kReplyHeader;
        uint32_t max = asked < room ? asked : room;
        if (buffer == KVO_WEB_BUFFER) {
            moved = m_web.Read(connection, readArea, max, now);
            ++m_stats.webReads;
            m_stats.emptyWebReads += moved == 0 ? 1 : 0;
        }
        else if (buffer == KVO_EVENT_BUFFER && connection == KVO_EVENT_CONNECTION)
            moved = m_events.Read(readArea, max);
    }
    ++m_stats.transfers;
    uint32_t reported = moved;
    if (!write && m_overlongNextRead) {
        m_overlongNextRead = false;
        reported = asked + 4096;
    }
    _KVO_SCSI_PASSTHROUGH_OUT replyHeader{};
    replyHeader.dataLength = FromDriverOrder(reported);
    std::memcpy(out.byOutput, &replyHeader, sizeof replyHeader);
    out.uBytesReturned = kReplyHeader + (write ? 0 : moved);

    if (m_transcript && m_transcript->IsOpen()) {
        TransferRecord r;
        r.controller = m_number;
        r.write = write;
        r.buffer = buffer;
        r.connection = connection;
        r.asked = asked;
        r.moved = reported;
        r.requestBytes = in.uInputLength;
        r.replyBytes = in.uOutputLength;
        r.cdb = header.cdb;
        r.dataLengthRaw = in.byInput + offsetof(_KVO_SCSI_PASSTHROUGH_IN, dataLength);
        r.data = data;
        r.dataSize = write ? asked : 0;
        m_transcript->Record(r);
    }
    return 0;
}
