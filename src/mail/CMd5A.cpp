#include "mail/CMd5A.h"

#include <cstring>
#include <string>

#include "framework/Text.h"

namespace {

// Per-round shift amounts.
constexpr int S11 = 7, S12 = 12, S13 = 17, S14 = 22;
constexpr int S21 = 5, S22 = 9, S23 = 14, S24 = 20;
constexpr int S31 = 4, S32 = 11, S33 = 16, S34 = 23;
constexpr int S41 = 6, S42 = 10, S43 = 15, S44 = 21;

const unsigned char kPadding[64] = {0x80};

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }
inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline void FF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = RotateLeft(a + F(b, c, d) + x + ac, s) + b;
}
inline void GG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = RotateLeft(a + G(b, c, d) + x + ac, s) + b;
}
inline void HH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = RotateLeft(a + H(b, c, d) + x + ac, s) + b;
}
inline void II(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = RotateLeft(a + I(b, c, d) + x + ac, s) + b;
}

constexpr unsigned int kBlock = 64;

}  // namespace

CMd5A::CMd5A() { std::memset(m_result, 0, sizeof m_result); }

CMd5A::~CMd5A() = default;

void CMd5A::MD5Init(MD5_CTX* context) {
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void CMd5A::MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int inputLen) {
    unsigned int index = (context->count[0] >> 3) & 0x3F;
    uint32_t bits = static_cast<uint32_t>(inputLen) << 3;
    context->count[0] += bits;
    if (context->count[0] < bits) context->count[1]++;
    context->count[1] += static_cast<uint32_t>(inputLen) >> 29;

    unsigned int partLen = kBlock - index;
    unsigned int i = 0;
    if (inputLen >= partLen) {
        MD5_memcpy(&context->buffer[index], input, partLen);
        MD5Transform(context->state, context->buffer);
        for (i = partLen; i + kBlock - 1 < inputLen; i += kBlock) MD5Transform(context->state, &input[i]);
        index = 0;
    }
    MD5_memcpy(&context->buffer[index], &input[i], inputLen - i);
}

void CMd5A::MD5Final(unsigned char digest[16], MD5_CTX* context) {
    unsigned char bits[8];
    Encode(bits, context->count, 8);
    unsigned int index = (context->count[0] >> 3) & 0x3F;
    unsigned int padLen = (index < 56) ? (56 - index) : (120 - index);
    MD5Update(context, kPadding, padLen);
    MD5Update(context, bits, 8);
    Encode(digest, context->state, 16);
    MD5_memset(reinterpret_cast<unsigned char*>(context), 0, sizeof(*context));
}

void CMd5A::MD5Transform(uint32_t state[4], const unsigned char block[64]) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], x[16];
    Decode(x, block, 64);

    FF(a, b, c, d, x[0], S11, 0xd76aa478);  FF(d, a, b, c, x[1], S12, 0xe8c7b756);
    FF(c, d, a, b, x[2], S13, 0x242070db);  FF(b, c, d, a, x[3], S14, 0xc1bdceee);
    FF(a, b, c, d, x[4], S11, 0xf57c0faf);  FF(d, a, b, c, x[5], S12, 0x4787c62a);
    FF(c, d, a, b, x[6], S13, 0xa8304613);  FF(b, c, d, a, x[7], S14, 0xfd469501);
    FF(a, b, c, d, x[8], S11, 0x698098d8);  FF(d, a, b, c, x[9], S12, 0x8b44f7af);
    FF(c, d, a, b, x[10], S13, 0xffff5bb1); FF(b, c, d, a, x[11], S14, 0x895cd7be);
    FF(a, b, c, d, x[12], S11, 0x6b901122); FF(d, a, b, c, x[13], S12, 0xfd987193);
    FF(c, d, a, b, x[14], S13, 0xa679438e); FF(b, c, d, a, x[15], S14, 0x49b40821);

    GG(a, b, c, d, x[1], S21, 0xf61e2562);  GG(d, a, b, c, x[6], S22, 0xc040b340);
    GG(c, d, a, b, x[11], S23, 0x265e5a51); GG(b, c, d, a, x[0], S24, 0xe9b6c7aa);
    GG(a, b, c, d, x[5], S21, 0xd62f105d);  GG(d, a, b, c, x[10], S22, 0x02441453);
    GG(c, d, a, b, x[15], S23, 0xd8a1e681); GG(b, c, d, a, x[4], S24, 0xe7d3fbc8);
    GG(a, b, c, d, x[9], S21, 0x21e1cde6);  GG(d, a, b, c, x[14], S22, 0xc33707d6);
    GG(c, d, a, b, x[3], S23, 0xf4d50d87);  GG(b, c, d, a, x[8], S24, 0x455a14ed);
    GG(a, b, c, d, x[13], S21, 0xa9e3e905); GG(d, a, b, c, x[2], S22, 0xfcefa3f8);
    GG(c, d, a, b, x[7], S23, 0x676f02d9);  GG(b, c, d, a, x[12], S24, 0x8d2a4c8a);

    HH(a, b, c, d, x[5], S31, 0xfffa3942);  HH(d, a, b, c, x[8], S32, 0x8771f681);
    HH(c, d, a, b, x[11], S33, 0x6d9d6122); HH(b, c, d, a, x[14], S34, 0xfde5380c);
    HH(a, b, c, d, x[1], S31, 0xa4beea44);  HH(d, a, b, c, x[4], S32, 0x4bdecfa9);
    HH(c, d, a, b, x[7], S33, 0xf6bb4b60);  HH(b, c, d, a, x[10], S34, 0xbebfbc70);
    HH(a, b, c, d, x[13], S31, 0x289b7ec6); HH(d, a, b, c, x[0], S32, 0xeaa127fa);
    HH(c, d, a, b, x[3], S33, 0xd4ef3085);  HH(b, c, d, a, x[6], S34, 0x04881d05);
    HH(a, b, c, d, x[9], S31, 0xd9d4d039);  HH(d, a, b, c, x[12], S32, 0xe6db99e5);
    HH(c, d, a, b, x[15], S33, 0x1fa27cf8); HH(b, c, d, a, x[2], S34, 0xc4ac5665);

    II(a, b, c, d, x[0], S41, 0xf4292244);  II(d, a, b, c, x[7], S42, 0x432aff97);
    II(c, d, a, b, x[14], S43, 0xab9423a7); II(b, c, d, a, x[5], S44, 0xfc93a039);
    II(a, b, c, d, x[12], S41, 0x655b59c3); II(d, a, b, c, x[3], S42, 0x8f0ccc92);
    II(c, d, a, b, x[10], S43, 0xffeff47d); II(b, c, d, a, x[1], S44, 0x85845dd1);
    II(a, b, c, d, x[8], S41, 0x6fa87e4f);  II(d, a, b, c, x[15], S42, 0xfe2ce6e0);
    II(c, d, a, b, x[6], S43, 0xa3014314);  II(b, c, d, a, x[13], S44, 0x4e0811a1);
    II(a, b, c, d, x[4], S41, 0xf7537e82);  II(d, a, b, c, x[11], S42, 0xbd3af235);
    II(c, d, a, b, x[2], S43, 0x2ad7d2bb);  II(b, c, d, a, x[9], S44, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    MD5_memset(reinterpret_cast<unsigned char*>(x), 0, sizeof x);
}

void CMd5A::Encode(unsigned char* output, const uint32_t* input, unsigned int len) {
    for (unsigned int i = 0, j = 0; j < len; i++, j += 4) {
        output[j] = static_cast<unsigned char>(input[i] & 0xff);
        output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xff);
        output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xff);
        output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xff);
    }
}

void CMd5A::Decode(uint32_t* output, const unsigned char* input, unsigned int len) {
    for (unsigned int i = 0, j = 0; j < len; i++, j += 4) {
        output[i] = static_cast<uint32_t>(input[j]) | (static_cast<uint32_t>(input[j + 1]) << 8) |
                    (static_cast<uint32_t>(input[j + 2]) << 16) | (static_cast<uint32_t>(input[j + 3]) << 24);
    }
}

void CMd5A::MD5_memcpy(unsigned char* output, const unsigned char* input, unsigned int len) {
    if (len) std::memcpy(output, input, len);
}

void CMd5A::MD5_memset(unsigned char* output, int value, unsigned int len) {
    if (len) std::memset(output, value, len);
}

void CMd5A::Digest(const void* data, unsigned int len, unsigned char digest[16]) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, static_cast<const unsigned char*>(data), len);
    MD5Final(digest, &context);
}

void CMd5A::HmacDigest(const void* text, unsigned int textLen, const void* key, unsigned int keyLen,
                       unsigned char digest[16]) {
    unsigned char shortKey[16];
    if (keyLen > kBlock) {
        Digest(key, keyLen, shortKey);
        key = shortKey;
        keyLen = sizeof shortKey;
    }
    unsigned char innerPad[kBlock + 1] = {0};
    unsigned char outerPad[kBlock + 1] = {0};
    MD5_memcpy(innerPad, static_cast<const unsigned char*>(key), keyLen);
    MD5_memcpy(outerPad, static_cast<const unsigned char*>(key), keyLen);
    for (unsigned int i = 0; i < kBlock; i++) {
        innerPad[i] ^= 0x36;
        outerPad[i] ^= 0x5c;
    }

    MD5_CTX context;
    unsigned char inner[16];
    MD5Init(&context);
    MD5Update(&context, innerPad, kBlock);
    MD5Update(&context, static_cast<const unsigned char*>(text), textLen);
    MD5Final(inner, &context);

    MD5Init(&context);
    MD5Update(&context, outerPad, kBlock);
    MD5Update(&context, inner, sizeof inner);
    MD5Final(digest, &context);
}

char* CMd5A::StoreHex(const unsigned char digest[16]) {
    std::string hex = Text::LowerHex(digest, 16);
    std::memset(m_result, 0, sizeof m_result);
    std::memcpy(m_result, hex.data(), hex.size());
    return m_result;
}

char* CMd5A::hmac_md5(const char* text, const char* key) {
    unsigned char digest[16];
    HmacDigest(text, static_cast<unsigned int>(std::strlen(text)), key,
               static_cast<unsigned int>(std::strlen(key)), digest);
    return StoreHex(digest);
}

char* CMd5A::MDHexString(const char* text) {
    std::memset(m_result, 0, sizeof m_result);
    unsigned char digest[16];
    Digest(text, static_cast<unsigned int>(std::strlen(text)), digest);
    std::memcpy(m_result, digest, sizeof digest);
    return m_result;
}

char* CMd5A::MDString(const char* text) {
    unsigned char digest[16];
    Digest(text, static_cast<unsigned int>(std::strlen(text)), digest);
    return StoreHex(digest);
}
