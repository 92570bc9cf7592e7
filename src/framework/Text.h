// Text: the small string helpers every module shares (hex digits, case, blanks,
// multi-line text on one line). Static only and stateless, so any thread may call it.
#pragma once

#include <cstddef>
#include <string>

class Text {
public:
    Text() = delete;

    // The value of one hexadecimal digit (either case), -1 for anything else.
    static int HexDigitValue(char c);
    // Each byte as two lower-case hexadecimal digits, high digit first.
    static std::string LowerHex(const unsigned char* bytes, size_t count);
    // ASCII letters lowered; other bytes kept.
    static std::string Lower(std::string text);
    // Without the leading and trailing characters found in `blanks`.
    static std::string Trim(const std::string& text, const char* blanks = " \t\r\n");
    // CR dropped and every line break between lines replaced by `separator`, so a
    // multi-line text reads as one line in a record or a log line.
    static std::string OneLine(const std::string& text, const char* separator);
};
