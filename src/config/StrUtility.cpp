#include "config/StrUtility.h"

#include <cstring>
#include <string>

#include "framework/Text.h"

int StrUtility::IntFromHexStr(const char* text) {
    if (!text) return 0;
    // Accumulate unsigned so that eight digits wrap instead of overflowing.
    unsigned int value = 0;
    for (const char* p = text; *p; ++p) {
        int digit = Text::HexDigitValue(*p);
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
    std::string trimmed = Text::Trim(text, " \r\n");
    memcpy(text, trimmed.c_str(), trimmed.size() + 1);
}
