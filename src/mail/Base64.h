// Base64: the standard-alphabet codec (RFC 4648) used by SMTP AUTH and for the
// password in the e-mail file. Stateless: static operations only, callable from
// any thread.
#pragma once

class Base64 {
public:
    // Encodes `count` bytes of `src` (taken as unsigned); no line breaks, a NUL
    // after the text. Returns the number of characters (0 when count <= 0);
    // `dest` needs that many bytes plus one.
    static int Base64Encode(char* dest, const char* src, int count);

    // Decodes the NUL-terminated `src` into at most `capacity` bytes and stores a
    // NUL after them (`dest` needs capacity + 1 bytes). White space is skipped
    // anywhere; padding must be exact and its dropped bits zero. Returns the
    // number of bytes, or -1 on any fault, including a byte that would not fit.
    static int Base64Decode(char* dest, const char* src, unsigned long capacity);
};
