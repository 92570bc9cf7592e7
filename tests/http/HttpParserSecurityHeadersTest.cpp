// The request headers the rendering and the request guard read: kept as
// received for GET and POST, and, unlike Host or Cookie, emptied when a later
// request on the same connection does not send them.
#include <gtest/gtest.h>

#include "http/HttpParser.h"

namespace {

TEST(HttpParserSecurityHeaders, KeptForGetAndPostAndForgottenWhenAbsent) {
    HttpParser parser;
    ASSERT_EQ(HttpParser::PARSE_DONE,
              parser.Parse("GET /a?x=1 HTTP/1.1\r\nHost: h:7402\r\nAccept: text/html, */*;q=0.8\r\n"
                           "Accept-Language: de\r\nOrigin: http://h:7402\r\nReferer: http://h:7402/a\r\n"
                           "Sec-Fetch-Site: same-origin\r\nAuthorization: Basic YTpi\r\n\r\n"));
    EXPECT_EQ("text/html, */*;q=0.8", parser.m_accept);
    EXPECT_EQ("http://h:7402", parser.m_origin);
    EXPECT_EQ("http://h:7402/a", parser.m_referer);
    EXPECT_EQ("same-origin", parser.m_secFetchSite);
    EXPECT_EQ("Basic YTpi", parser.m_authorization);
    EXPECT_EQ("/a", parser.m_path);
    EXPECT_EQ("1", parser.m_values["x"]);

    // The next request on the connection sends none of them: nothing is borrowed.
    parser.Clear();
    ASSERT_EQ(HttpParser::PARSE_DONE,
              parser.Parse("POST /b HTTP/1.1\r\nContent-Length: 3\r\n\r\ny=2"));
    EXPECT_EQ("", parser.m_accept);
    EXPECT_EQ("", parser.m_origin);
    EXPECT_EQ("", parser.m_referer);
    EXPECT_EQ("", parser.m_secFetchSite);
    EXPECT_EQ("", parser.m_authorization);
    EXPECT_EQ("h:7402", parser.m_host) << "Host keeps its earlier value, as intended";

    // Matching stays literal: other spellings are not the header.
    parser.Clear();
    ASSERT_EQ(HttpParser::PARSE_DONE,
              parser.Parse("GET / HTTP/1.1\r\naccept: text/html\r\nOrigin:http://x\r\n\r\n"));
    EXPECT_EQ("", parser.m_accept);
    EXPECT_EQ("", parser.m_origin);

    // An incomplete or unsupported request changes none of them.
    parser.m_origin = "kept";
    EXPECT_EQ(HttpParser::PARSE_INCOMPLETE, parser.Parse("GET / HTTP/1.1\r\nOrigin: http://y\r\n"));
    EXPECT_EQ(HttpParser::PARSE_DONE, parser.Parse("PUT / HTTP/1.1\r\nOrigin: http://y\r\n\r\n"));
    EXPECT_EQ("kept", parser.m_origin);
}

}  // namespace
