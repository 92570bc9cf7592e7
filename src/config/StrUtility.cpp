#include "config/StrUtility.h"

#include <cstring>

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsTrimmed(char c) { return c == ' ' || c == '\r' || c == '\n'; }

}  // namespace

int StrUtility::IntFromHexStr(const char* text) {
    if (!text) return 0;
    // Accumulate unsigned so that eight digits wrap instead of overflowing.
    unsigned int value = 0;
    for (const char* p = text; *p; ++p) {
        int digit = HexDigitValue(*p);
        if (digit < 0) return 0;
        value = (value << 4) | static_cast<unsigned int>(digit);
    }
    return static_cast<int>(value);
}

unsigned int StrUtility::IntFromDecStr(const char* text) {
    if (!text) return 0;
    unsigned int value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10u + static_cast<unsigned int>(*p - '0');
    }
    return value;
}

void StrUtility::trim(char* text) {
    if (!text) return;
    size_t length = strlen(text);
    size_t begin = 0;
    while (begin < length && IsTrimmed(text[begin])) ++begin;
    size_t end = length;
    while (end > begin && IsTrimmed(text[end - 1])) --end;
    memmove(text, text + begin, end - begin);
    text[end - begin] = '\0';
}
