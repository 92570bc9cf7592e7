// Known-answer tests for the mail codecs and digests (RFC 1321, 2104/2202,
// 2195, 2831, 4648) and the decoder's own strict rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "RecordText.h"
#include "mail/Base64.h"
#include "mail/CMd5A.h"
#include "mail/SmtpAuth.h"

namespace {

std::string Encode(const std::string& bytes) {
    char out[512];
    int n = Base64::Base64Encode(out, bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(out));
    return std::string(out, static_cast<size_t>(n));
}

// Decodes with the given capacity; -1 or the bytes. Checks the trailing NUL.
int Decode(const char* text, unsigned long capacity, std::string* bytes = nullptr) {
    char out[512];
    std::memset(out, 'X', sizeof out);
    int n = Base64::Base64Decode(out, text, capacity);
    if (n >= 0) {
        EXPECT_EQ(out[n], '\0') << text;
        if (bytes) bytes->assign(out, static_cast<size_t>(n));
    }
    return n;
}

std::string Hex(const char* raw, size_t count) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < count; i++) {
        unsigned char b = static_cast<unsigned char>(raw[i]);
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

}  // namespace

TEST(Base64Test, EncodesRfc4648Vectors) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("f"), "Zg==");
    EXPECT_EQ(Encode("fo"), "Zm8=");
    EXPECT_EQ(Encode("foo"), "Zm9v");
    EXPECT_EQ(Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Encode(std::string("test\0test\0" "1234", 14)), "dGVzdAB0ZXN0ADEyMzQ=");
    // Bytes above 0x7F are taken as unsigned.
    EXPECT_EQ(Encode("\xff\xfe\x80"), "//6A");
    char out[8];
    EXPECT_EQ(Base64::Base64Encode(out, "abc", -1), 0);
    EXPECT_STREQ(out, "");
}

TEST(Base64Test, DecodesVectorsAndRoundTripsAllByteValues) {
    const char* vectors[][2] = {{"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"Zm9vYg==", "foob"},
                                {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"}, {"", ""}};
    for (auto& v : vectors) {
        std::string bytes;
        ASSERT_EQ(Decode(v[0], 100, &bytes), static_cast<int>(std::strlen(v[1]))) << v[0];
        EXPECT_EQ(bytes, v[1]);
    }
    std::string all;
    for (int i = 0; i < 256; i++) all += static_cast<char>(i);
    std::string back;
    char text[400];
    Base64::Base64Encode(text, all.data(), static_cast<int>(all.size()));
    ASSERT_EQ(Decode(text, 300, &back), 256);
    EXPECT_EQ(back, all);
}

TEST(Base64Test, SkipsWhiteSpaceAnywhere) {
    std::string bytes;
    EXPECT_EQ(Decode(" Zm9v\r\nYmFy\r\n", 100, &bytes), 6);
    EXPECT_EQ(bytes, "foobar");
    EXPECT_EQ(Decode("Z\tm\v9\fv Y g =\r\n =  ", 100, &bytes), 4);
    EXPECT_EQ(bytes, "foob");
}

TEST(Base64Test, RejectsBadCharactersAndPadding) {
    EXPECT_EQ(Decode("Zm9v!", 100), -1);        // outside the alphabet
    EXPECT_EQ(Decode("Zg=", 100), -1);          // one "=" after two characters
    EXPECT_EQ(Decode("Zg=x", 100), -1);
    EXPECT_EQ(Decode("=", 100), -1);            // padding after no character
    EXPECT_EQ(Decode("Zm9vZ===", 100), -1);     // padding after one character
    EXPECT_EQ(Decode("Zm8=Zm8=", 100), -1);     // data after the padding
    EXPECT_EQ(Decode("Zm8= x", 100), -1);
    EXPECT_EQ(Decode("Zh==", 100), -1);         // dropped bits not zero
    EXPECT_EQ(Decode("Zm9=", 100), -1);
    EXPECT_EQ(Decode("Zm9vY", 100), -1);        // ends inside a group
    EXPECT_EQ(Decode("Zm9vYm", 100), -1);
    std::string bytes;
    EXPECT_EQ(Decode("Zm8=  \r\n", 100, &bytes), 2);  // white space after padding is fine
}

TEST(Base64Test, RespectsCapacity) {
    std::string bytes;
    EXPECT_EQ(Decode("Zm9v", 3, &bytes), 3);  // unpadded data may fill it
    EXPECT_EQ(bytes, "foo");
    EXPECT_EQ(Decode("Zm9v", 2), -1);
    EXPECT_EQ(Decode("Zg==", 1, &bytes), 1);  // padded data may fill it too
    EXPECT_EQ(bytes, "f");
    EXPECT_EQ(Decode("Zm8=", 2, &bytes), 2);
    EXPECT_EQ(bytes, "fo");
    EXPECT_EQ(Decode("Zm8=", 1), -1);
    EXPECT_EQ(Decode("Zm9vYg==", 3), -1);
    EXPECT_EQ(Decode("", 0), 0);
    EXPECT_EQ(Decode("Zm9v", 0), -1);
}

TEST(Md5Test, Rfc1321Suite) {
    const char* suite[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    CMd5A md5;
    for (auto& v : suite) {
        EXPECT_STREQ(md5.MDString(v[0]), v[1]) << v[0];
        EXPECT_EQ(Hex(md5.MDHexString(v[0]), 16), v[1]) << v[0];
    }
}

TEST(Md5Test, IncrementalUpdatesAcrossBlockBoundaries) {
    std::string data(1000, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>('a' + i % 26);
    CMd5A md5;
    std::string whole = md5.MDString(data.c_str());
    for (unsigned int piece : {1u, 7u, 63u, 64u, 65u, 200u}) {
        MD5_CTX ctx;
        md5.MD5Init(&ctx);
        for (size_t at = 0; at < data.size(); at += piece) {
            unsigned int n = static_cast<unsigned int>(std::min<size_t>(piece, data.size() - at));
            md5.MD5Update(&ctx, reinterpret_cast<const unsigned char*>(data.data() + at), n);
        }
        unsigned char digest[16];
        md5.MD5Final(digest, &ctx);
        EXPECT_EQ(Hex(reinterpret_cast<char*>(digest), 16), whole) << piece;
        EXPECT_EQ(ctx.state[0], 0u);  // the context is cleared
    }
}

TEST(HmacMd5Test, Rfc2202Cases) {
    struct Case {
        std::string key, data, digest;
    };
    std::string key4;
    for (int i = 1; i <= 0x19; i++) key4 += static_cast<char>(i);
    const Case cases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {key4, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    CMd5A md5;
    for (const auto& c : cases) EXPECT_STREQ(md5.hmac_md5(c.data.c_str(), c.key.c_str()), c.digest.c_str()) << c.data;
}

TEST(HmacMd5Test, KeyOfSixtyFiveBytesIsHashedAndSixtyFourIsNot) {
    CMd5A md5;
    std::string key65(65, 'k');
    std::string hashedKey(md5.MDHexString(key65.c_str()), 16);
    std::string viaHash = md5.hmac_md5("data", hashedKey.c_str());
    EXPECT_EQ(md5.hmac_md5("data", key65.c_str()), viaHash);

    std::string key64(64, 'k');
    std::string raw = md5.hmac_md5("data", key64.c_str());
    std::string hashed64(md5.MDHexString(key64.c_str()), 16);
    EXPECT_NE(raw, md5.hmac_md5("data", hashed64.c_str()));
    // Same as the 64-byte key given with a trailing zero pad: used as it is.
    unsigned char digest[16];
    md5.HmacDigest("data", 4, key64.data(), 64, digest);
    EXPECT_EQ(Hex(reinterpret_cast<char*>(digest), 16), raw);
}

TEST(CramMd5Test, Rfc2195Example) {
    char challenge[512];
    ASSERT_GT(Base64::Base64Decode(challenge, "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n", 511), 0);
    EXPECT_STREQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
    CMd5A md5;
    std::string answer = std::string("tim ") + md5.hmac_md5(challenge, "tanstaaftanstaaf");
    EXPECT_EQ(answer, "tim b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_EQ(Encode(answer), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

TEST(DigestMd5Test, Rfc2831Examples) {
    CMd5A md5;
    char secret[16];
    std::memcpy(secret, md5.MDHexString("chris:elwood.innosoft.com:secret"), 16);
    char out[33];
    struct Example {
        const char *nonce, *cnonce, *uri, *response, *rspauth;
    } examples[] = {
        {"OA6MG9tEQGm2hh", "OA6MHXh6VqTrRk", "imap/elwood.innosoft.com", "d388dad90d4bbd760a152321f2143af7",
         "ea40f60335c427b5527b84dbabcdfffd"},
        {"OA9BSXrbuRhWay", "OA9BSuZWMSpW8m", "acap/elwood.innosoft.com", "6084c6db3fede7352c551284490fd0fc",
         "2f0b3d7c3c2e486600ef710726aa2eae"},
    };
    for (const auto& e : examples) {
        EXPECT_EQ(digest_md5_hmac(out, secret, e.nonce, 1, e.cnonce, DIGEST_MD5_QOP_AUTH, nullptr, e.uri, 0,
                                  DIGEST_MD5_CIPHER_RC4, nullptr, nullptr, nullptr, nullptr),
                  0);
        EXPECT_STREQ(out, e.response);
        digest_md5_hmac(out, secret, e.nonce, 1, e.cnonce, DIGEST_MD5_QOP_AUTH, "", e.uri, 1,
                        DIGEST_MD5_CIPHER_RC4, nullptr, nullptr, nullptr, nullptr);
        EXPECT_STREQ(out, e.rspauth);
    }
}

TEST(FindKeyTest, FindsQuotedValuesFollowedByAComma) {
    char text[] = "realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\",algorithm=md5-sess";
    char out[sizeof text];
    EXPECT_EQ(FindKey(text, "realm", out), 0);
    EXPECT_STREQ(out, "elwood.innosoft.com");
    EXPECT_EQ(FindKey(text, "nonce", out), 0);
    EXPECT_STREQ(out, "OA6MG9tEQGm2hh");
    EXPECT_EQ(FindKey(text, "qop", out), 0);
    EXPECT_STREQ(out, "auth");
    EXPECT_EQ(FindKey(text, "cipher", out), -1);
    EXPECT_EQ(FindKey(text, "algorithm", out), -1);  // unquoted and last
    EXPECT_EQ(FindKey(nullptr, "realm", out), -1);
    EXPECT_EQ(FindKey(text, nullptr, out), -1);
    EXPECT_EQ(FindKey(text, "realm", nullptr), -1);
}

TEST(FindKeyTest, ValuesThatAreLastUnquotedOrCutShortAreNotFound) {
    char out[128];
    EXPECT_EQ(FindKey("qop=\"auth\",nonce=\"abc\"", "nonce", out), -1);  // quoted but last
    EXPECT_EQ(FindKey("nonce=abc,qop=auth", "nonce", out), -1);           // unquoted
    EXPECT_EQ(FindKey("x=\"1\",realm", "realm", out), -1);                 // key at the very end
    EXPECT_EQ(FindKey("x=\"1\",realm=", "realm", out), -1);
    EXPECT_EQ(FindKey("realm=\"\",nonce=\"n\",", "realm", out), 0);        // empty value
    EXPECT_STREQ(out, "");
}

// A record field filled to the brim holds no NUL: reading stops at the field's end,
// and a longer text is cut so the field still ends in NUL, the rest zeroed.
TEST(RecordTextTest, FieldsAreReadAndWrittenWithinTheirSize) {
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(FieldText(full), "abcd");
    char field[4];
    std::memset(field, 'x', sizeof field);
    CopyField(field, "hello");
    EXPECT_EQ(std::string(field, sizeof field), std::string("hel\0", 4));
    CopyField(field, std::string("a\0b", 3));
    EXPECT_EQ(std::string(field, sizeof field), std::string("a\0\0\0", 4));
}

