// CMd5A: MD5 (RFC 1321) and HMAC-MD5 (RFC 2104) for the SMTP AUTH exchanges.
// Created on the caller's stack; the string results point into the object's one
// 33-byte buffer, valid until the next call, so one object serves one thread.
#pragma once

#include <cstdint>

struct MD5_CTX {
    uint32_t state[4];    // A, B, C, D
    uint32_t count[2];    // number of bits hashed, low word first
    unsigned char buffer[64];  // pending input
};

class CMd5A {
public:
    CMd5A();
    virtual ~CMd5A();

    void MD5Init(MD5_CTX* context);
    void MD5Update(MD5_CTX* context, const unsigned char* input, unsigned int inputLen);
    // Writes the 16-byte digest and clears the context.
    void MD5Final(unsigned char digest[16], MD5_CTX* context);
    void MD5Transform(uint32_t state[4], const unsigned char block[64]);
    void Encode(unsigned char* output, const uint32_t* input, unsigned int len);
    void Decode(uint32_t* output, const unsigned char* input, unsigned int len);
    void MD5_memcpy(unsigned char* output, const unsigned char* input, unsigned int len);
    void MD5_memset(unsigned char* output, int value, unsigned int len);

    // HMAC-MD5 of `text` keyed with `key` (both NUL-terminated), as 32
    // lower-case hexadecimal characters.
    char* hmac_md5(const char* text, const char* key);
    // The 16 raw bytes of MD5(text), despite the name.
    char* MDHexString(const char* text);
    // MD5(text) as 32 lower-case hexadecimal characters.
    char* MDString(const char* text);

    // Byte-counted forms of the above, for data that may hold NUL bytes.
    void Digest(const void* data, unsigned int len, unsigned char digest[16]);
    void HmacDigest(const void* text, unsigned int textLen, const void* key, unsigned int keyLen,
                    unsigned char digest[16]);

private:
    char* StoreHex(const unsigned char digest[16]);

    char m_result[33];
};
