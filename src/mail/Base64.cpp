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

// Bits are gathered and a byte is stored only once all eight of it have
// arrived, so the output never runs ahead of the capacity: data that fills it
// exactly, padded or not, decodes.
int Base64::Base64Decode(char* dest, const char* src, unsigned long capacity) {
    if (!dest || !src) return -1;
    unsigned char* out = reinterpret_cast<unsigned char*>(dest);
    unsigned long at = 0;
    unsigned int bits = 0;   // pending bits, fewer than eight after each step
    int pending = 0;         // how many
    int inGroup = 0;         // characters of the current group of four
    const char* p = src;
    for (; *p; ++p) {
        char ch = *p;
        if (IsBase64Space(ch)) continue;
        if (ch == kPad) break;
        int v = SextetOf(ch);
        if (v < 0) return -1;
        bits = (bits << 6) | static_cast<unsigned int>(v);
        pending += 6;
        inGroup = (inGroup + 1) % 4;
        if (pending >= 8) {
            pending -= 8;
            if (at >= capacity) return -1;
            out[at++] = static_cast<unsigned char>(bits >> pending);
            bits &= (1u << pending) - 1;
        }
    }

    if (*p == kPad) {
        // Padding may only close a group that holds two or three characters.
        if (inGroup < 2) return -1;
        ++p;
        if (inGroup == 2) {
            p = SkipSpace(p);
            if (*p != kPad) return -1;
            ++p;
        }
        if (*SkipSpace(p) != '\0') return -1;
        // The bits the padding drops must be zero.
        if (bits != 0) return -1;
    } else if (inGroup != 0) {
        return -1;  // ended inside a group without padding
    }
    out[at] = 0;
    return static_cast<int>(at);
}
