// Properties every input must keep through HttpParser::Parse and URLDecode.
// Shared by the libFuzzer target and the test that replays its seed corpus;
// returns an empty text when all hold, else what went wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "http/HttpParser.h"

namespace kvofuzz {

inline std::string CheckDecode(const std::string& input) {
    // The in-place form sees the text up to its first NUL, like a C string.
    std::vector<char> raw(input.begin(), input.end());
    raw.push_back('\0');
    size_t before = std::strlen(raw.data());
    HttpParser::URLDecode(raw.data());
    size_t after = std::strlen(raw.data());
    if (after > before) return "in-place decode grew the text";

    std::string copy = input;
    HttpParser::URLDecode(copy);
    if (copy != std::string(raw.data())) return "the two decode forms disagree";
    if (copy.find('\0') != std::string::npos) return "decoded string holds a NUL";
    // Only an encoded plus ("%2B" or "%2b") can leave a plus behind.
    if (copy.find('+') != std::string::npos && input.find("%2") == std::string::npos)
        return "a plus survived without being encoded";
    return "";
}

inline std::string CheckParse(const std::string& input) {
    HttpParser parser;
    int result = parser.Parse(input);
    if (result < 0 || result > 2) return "result out of range";
    if (result == 0) {
        bool supported = parser.m_method == HttpParser::METHOD_GET ||
                         parser.m_method == HttpParser::METHOD_POST;
        if (parser.m_parsed != supported) return "m_parsed disagrees with the method";
        if (parser.m_parsed && parser.m_path.find('\0') != std::string::npos)
            return "decoded path holds a NUL";
        if (parser.m_method == HttpParser::METHOD_POST && parser.m_body.size() > input.size())
            return "POST body longer than the request";
    } else if (parser.m_parsed) {
        return "m_parsed set on an unfinished request";
    }
    // The same parser must take the request again after Clear, as on a kept connection.
    parser.Clear();
    int again = parser.Parse(input);
    if (again != result) return "second parse of the same text differs";
    // Every prefix of a request is parsed when it arrives in pieces.
    for (size_t cut : {input.size() / 3, input.size() / 2, input.size() - input.size() / 4}) {
        int part = parser.Parse(input.substr(0, cut));
        if (part < 0 || part > 2) return "prefix result out of range";
    }
    return "";
}

inline std::string CheckInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string problem = CheckParse(input);
    if (problem.empty()) problem = CheckDecode(input);
    return problem;
}

}  // namespace kvofuzz
