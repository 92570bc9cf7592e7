// Helpers of the management pages: how a request path is served, which
// controller or receiver a form field names, the host's own address, and which
// recipient names are allowed. Free functions without state; any thread.
#pragma once

#include <string>

// File types by the text after the last "." of a path (exact, case-sensitive).
enum PAGE_FILE_TYPE {
    FILE_TYPE_HTM = 0,
    FILE_TYPE_XML = 1,
    FILE_TYPE_GIF = 2,
    FILE_TYPE_XSL = 3,
    FILE_TYPE_ICO = 4,
    FILE_TYPE_BMP = 5,
    FILE_TYPE_JPG = 6,
    FILE_TYPE_LOG = 7,
    FILE_TYPE_JAR = 8,
    FILE_TYPE_CLASS = 9,
    FILE_TYPE_OTHER = 10  // any other extension, or none
};

// 0 to 10 as above.
int GetFileType(const std::string& path);

// The index after the last "_" of a form field name, read as hexadecimal
// ("controller_httpport_a" is 10); 0 when that text is not hexadecimal,
// -1 when the name has no "_".
int GetConId(const std::string& name);

// The host's official name and first IPv4 address in dotted form;
// "localhost" and "127.0.0.1" when the name can't be resolved, and then false.
bool GetHostName(std::string& name, std::string& address);

// True when every character is an ASCII letter, a digit, "_" or "-"
// (the empty text too); false for a null pointer.
bool ISVALIDNAME(const char* text);

// atoi without its undefined overflow: leading blanks, an optional sign and the
// leading digits; text without digits reads as 0, and values beyond int are
// clamped to INT_MIN/INT_MAX (so they stay out of every port range).
int AtoiClamped(const char* text);
