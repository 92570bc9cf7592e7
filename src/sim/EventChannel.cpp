#include "sim/EventChannel.h"

#include <cstring>

#include "EventChannelRecords.h"

namespace {

constexpr size_t kHistoryLimit = 200;
// The poller reads the reply into 2048 bytes, of which the driver carries 2040.
constexpr size_t kMaxReply = 2040;

bool HasSignature(const uint8_t* data) {
    return std::memcmp(data + 4, KVO_EVENT_SIGNATURE, sizeof KVO_EVENT_SIGNATURE) == 0;
}

bool IsHandshake(const uint8_t* data, uint32_t size) {
    if (size != sizeof(_KVO_HANDSHAKE_REQUEST)) return false;
    _KVO_HANDSHAKE_REQUEST r;
    std::memcpy(&r, data, sizeof r);
    char word[KVO_HANDSHAKE_WORD_LENGTH];
    KvoBuildHandshakeWord(word);
    return r.uLength == sizeof r && HasSignature(data) &&
           std::memcmp(r.szWord, word, sizeof word) == 0;
}

bool IsEventRequest(const uint8_t* data, uint32_t size) {
    if (size != sizeof(_KVO_EVENT_REQUEST)) return false;
    _KVO_EVENT_REQUEST r;
    std::memcpy(&r, data, sizeof r);
    return HasSignature(data) && r.byKind == KVO_EVENT_KIND_REQUEST &&
           r.uGroup == KVO_EVENT_GROUP && r.uFunction == KVO_EVENT_FUNCTION;
}

bool IsDisconnect(const uint8_t* data, uint32_t size) {
    const uint32_t textLength = sizeof KVO_EVENT_DISCONNECT - 1;
    return (size == textLength || size == textLength + 1) &&
           std::memcmp(data, KVO_EVENT_DISCONNECT, textLength) == 0;
}

}  // namespace

uint32_t EventChannel::Write(const uint8_t* data, uint32_t size) {
    if (m_silent) return size;
    if (IsDisconnect(data, size)) {
        m_handshaken = false;
        m_pending.clear();
        return size;
    }
    if (IsHandshake(data, size)) {
        AnswerHandshake();
        return size;
    }
    if (IsEventRequest(data, size) && m_handshaken) {
        AnswerEventRequest();
        return size;
    }
    return 0;
}

uint32_t EventChannel::Read(uint8_t* out, uint32_t max) {
    if (m_silent) return 0;
    uint32_t n = static_cast<uint32_t>(m_pending.size() < max ? m_pending.size() : max);
    std::memcpy(out, m_pending.data(), n);
    m_pending.erase(0, n);
    return n;
}

void EventChannel::Queue(const SimEvent& event) { m_queue.push_back(event); }

void EventChannel::AnswerHandshake() {
    m_handshaken = true;
    uint8_t ack[KVO_HANDSHAKE_REPLY_SIZE] = {};
    uint32_t length = sizeof ack;
    std::memcpy(ack, &length, 4);
    std::memcpy(ack + 4, KVO_EVENT_SIGNATURE, sizeof KVO_EVENT_SIGNATURE);
    ack[12] = KVO_EVENT_KIND_REPLY;
    m_pending.assign(reinterpret_cast<char*>(ack), sizeof ack);
}

void EventChannel::AnswerEventRequest() {
    _KVO_EVENT_REPLY reply;
    std::memset(&reply, 0, sizeof reply);
    std::memcpy(reply.szSignature, KVO_EVENT_SIGNATURE, sizeof reply.szSignature);
    reply.byKind = KVO_EVENT_KIND_REPLY;
    reply.uGroup = KVO_EVENT_GROUP;
    size_t size = KVO_EVENT_TEXT_OFFSET + 4;
    if (m_queue.empty()) {
        reply.uFunction = 0;  // "no event": the function code does not match
    } else {
        SimEvent event = m_queue.front();
        m_queue.pop_front();
        reply.uFunction = KVO_EVENT_FUNCTION;
        if (event.notAnEvent) reply.byKind = KVO_EVENT_KIND_REQUEST;
        reply.byLevel = static_cast<uint8_t>(event.level);
        reply.uTime = event.packedTime;
        size_t textLength = event.text.size();
        if (textLength > kMaxReply - KVO_EVENT_TEXT_OFFSET - 1)
            textLength = kMaxReply - KVO_EVENT_TEXT_OFFSET - 1;
        std::memcpy(reply.szText, event.text.data(), textLength);
        size = KVO_EVENT_TEXT_OFFSET + textLength + 1;
        if (!event.notAnEvent) {
            event.delivered = true;
            m_history.push_back(event);
            if (m_history.size() > kHistoryLimit) m_history.pop_front();
        }
    }
    reply.uLength = static_cast<uint32_t>(size);
    m_pending.assign(reinterpret_cast<char*>(&reply), size);
}
