#include "mail/Base64.h"

#include <cstring>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kPad = '=';

bool IsBase64Space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\v' || ch == '\f';
}

// Value of an alphabet character, or -1.
int SextetOf(char ch) {
    if (ch >= 'A' && ch <= 'Z') return ch - 'A';
    if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
    if (ch >= '0' && ch <= '9') return ch - '0' + 52;
    if (ch == '+') return 62;
    if (ch == '/') return 63;
    return -1;
}

const char* SkipSpace(const char* p) {
    while (*p && IsBase64Space(*p)) ++p;
    return p;
}

}  // namespace

int Base64::Base64Encode(char* dest, const char* src, int count) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(src);
    int out = 0;
    for (int i = 0; i < count; i += 3) {
        int left = count - i;
        unsigned int group = static_cast<unsigned int>(in[i]) << 16;
        if (left > 1) group |= static_cast<unsigned int>(in[i + 1]) << 8;
        if (left > 2) group |= in[i + 2];
        dest[out++] = kAlphabet[(group >> 18) & 0x3F];
        dest[out++] = kAlphabet[(group >> 12) & 0x3F];
        dest[out++] = left > 1 ? kAlphabet[(group >> 6) & 0x3F] : kPad;
        dest[out++] = left > 2 ? kAlphabet[group & 0x3F] : kPad;
    }
    dest[out] = '\0';
    return out;
}

// Each character of a group stores its bits as soon as it is read, so the
// second and third characters already touch the following byte: padded data
// must therefore stay one byte below the capacity.
int Base64::Base64Decode(char* dest, const char* src, unsigned long capacity) {
    unsigned char* out = reinterpret_cast<unsigned char*>(dest);
    unsigned long at = 0;
    int state = 0;
    const char* p = src;
    for (; *p; ++p) {
        char ch = *p;
        if (IsBase64Space(ch)) continue;
        if (ch == kPad) break;
        int v = SextetOf(ch);
        if (v < 0) return -1;
        switch (state) {
        case 0:
            if (at >= capacity) return -1;
            out[at] = static_cast<unsigned char>(v << 2);
            state = 1;
            break;
        case 1:
            if (at + 1 >= capacity) return -1;
            out[at] |= static_cast<unsigned char>(v >> 4);
            out[at + 1] = static_cast<unsigned char>((v & 0x0F) << 4);
            ++at;
            state = 2;
            break;
        case 2:
            if (at + 1 >= capacity) return -1;
            out[at] |= static_cast<unsigned char>(v >> 2);
            out[at + 1] = static_cast<unsigned char>((v & 0x03) << 6);
            ++at;
            state = 3;
            break;
        default:
            if (at >= capacity) return -1;
            out[at] |= static_cast<unsigned char>(v);
            ++at;
            state = 0;
            break;
        }
    }

    if (*p == kPad) {
        // Padding may only close a group that holds two or three characters.
        if (state == 0 || state == 1) return -1;
        ++p;
        if (state == 2) {
            p = SkipSpace(p);
            if (*p != kPad) return -1;
            ++p;
        }
        if (*SkipSpace(p) != '\0') return -1;
        // The bits the padding drops must be zero.
        if (out[at] != 0) return -1;
    } else if (state != 0) {
        return -1;  // ended inside a group without padding
    }
    out[at] = 0;
    return static_cast<int>(at);
}
