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
    uint32_t room = 0;
    if (!write) {
        uint32_t area = in.uOutputLength < KVO_IOCTL_DATA_SIZE ? in.uOutputLength : KVO_IOCTL_DATA_SIZE;
        room = area - kReplyHeader;
    }
    const uint32_t moved = Transfer(header.cdb, data, write ? asked : 0, readArea, room);
    uint32_t reported = moved;
    if (!write && m_overlongNextRead) {
        m_overlongNextRead = false;
        reported = asked + 4096;
    }
    _KVO_SCSI_PASSTHROUGH_OUT replyHeader{};
    replyHeader.dataLength = FromDriverOrder(reported);
    std::memcpy(out.byOutput, &replyHeader, sizeof replyHeader);
    out.uBytesReturned = kReplyHeader + (write ? 0 : moved);
    Record(header.cdb, reported, in.uInputLength, in.uOutputLength,
           in.byInput + offsetof(_KVO_SCSI_PASSTHROUGH_IN, dataLength), data);
    return 0;
}

uint32_t SimController::Transfer(const uint8_t* cdb, const uint8_t* data, uint32_t writeSize,
                                 uint8_t* readArea, uint32_t readRoom) {
    const bool write = cdb[0] == KVO_OP_WRITE_BUFFER;
    const uint32_t asked = KvoCdbLength(cdb);
    const unsigned buffer = cdb[2];
    const unsigned connection = cdb[3];
    const auto now = WebChannel::Clock::now();
    const bool events = buffer == KVO_EVENT_BUFFER && connection == KVO_EVENT_CONNECTION;
    uint32_t moved = 0;
    if (write) {
        if (buffer == KVO_WEB_BUFFER)
            moved = m_web.Write(connection, data, writeSize, Context(), now);
        else if (events)
            moved = m_events.Write(data, writeSize);
    } else {
        uint32_t max = asked < readRoom ? asked : readRoom;
        if (buffer == KVO_WEB_BUFFER) {
            moved = m_web.Read(connection, readArea, max, now);
            ++m_stats.webReads;
            m_stats.emptyWebReads += moved == 0 ? 1 : 0;
        } else if (events) {
            moved = m_events.Read(readArea, max);
        }
    }
    ++m_stats.transfers;
    return moved;
}

void SimController::Record(const uint8_t* cdb, uint32_t reported, uint32_t requestBytes,
                           uint32_t replyBytes, const uint8_t* dataLengthRaw, const uint8_t* data) {
    if (!m_transcript || !m_transcript->IsOpen()) return;
    TransferRecord r;
    r.controller = m_number;
    r.write = cdb[0] == KVO_OP_WRITE_BUFFER;
    r.buffer = cdb[2];
    r.connection = cdb[3];
    r.asked = KvoCdbLength(cdb);
    r.moved = reported;
    r.requestBytes = requestBytes;
    r.replyBytes = replyBytes;
    r.cdb = cdb;
    r.dataLengthRaw = dataLengthRaw;
    r.data = data;
    r.dataSize = r.write ? r.asked : 0;
    m_transcript->Record(r);
}

void SimController::HandleScsiCommand(const uint8_t* message, size_t size,
                                      std::vector<uint8_t>& reply) {
    ++m_stats.calls;
    _KVO_SG_TARGET_REQUEST request{};
    _KVO_SG_TARGET_REPLY done{};
    uint32_t dataIn = 0;
    uint8_t readArea[KVO_IOCTL_DATA_SIZE];
    if (size >= sizeof request) {
        std::memcpy(&request, message, sizeof request);
        done.uSequence = request.uSequence;
        done.nResid = static_cast<int32_t>(request.uTransferLength);
        dataIn = ExecuteScsiCommand(request, message + sizeof request, size - sizeof request,
                                    readArea, done);
    } else {
        CheckCondition(done, kIllegalRequest, kInvalidFieldInCdb, 0);
    }
    reply.resize(sizeof done + dataIn);
    std::memcpy(reply.data(), &done, sizeof done);
    if (dataIn > 0) std::memcpy(reply.data() + sizeof done, readArea, dataIn);
}

void SimController::CheckCondition(_KVO_SG_TARGET_REPLY& done, uint8_t key, uint8_t asc,
                                   uint8_t ascq) {
    done.byStatus = KVO_SCSI_STATUS_CHECK_CONDITION;
    KvoFillFixedSense(done.sense, key, asc, ascq);
    done.bySenseLength = 18;
}

uint32_t SimController::ExecuteScsiCommand(const _KVO_SG_TARGET_REQUEST& request,
                                           const uint8_t* dataOut, size_t dataOutSize,
                                           uint8_t* readArea, _KVO_SG_TARGET_REPLY& done) {
    if (m_pulled) {
        done.wHostStatus = KVO_HOST_NO_CONNECT;
        return 0;
    }
    if (m_senseNext) {
        m_senseNext = false;
        CheckCondition(done, m_sense[0], m_sense[1], m_sense[2]);
        return 0;
    }
    const uint8_t* cdb = request.cdb;
    const bool write = cdb[0] == KVO_OP_WRITE_BUFFER;
    const uint32_t asked = KvoCdbLength(cdb);
    if (request.byCdbLength != KVO_CDB_LENGTH || (!write && cdb[0] != KVO_OP_READ_BUFFER)) {
        CheckCondition(done, kIllegalRequest, kInvalidOperationCode, 0);
        return 0;
    }
    // A read may come with a smaller buffer than its allocation length (the
    // driver's reply area): the firmware then moves at most that much.
    const uint32_t length = request.uTransferLength;
    const int32_t expected = length == 0 ? KVO_SG_DXFER_NONE
                                         : (write ? KVO_SG_DXFER_TO_DEV : KVO_SG_DXFER_FROM_DEV);
    if (request.nDirection != expected || (write && (length != asked || dataOutSize != asked)) ||
        (!write && (length > asked || length > KVO_IOCTL_DATA_SIZE))) {
        CheckCondition(done, kIllegalRequest, kInvalidFieldInCdb, 0);
        return 0;
    }
    uint32_t taken = asked;
    if (write && m_shortNextWrite) {
        m_shortNextWrite = false;
        taken = asked / 2;
    }
    const uint32_t moved = Transfer(cdb, dataOut, taken, readArea, length);
    uint32_t reported = moved;
    if (!write && m_overlongNextRead) {
        m_overlongNextRead = false;
        reported = asked + 4096;
    }
    done.nResid = static_cast<int32_t>(length) - static_cast<int32_t>(reported);
    // The transcript shows the transfer as the driver path would carry it.
    uint8_t lengthBytes[4];
    std::memcpy(lengthBytes, &asked, sizeof asked);
    Record(cdb, reported,
           static_cast<uint32_t>(sizeof(_KVO_SCSI_PASSTHROUGH_IN)) + (write ? asked : 0),
           kReplyHeader + (write ? 0 : asked), lengthBytes, dataOut);
    return write ? 0 : moved;
}
