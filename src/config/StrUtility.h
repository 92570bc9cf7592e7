// StrUtility: text-to-number helpers for the configuration store and the
// management pages. Static only, no state; safe from any thread.
#pragma once

class StrUtility {
public:
    // The whole text as hexadecimal digits (either case); 0 when any other
    // character appears, for the empty text and for a null pointer.
    static int IntFromHexStr(const char* text);
    // The whole text as decimal digits; 0 when any other character appears,
    // for the empty text and for a null pointer.
    static unsigned int IntFromDecStr(const char* text);
    // Removes spaces, carriage returns and line feeds at both ends, in place,
    // moving the rest to the start of the buffer. Tabs stay. Null is ignored.
    static void trim(char* text);
};
