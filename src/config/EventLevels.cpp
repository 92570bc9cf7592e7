#include "config/EventLevels.h"

const EventLevels::Level EventLevels::kLevels[3] = {
    {'I', kInformation, "information", "Information", "check_info"},
    {'W', kWarning, "warning", "Warning", "check_warn"},
    {'E', kError, "error", "Error", "check_error"},
};

uint8_t EventLevels::BitOf(int letter) {
    for (const Level& level : kLevels)
        if (level.letter == letter) return level.bit;
    return 0;
}

uint8_t EventLevels::BitOrInformation(int letter) {
    uint8_t bit = BitOf(letter);
    return bit ? bit : kInformation;
}

const char* EventLevels::ElementOf(int letter) {
    uint8_t bit = BitOrInformation(letter);
    for (const Level& level : kLevels)
        if (level.bit == bit) return level.element;
    return kLevels[0].element;
}

std::string EventLevels::Titles(uint8_t mask) {
    std::string titles;
    for (const Level& level : kLevels)
        if (mask & level.bit) titles += (titles.empty() ? "" : ", ") + std::string(level.title);
    return titles;
}
