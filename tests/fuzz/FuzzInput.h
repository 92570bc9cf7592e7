// FuzzInput: takes a harness's input apart into settings, texts and the rest,
// the same way under libFuzzer and in the corpus replay. Reads past the end
// give zeros and empty texts, so every input is a valid one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kvofuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    bool Flag() { return (Byte() & 1) != 0; }
    size_t Left() const { return m_size - m_at; }

    // Up to `count` bytes.
    std::string Take(size_t count) {
        if (count > Left()) count = Left();
        std::string out(reinterpret_cast<const char*>(m_data + m_at), count);
        m_at += count;
        return out;
    }
    // A text whose length is the next byte, at most `limit`.
    std::string Text(size_t limit = 255) {
        size_t length = Byte();
        return Take(length < limit ? length : limit);
    }
    std::string Rest() { return Take(Left()); }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// Stops the run with the broken property; libFuzzer keeps the input.
[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

inline void Expect(bool holds, const char* what) {
    if (!holds) Broken(what);
}

}  // namespace kvofuzz
