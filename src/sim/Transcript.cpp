#include "sim/Transcript.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace

Transcript::~Transcript() {
    if (m_file) std::fclose(m_file);
}

bool Transcript::Open(const std::string& path) {
    m_file = std::fopen(path.c_str(), "a");
    return m_file != nullptr;
}

std::string Transcript::Base64(const uint8_t* data, size_t size) {
    static const char table[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < size; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i < size) {
        uint32_t v = uint32_t(data[i]) << 16;
        if (i + 1 < size) v |= uint32_t(data[i + 1]) << 8;
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += (i + 1 < size) ? table[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

void Transcript::Record(const TransferRecord& r) {
    if (!m_file) return;
    std::string line = "{\"controller\":" + std::to_string(r.controller) + ",\"op\":\"" +
                       (r.write ? "write" : "read") + "\",\"buffer\":" +
                       std::to_string(r.buffer) + ",\"connection\":" +
                       std::to_string(r.connection) + ",\"asked\":" + std::to_string(r.asked) +
                       ",\"moved\":" + std::to_string(r.moved) + ",\"request_bytes\":" +
                       std::to_string(r.requestBytes) + ",\"reply_bytes\":" +
                       std::to_string(r.replyBytes);
    if (r.cdb) line += ",\"cdb\":\"" + Hex(r.cdb, 10) + "\"";
    if (r.dataLengthRaw) line += ",\"data_length_bytes\":\"" + Hex(r.dataLengthRaw, 4) + "\"";
    if (r.write) line += ",\"data_b64\":\"" + Base64(r.data, r.dataSize) + "\"";
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), m_file);
    std::fflush(m_file);
}
