// Transcript: the JSON-lines record of every pass-through transfer, one object
// a line, flushed at once so readers see it immediately. Owned by the
// Simulator; used only from its loop thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct TransferRecord {
    int controller = 0;
    bool write = false;
    unsigned buffer = 0;
    unsigned connection = 0;
    uint32_t asked = 0;          // length in the command block
    uint32_t moved = 0;          // length reported back
    uint32_t requestBytes = 0;   // driver input length (header + data)
    uint32_t replyBytes = 0;     // driver output length asked for
    const uint8_t* cdb = nullptr;          // 10 bytes
    const uint8_t* dataLengthRaw = nullptr;  // the 4 header bytes as sent
    const uint8_t* data = nullptr;         // write data
    uint32_t dataSize = 0;
};

class Transcript {
public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    bool Open(const std::string& path);  // appends to the file
    bool IsOpen() const { return m_file != nullptr; }
    void Record(const TransferRecord& r);

    static std::string Base64(const uint8_t* data, size_t size);

private:
    FILE* m_file = nullptr;
};
