// The text fields of the mail records: fixed char arrays that hold no NUL when
// filled to the brim. Reading never passes the field; writing always ends in NUL.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

// A record's text field as a string.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Stores at most size - 1 bytes of `text` (up to its first NUL) and zero-fills the rest.
inline void CopyField(char* field, size_t size, const std::string& text) {
    if (size == 0) return;
    size_t n = strnlen(text.c_str(), text.size() < size - 1 ? text.size() : size - 1);
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), n);
}

template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
    CopyField(field, N, text);
}
