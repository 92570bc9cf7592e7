// Test peer for the trap sender: a UDP socket on 127.0.0.1 (kernel-chosen port) and a
// small BER decoder for SNMPv1/v2c messages, so tests see the exact bytes on the wire.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvotest {

struct DecodedVarbind {
    std::string oid;      // dotted, e.g. "1.3.6.1.2.1.1.1.0"
    uint8_t type = 0;     // BER tag of the value
    std::string octets;   // OCTET STRING contents
    std::string oidValue; // OBJECT IDENTIFIER value, dotted
    uint64_t number = 0;  // INTEGER / TimeTicks / Counter value
};

struct DecodedTrap {
    long version = -1;
    std::string community;
    uint8_t pduType = 0;
    long requestId = 0;
    long errorStatus = -1;
    long errorIndex = -1;
    std::vector<DecodedVarbind> varbinds;

    const DecodedVarbind* Find(const std::string& oid) const {
        for (const auto& vb : varbinds)
            if (vb.oid == oid) return &vb;
        return nullptr;
    }
    std::string Text() const {
        const DecodedVarbind* vb = Find("1.3.6.1.2.1.1.1.0");
        return vb ? vb->octets : std::string();
    }
};

class BerReader {
public:
    BerReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    bool AtEnd() const { return p_ == end_; }

    // Reads one TLV; returns its tag and a reader over its contents.
    BerReader Next(uint8_t& tag) {
        Need(2);
        tag = *p_++;
        size_t len = *p_++;
        if (len & 0x80) {
            size_t count = len & 0x7F;
            if (count == 0 || count > 4) throw std::runtime_error("bad BER length");
            Need(count);
            len = 0;
            for (size_t i = 0; i < count; ++i) len = (len << 8) | *p_++;
        }
        Need(len);
        BerReader inner(p_, len);
        p_ += len;
        return inner;
    }
    BerReader Expect(uint8_t wanted) {
        uint8_t tag = 0;
        BerReader r = Next(tag);
        if (tag != wanted) throw std::runtime_error("unexpected BER tag");
        return r;
    }
    std::string Bytes() const { return std::string(reinterpret_cast<const char*>(p_), end_ - p_); }
    int64_t Signed() const {
        int64_t v = (p_ != end_ && (*p_ & 0x80)) ? -1 : 0;
        for (const uint8_t* q = p_; q != end_; ++q) v = (v << 8) | *q;
        return v;
    }
    uint64_t Unsigned() const {
        uint64_t v = 0;
        for (const uint8_t* q = p_; q != end_; ++q) v = (v << 8) | *q;
        return v;
    }
    std::string Oid() const {
        if (p_ == end_) throw std::runtime_error("empty OID");
        std::string out = std::to_string(*p_ / 40) + "." + std::to_string(*p_ % 40);
        uint64_t sub = 0;
        for (const uint8_t* q = p_ + 1; q != end_; ++q) {
            sub = (sub << 7) | (*q & 0x7F);
            if (!(*q & 0x80)) {
                out += "." + std::to_string(sub);
                sub = 0;
            }
        }
        return out;
    }

private:
    void Need(size_t n) const {
        if (static_cast<size_t>(end_ - p_) < n) throw std::runtime_error("truncated BER");
    }
    const uint8_t* p_;
    const uint8_t* end_;
};

// Decodes a whole SNMP message; nullopt when it is not well-formed or has trailing bytes.
inline std::optional<DecodedTrap> DecodeSnmpMessage(const std::string& datagram) {
    try {
        DecodedTrap t;
        BerReader whole(reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size());
        BerReader msg = whole.Expect(0x30);
        if (!whole.AtEnd()) return std::nullopt;
        t.version = static_cast<long>(msg.Expect(0x02).Signed());
        t.community = msg.Expect(0x04).Bytes();
        BerReader pdu = msg.Next(t.pduType);
        if (!msg.AtEnd()) return std::nullopt;
        t.requestId = static_cast<long>(pdu.Expect(0x02).Signed());
        t.errorStatus = static_cast<long>(pdu.Expect(0x02).Signed());
        t.errorIndex = static_cast<long>(pdu.Expect(0x02).Signed());
        BerReader list = pdu.Expect(0x30);
        if (!pdu.AtEnd()) return std::nullopt;
        while (!list.AtEnd()) {
            BerReader vbr = list.Expect(0x30);
            DecodedVarbind vb;
            vb.oid = vbr.Expect(0x06).Oid();
            BerReader value = vbr.Next(vb.type);
            if (!vbr.AtEnd()) return std::nullopt;
            if (vb.type == 0x04) vb.octets = value.Bytes();
            else if (vb.type == 0x06) vb.oidValue = value.Oid();
            else vb.number = value.Unsigned();
            t.varbinds.push_back(vb);
        }
        return t;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A UDP receiver on 127.0.0.1; every wait is bounded.
class TrapListener {
public:
    TrapListener() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot bind UDP listener");
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~TrapListener() { close(fd_); }
    TrapListener(const TrapListener&) = delete;
    TrapListener& operator=(const TrapListener&) = delete;

    unsigned short port() const { return port_; }

    // The next datagram, or nullopt when none arrives within `limit`.
    std::optional<std::string> ReceiveRaw(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        char buf[65536];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0) return std::nullopt;
        return std::string(buf, static_cast<size_t>(n));
    }

    // The next datagram decoded; a datagram that does not decode yields a trap
    // with version -1 so that the test fails visibly.
    std::optional<DecodedTrap> Receive(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        auto raw = ReceiveRaw(limit);
        if (!raw) return std::nullopt;
        auto decoded = DecodeSnmpMessage(*raw);
        return decoded ? decoded : DecodedTrap{};
    }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

}  // namespace kvotest
