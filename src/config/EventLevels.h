// EventLevels: the one table of event levels: the letter a controller reports
// ('I', 'W', 'E'), the bit it has in every stored level mask (the trap levels
// and each mail recipient's byLevel), and the names pages show.
// Static only, no state; any thread.
#pragma once

#include <cstdint>
#include <string>

class EventLevels {
public:
    static constexpr uint8_t kInformation = 0x01;
    static constexpr uint8_t kWarning = 0x02;
    static constexpr uint8_t kError = 0x04;
    static constexpr uint8_t kAll = kInformation | kWarning | kError;

    struct Level {
        char letter;
        uint8_t bit;
        const char* element;  // "information": leaf and attribute names on pages
        const char* title;    // "Information": in page messages
        const char* field;    // "check_info": the form's check box
    };
    static const Level kLevels[3];

    // The bit of `letter`; 0 for a letter that is no level. Traps are sent only
    // for the three known letters.
    static uint8_t BitOf(int letter);
    // The bit of `letter`, counting anything unknown as information: mail goes
    // out for every event, as it always has.
    static uint8_t BitOrInformation(int letter);
    // "information", "warning" or "error"; unknown letters read as information.
    static const char* ElementOf(int letter);
    // "Information, Error" for the bits set in `mask`, in table order.
    static std::string Titles(uint8_t mask);
};
