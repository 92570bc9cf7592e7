#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/HttpParser.h"

namespace {

const std::string kGetIndex = "GET /index.htm HTTP/1.1\r\nHost: 10.0.0.5:7402\r\n\r\n";

std::string Post(const std::string& headers, const std::string& body) {
    return "POST /snmp.cgi HTTP/1.0\r\nHost: h\r\n" + headers + "\r\n" + body;
}

TEST(HttpParserGet, CompleteRequestFillsPathHostAndFlags) {
    HttpParser p;
    ASSERT_EQ(p.Parse(kGetIndex), 0);
    EXPECT_TRUE(p.m_parsed);
    EXPECT_EQ(p.m_method, 0);
    EXPECT_EQ(p.m_path, "/index.htm");
    EXPECT_EQ(p.m_uri, "/index.htm");
    EXPECT_EQ(p.m_host, "10.0.0.5:7402");
    EXPECT_FALSE(p.m_keepAlive);
}

TEST(HttpParserGet, IncompleteWithoutBlankLineOrSpace) {
    HttpParser p;
    EXPECT_EQ(p.Parse(kGetIndex.substr(0, kGetIndex.size() - 2)), 1);
    EXPECT_FALSE(p.m_parsed);
    EXPECT_EQ(p.Parse("GET"), 1);
    EXPECT_EQ(p.Parse(""), 1);
    EXPECT_EQ(p.Parse("GETxx\r\n\r\n"), 1);
}

TEST(HttpParserGet, TargetWithoutSecondSpaceIsMalformed) {
    HttpParser p;
    EXPECT_EQ(p.Parse("GET /x\r\n\r\n"), 2);
    EXPECT_FALSE(p.m_parsed);
}

TEST(HttpParserGet, QueryIsSplitAndDecoded) {
    HttpParser p;
    ASSERT_EQ(p.Parse("GET /a?x=1&y=a+b%2Bc HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(p.m_path, "/a");
    EXPECT_EQ(p.m_uri, "/a?x=1&y=a+b%2Bc");
    std::string v;
    ASSERT_TRUE(p.GetValue("x", v));
    EXPECT_EQ(v, "1");
    ASSERT_TRUE(p.GetValue("y", v));
    EXPECT_EQ(v, "a b+c");
    EXPECT_FALSE(p.GetValue("z", v));
}

TEST(HttpParserGet, AngleBracketsAndLonePercentAreDropped) {
    HttpParser p;
    ASSERT_EQ(p.Parse("GET /a?t=%3Cb%3E&n=50%&&&m&=e HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(p.m_values.at("t"), "b");
    EXPECT_EQ(p.m_values.at("n"), "50");
    // runs of "&" give no items, "m" has no "=" and is skipped, an empty name is kept
    EXPECT_EQ(p.m_values.size(), 3u);
    EXPECT_EQ(p.m_values.at(""), "e");
}

TEST(HttpParserGet, EncodedPathAndLaterValueWins) {
    HttpParser p;
    ASSERT_EQ(p.Parse("GET /x%20y/%7e.xsl?a=1&a=2 HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(p.m_path, "/x y/~.xsl");
    EXPECT_EQ(p.m_values.at("a"), "2");
}

TEST(HttpParserGet, KeepAliveIsMatchedLiterally) {
    HttpParser p;
    ASSERT_EQ(p.Parse("GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"), 0);
    EXPECT_FALSE(p.m_keepAlive);
    ASSERT_EQ(p.Parse("GET / HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n"), 0);
    EXPECT_TRUE(p.m_keepAlive);
    ASSERT_EQ(p.Parse("GET / HTTP/1.1\r\nKeep-Alive: 300\r\n\r\n"), 0);
    EXPECT_TRUE(p.m_keepAlive);
    ASSERT_EQ(p.Parse("GET / HTTP/1.1\r\nConnection: close\r\n\r\n"), 0);
    EXPECT_FALSE(p.m_keepAlive);
}

TEST(HttpParserGet, UserAgentDecodedHostAndCookieAsReceived) {
    HttpParser p;
    ASSERT_EQ(p.Parse("GET / HTTP/1.0\r\nUser-Agent: Mozilla%2F5.0+(X11)\r\nHost: a%20b\r\n"
                      "Cookie: a=1; b=2;c%3d=x%41\r\n\r\n"), 0);
    EXPECT_EQ(p.m_userAgent, "Mozilla/5.0 (X11)");
    EXPECT_EQ(p.m_host, "a%20b");
    EXPECT_EQ(p.m_cookie, "a=1; b=2;c%3d=x%41");
    std::string v;
    ASSERT_TRUE(p.GetCookieValue("A", v));
    EXPECT_EQ(v, "1");
    ASSERT_TRUE(p.GetCookieValue(" B", v));
    EXPECT_EQ(v, "2");
    EXPECT_FALSE(p.GetCookieValue("B", v));
    EXPECT_FALSE(p.GetCookieValue("a", v));
    // "=" is looked for before decoding, so an encoded "=" stays in the name
    ASSERT_TRUE(p.GetCookieValue("C=", v));
    EXPECT_EQ(v, "xA");
}

TEST(HttpParserGet, MissingHeadersKeepEarlierValues) {
    HttpParser p;
    ASSERT_EQ(p.Parse(kGetIndex), 0);
    p.Clear();
    ASSERT_EQ(p.Parse("GET /b HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(p.m_host, "10.0.0.5:7402");
    EXPECT_EQ(p.m_path, "/b");
}

TEST(HttpParserGet, HeaderWithoutSpaceAfterColonIsNotFound) {
    std::string v = "unchanged";
    EXPECT_FALSE(HttpParser::ParseHttpLine("GET / HTTP/1.0\r\nHost:x\r\n\r\n", "Host", v));
    EXPECT_EQ(v, "unchanged");
    // the request line is never matched, only the first occurrence counts
    EXPECT_FALSE(HttpParser::ParseHttpLine("Host: a\r\n\r\n", "Host", v));
    EXPECT_TRUE(HttpParser::ParseHttpLine("X\r\nHost: a\r\nHost: b\r\n", "Host", v));
    EXPECT_EQ(v, "a");
    // a value whose line never ends is not taken
    EXPECT_FALSE(HttpParser::ParseHttpLine("X\r\nHost: a", "Host", v));
}

TEST(HttpParserOther, UnsupportedMethodIsDoneButNotParsed) {
    HttpParser p;
    EXPECT_EQ(p.Parse("PUT /x HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(p.m_method, 2);
    EXPECT_FALSE(p.m_parsed);
    // even before the request is complete, and for lower-case methods
    EXPECT_EQ(p.Parse("get /"), 0);
    EXPECT_EQ(p.m_method, 2);
    EXPECT_EQ(p.Parse("DELETE /x"), 0);
    EXPECT_EQ(p.m_method, 2);
}

TEST(HttpParserPost, BodyArrivesInPieces) {
    const std::string body20 = "a=1&b=x+y&c=%21%3E&d";
    const std::string body = body20 + "e";  // 21 bytes
    const std::string head = "Content-Length: 20\r\n";
    HttpParser p;
    EXPECT_EQ(p.Parse(Post(head, "")), 1);             // headers only
    EXPECT_EQ(p.Parse(Post(head, body20.substr(0, 10))), 2);
    EXPECT_EQ(p.Parse(Post(head, body)), 2);           // 21 bytes
    ASSERT_EQ(p.Parse(Post(head, body20)), 0);
    EXPECT_TRUE(p.m_parsed);
    EXPECT_EQ(p.m_method, 1);
    EXPECT_EQ(p.m_path, "/snmp.cgi");
    EXPECT_EQ(p.m_body, body20);
    EXPECT_EQ(p.m_values.at("a"), "1");
    EXPECT_EQ(p.m_values.at("b"), "x y");
    EXPECT_EQ(p.m_values.at("c"), "!");
    EXPECT_EQ(p.m_values.count("d"), 0u);
}

TEST(HttpParserPost, BodyValueReplacesQueryValue) {
    HttpParser p;
    ASSERT_EQ(p.Parse("POST /e.cgi?func=ShowEmail&x=q HTTP/1.0\r\nContent-Length: 11\r\n\r\n"
                      "func=SetSmt"), 0);
    EXPECT_EQ(p.m_path, "/e.cgi");
    EXPECT_EQ(p.m_values.at("func"), "SetSmt");
    EXPECT_EQ(p.m_values.at("x"), "q");
}

TEST(HttpParserPost, TrimmingMakesCountedLineBreaksShort) {
    HttpParser p;
    // the trailing CR LF is counted by Content-Length but trimmed away
    EXPECT_EQ(p.Parse(Post("Content-Length: 5\r\n", "a=1\r\n")), 2);
    // an empty body never completes: the blank line itself is trimmed
    EXPECT_EQ(p.Parse(Post("Content-Length: 0\r\n", "")), 1);
    EXPECT_EQ(p.Parse(Post("Content-Length: 0\r\n", "x")), 2);
    // leading blanks before the method are not a POST at all
    EXPECT_EQ(p.Parse("  POST / HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(p.m_method, 2);
}

TEST(HttpParserPost, MissingOrUnreadableContentLength) {
    HttpParser p;
    EXPECT_EQ(p.Parse(Post("", "")), 1);
    EXPECT_EQ(p.Parse(Post("", "x")), 2);
    EXPECT_EQ(p.Parse(Post("Content-Length:20\r\n", "12345678901234567890")), 2);
    // non-numeric reads as 0, so any body is too long
    EXPECT_EQ(p.Parse(Post("Content-Length: abc\r\n", "x")), 2);
    EXPECT_EQ(p.Parse(Post("Content-Length: -3\r\n", "abc")), 2);
    // digits followed by junk: only the leading digits count
    EXPECT_EQ(p.Parse(Post("Content-Length: 3xyz\r\n", "k=v")), 0);
    // an absurd length never matches
    EXPECT_EQ(p.Parse(Post("Content-Length: 99999999999999999999999999\r\n", "k=v")), 2);
    EXPECT_EQ(p.Parse("POST \r\n"), 2);
    EXPECT_EQ(p.Parse("POST /x\r\n\r\n"), 2);
}

TEST(HttpParserPost, KeepAliveAndHeadersFromThePostHeader) {
    HttpParser p;
    ASSERT_EQ(p.Parse("POST /c HTTP/1.1\r\nHost: 1.2.3.4:1\r\nConnection: Keep-Alive\r\n"
                      "Content-Length: 3\r\n\r\nk=v"), 0);
    EXPECT_TRUE(p.m_keepAlive);
    EXPECT_EQ(p.m_host, "1.2.3.4:1");
    EXPECT_EQ(p.m_uri, "");  // only a GET stores its target
}

TEST(HttpParserState, ClearForgetsValuesAndCookies) {
    HttpParser p;
    ASSERT_EQ(p.Parse("GET /a?x=1 HTTP/1.0\r\nCookie: s=2\r\n\r\n"), 0);
    p.Clear();
    EXPECT_FALSE(p.m_parsed);
    EXPECT_TRUE(p.m_values.empty());
    EXPECT_TRUE(p.m_cookies.empty());
    EXPECT_EQ(p.m_path, "/a");
}

TEST(HttpParserDecode, InPlaceRules) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a+b", "a b"},       {"%41%62", "Ab"},   {"%3c%3E", ""},     {"%", ""},
        {"%4", "4"},          {"%4g", "4g"},      {"%%41", "A"},      {"100%", "100"},
        {"%2B+", "+ "},       {"%252B", "%2B"},   {"ab%00cd", "ab"},  {"%zz", "zz"},
        {"%0a%0D", "\n\r"},   {"", ""},
    };
    for (const Case& c : cases) {
        char buf[64];
        std::strcpy(buf, c.in);
        HttpParser::URLDecode(buf);
        EXPECT_STREQ(buf, c.out) << "input " << c.in;
        std::string s = c.in;
        HttpParser::URLDecode(s);
        EXPECT_EQ(s, c.out) << "input " << c.in;
    }
}

TEST(HttpParserDecode, EncodedNulCutsAValue) {
    HttpParser p;
    ASSERT_EQ(p.Parse("GET /a%00.xsl?n=ad%00min HTTP/1.0\r\n\r\n"), 0);
    EXPECT_EQ(p.m_path, "/a");
    EXPECT_EQ(p.m_values.at("n"), "ad");
}

TEST(HttpParserDecode, HighBytesSurvive) {
    std::string s = "%FF%80x";
    HttpParser::URLDecode(s);
    EXPECT_EQ(s, "\xff\x80x");
}

}  // namespace
