// Test helper: whether a text has the shape of the responder's Date field,
// "Www, DD Mmm YYYY HH:MM:SS GMT".
#pragma once

#include <cctype>
#include <cstring>
#include <string>

namespace kvotest {

inline bool LooksLikeHttpDate(const std::string& text) {
    static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // d = digit, anything else must match literally; names are checked below
    const std::string shape = "www, dd mmm dddd dd:dd:dd GMT";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        char s = shape[i];
        if (s == 'd') {
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        } else if (s != 'w' && s != 'm' && s != text[i]) {
            return false;
        }
    }
    auto listed = [](const std::string& name, const char* const* names, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (name == names[i]) return true;
        return false;
    };
    return listed(text.substr(0, 3), kDays, 7) && listed(text.substr(8, 3), kMonths, 12);
}

}  // namespace kvotest
