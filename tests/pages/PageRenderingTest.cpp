// Pages rendered on the service side: browsers (Accept lists text/html) get
// the page transformed with its own stylesheet, every other client the XML
// document as before; edited stylesheets are picked up; a stylesheet can read
// nothing outside the web root, write nothing and reach no network. All over
// real loopback sockets against the shared simulated controllers.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "TestSupport.h"
#include "pages/StylesheetRenderer.h"
#include "pages/WebServerFixture.h"

namespace {

namespace fs = std::filesystem;
using kvotest::HttpAnswer;

const char* const kPages[] = {"controllers.cgi", "snmp.cgi", "email.cgi", "events.cgi"};

// Every non-empty text of the document's elements, trimmed.
void CollectTexts(const TiXmlElement* element, std::vector<std::string>& out) {
    for (const TiXmlNode* child = element->FirstChild(); child; child = child->NextSibling()) {
        if (const TiXmlText* text = child->ToText()) {
            std::string value = text->Value();
            size_t first = value.find_first_not_of(" \t\r\n");
            if (first != std::string::npos)
                out.push_back(value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1));
        } else if (const TiXmlElement* inner = child->ToElement()) {
            CollectTexts(inner, out);
        }
    }
}

class PageRenderingTest : public kvotest::WebServerFixture {
protected:
    HttpAnswer Browse(const std::string& target) {
        return Get(target, std::string("Accept: ") + kvotest::kBrowserAccept + "\r\n");
    }
};

TEST_F(PageRenderingTest, BrowsersGetEveryPageAsHtmlWithItsData) {
    StartServer();
    for (const char* page : kPages) {
        HttpAnswer xml = Get(std::string("/") + page);
        TiXmlDocument doc;
        doc.Parse(xml.body.c_str());
        const TiXmlElement* root = doc.FirstChildElement("kvo_omx_page");
        ASSERT_NE(nullptr, root) << page << "\n" << xml.raw;

        HttpAnswer html = Browse(std::string("/") + page);
        EXPECT_EQ("HTTP/1.0 200 OK", html.status) << page;
        EXPECT_TRUE(html.HasHeader("Content-Type: text/html; charset=UTF-8")) << html.headers;
        EXPECT_TRUE(html.HasHeader("X-Frame-Options: DENY")) << html.headers;
        EXPECT_TRUE(html.HasHeader("Content-Security-Policy: frame-ancestors 'none'")) << html.headers;
        EXPECT_TRUE(html.HasHeader("Content-Length: " + std::to_string(html.body.size())));
        EXPECT_EQ(0u, html.body.find("<!DOCTYPE html>")) << html.body.substr(0, 80);
        EXPECT_EQ(std::string::npos, html.body.find("<?xml")) << page;
        EXPECT_EQ(std::string::npos, html.body.find("xml-stylesheet")) << page;
        std::string title = std::string("<title>") + root->Attribute("title");
        EXPECT_NE(std::string::npos, html.body.find(title)) << page << ": " << title;
        std::vector<std::string> texts;
        CollectTexts(root, texts);
        for (const auto& text : texts)
            EXPECT_NE(std::string::npos, html.body.find(text)) << page << " lost \"" << text << "\"";
        // Images and the icon keep their relative paths, which the server answers.
        EXPECT_NE(std::string::npos, html.body.find("src=\"logo.gif\"")) << page;
    }
    EXPECT_EQ("HTTP/1.0 200 OK", Browse("/logo.gif").status);
    EXPECT_EQ("HTTP/1.0 200 OK", Browse("/favicon.ico").status);

    // The controllers' ports are the form's values.
    HttpAnswer page = Browse("/controllers.cgi");
    EXPECT_NE(std::string::npos, page.body.find("name=\"controller_httpport_0\""));
    EXPECT_NE(std::string::npos, page.body.find("value=\"7412\"")) << page.body;
}

TEST_F(PageRenderingTest, MessagesOfAFailedActionAreRendered) {
    StartServer();
    HttpAnswer page = Post("/controllers.cgi", "controller_cliport_0=65535",
                           std::string("Origin: ") + Origin() + "\r\nAccept: " +
                               kvotest::kBrowserAccept + "\r\n");
    EXPECT_EQ("HTTP/1.0 200 OK", page.status);
    EXPECT_TRUE(page.HasHeader("Content-Type: text/html; charset=UTF-8"));
    EXPECT_NE(std::string::npos, page.body.find("role=\"alert\"")) << page.body;
    EXPECT_NE(std::string::npos, page.body.find("Port number should be in the range 1 to 65535."));
}

TEST_F(PageRenderingTest, OtherClientsGetTheXmlDocumentAsDesigned) {
    StartServer();
    HttpAnswer plain = Get("/controllers.cgi");
    ASSERT_EQ("HTTP/1.0 200 OK", plain.status);
    EXPECT_EQ(0u, plain.body.find("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
                                  "<?xml-stylesheet type=\"text/xsl\" href=\"controllers.xsl\" ?>\n"
                                  "<kvo_omx_page title=\"Controller Management\">"))
        << plain.body;
    EXPECT_TRUE(plain.HasHeader("Content-Type: application/xml"));
    // Exactly the intended header fields, nothing added.
    std::vector<std::string> names;
    for (size_t pos = 0; pos < plain.headers.size();) {
        size_t end = plain.headers.find("\r\n", pos);
        names.push_back(plain.headers.substr(pos, plain.headers.find(':', pos) - pos));
        pos = end + 2;
    }
    EXPECT_EQ((std::vector<std::string>{"Date", "Server", "Accept-Ranges", "Content-Length",
                                        "Connection", "Content-Type"}),
              names);

    for (const char* accept : {"*/*", "application/xml", "text/xml, application/xml;q=0.9",
                               "text/html;q=0, application/xml"}) {
        HttpAnswer answer = Get("/controllers.cgi", std::string("Accept: ") + accept + "\r\n");
        EXPECT_EQ(plain.body, answer.body) << accept;
        EXPECT_EQ(plain.headers.substr(plain.headers.find("Server:")),
                  answer.headers.substr(answer.headers.find("Server:")))
            << accept;
    }
    // Stylesheets, images and error pages are unchanged for browsers too.
    HttpAnswer xsl = Browse("/controllers.xsl");
    EXPECT_EQ(kvotest::ReadFileText(m_root + "xsl/controllers.xsl"), xsl.body);
    EXPECT_TRUE(xsl.HasHeader("Content-Type: application/xml"));
    HttpAnswer missing = Browse("/nothing.gif");
    EXPECT_EQ("HTTP/1.0 404 Resource not found", missing.status);
    EXPECT_EQ(kvotest::ReadFileText(m_work + "/HTML/fnf.html"), missing.body);
}

TEST_F(PageRenderingTest, EditedStylesheetsAreUsedByTheNextRequest) {
    StartServer();
    HttpAnswer before = Browse("/controllers.cgi");
    ASSERT_NE(std::string::npos, before.body.find("Settings are saved as soon as you submit a form."));

    // The shared layout is an included file: editing it counts too.
    std::string common = kvotest::ReadFileText(m_root + "xsl/common.xsl");
    size_t at = common.find("Settings are saved as soon as you submit a form.");
    ASSERT_NE(std::string::npos, at);
    common.replace(at, 48, "Footer edited by the administrator, version two.");
    kvotest::WriteFileText(m_root + "xsl/common.xsl", common);
    HttpAnswer after = Browse("/controllers.cgi");
    EXPECT_NE(std::string::npos, after.body.find("Footer edited by the administrator, version two."));

    std::string own = kvotest::ReadFileText(m_root + "xsl/controllers.xsl");
    at = own.find("Controller ports</h2>");
    ASSERT_NE(std::string::npos, at);
    own.replace(at, 16, "Relay and CLI ports of each controller");
    kvotest::WriteFileText(m_root + "xsl/controllers.xsl", own);
    EXPECT_NE(std::string::npos,
              Browse("/controllers.cgi").body.find("Relay and CLI ports of each controller</h2>"));

    // A stylesheet broken on disk: the page still arrives, as its XML document.
    kvotest::WriteFileText(m_root + "xsl/controllers.xsl", "<xsl:stylesheet version=\"1.0\"");
    HttpAnswer broken = Browse("/controllers.cgi");
    EXPECT_EQ("HTTP/1.0 200 OK", broken.status);
    EXPECT_TRUE(broken.HasHeader("Content-Type: application/xml"));
    EXPECT_NE(std::string::npos, broken.body.find("<kvo_omx_page"));
}

TEST(StylesheetRendererCache, CompilesOnceAndAgainOnlyWhenAFileChanges) {
    kvotest::TempDir dir;
    std::string root = dir.path() + "/root/";
    fs::create_directories(root + "xsl");
    kvotest::WriteFileText(root + "xsl/part.xsl",
                           "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                           "<xsl:template name=\"mark\">first</xsl:template></xsl:stylesheet>");
    kvotest::WriteFileText(root + "xsl/page.xsl",
                           "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                           "<xsl:include href=\"part.xsl\"/><xsl:output method=\"html\"/>"
                           "<xsl:template match=\"/\"><p><xsl:value-of select=\"a\"/>"
                           "<xsl:call-template name=\"mark\"/></p></xsl:template></xsl:stylesheet>");
    StylesheetRenderer renderer;
    std::string html, error;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(renderer.Render("<a>x</a>", root, "page.xsl", html, error)) << error;
        EXPECT_NE(std::string::npos, html.find("<p>xfirst</p>")) << html;
    }
    EXPECT_EQ(1u, renderer.CompileCount());
    EXPECT_EQ(0u, html.find("<!DOCTYPE html>")) << "a doctype is supplied when the stylesheet has none";

    kvotest::WriteFileText(root + "xsl/part.xsl",
                           "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                           "<xsl:template name=\"mark\">second</xsl:template></xsl:stylesheet>");
    ASSERT_TRUE(renderer.Render("<a>y</a>", root, "page.xsl", html, error)) << error;
    EXPECT_NE(std::string::npos, html.find("<p>ysecond</p>")) << html;
    ASSERT_TRUE(renderer.Render("<a>z</a>", root, "page.xsl", html, error)) << error;
    EXPECT_EQ(2u, renderer.CompileCount());

    EXPECT_FALSE(renderer.Render("<a>", root, "page.xsl", html, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(html.empty());
}

TEST(StylesheetRendererAccept, OnlyAListedTextHtmlCounts) {
    EXPECT_TRUE(StylesheetRenderer::AcceptsHtml(kvotest::kBrowserAccept));
    EXPECT_TRUE(StylesheetRenderer::AcceptsHtml("TEXT/HTML"));
    EXPECT_TRUE(StylesheetRenderer::AcceptsHtml("application/xml, text/html ;q=0.5"));
    EXPECT_FALSE(StylesheetRenderer::AcceptsHtml(""));
    EXPECT_FALSE(StylesheetRenderer::AcceptsHtml("*/*"));
    EXPECT_FALSE(StylesheetRenderer::AcceptsHtml("text/*"));
    EXPECT_FALSE(StylesheetRenderer::AcceptsHtml("text/html;q=0"));
    EXPECT_FALSE(StylesheetRenderer::AcceptsHtml("text/htmlx, application/xhtml+xml"));
}

// A hostile stylesheet (an administrator's mistake or a planted file) gets
// nothing from outside the web root, writes nothing and connects nowhere.
TEST_F(PageRenderingTest, StylesheetCannotReadOutsideTheWebRootWriteOrConnect) {
    std::string secret = m_tmp.file("secret.xml");
    kvotest::WriteFileText(secret, "<secret>TOP-SECRET-VALUE</secret>");
    std::string written1 = m_tmp.file("written-by-xsl-document.txt");
    std::string written2 = m_tmp.file("written-by-saxon-output.txt");
    int trapPort = kvotest::FreeTcpPort();
    int trap = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(trapPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(trap, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(trap, 4));

    kvotest::WriteFileText(
        m_root + "xsl/controllers.xsl",
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE xsl:stylesheet [ <!ENTITY leak SYSTEM \"file:///etc/passwd\"> ]>\n"
        "<xsl:stylesheet version=\"1.1\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"\n"
        "    xmlns:saxon=\"http://icl.com/saxon\" extension-element-prefixes=\"saxon\">\n"
        "  <xsl:output method=\"html\"/>\n"
        "  <xsl:template match=\"/\"><html><body>\n"
        "    <p>entity:&leak;</p>\n"
        "    <p>file:<xsl:value-of select=\"document('" + secret + "')\"/></p>\n"
        "    <p>url:<xsl:value-of select=\"document('file://" + secret + "')\"/></p>\n"
        "    <p>passwd:<xsl:value-of select=\"document('/etc/passwd')\"/></p>\n"
        "    <p>net:<xsl:value-of select=\"document('http://127.0.0.1:" + std::to_string(trapPort) + "/x.xml')\"/></p>\n"
        "    <xsl:document href=\"" + written1 + "\" method=\"text\">written</xsl:document>\n"
        "    <saxon:output href=\"" + written2 + "\" method=\"text\">written</saxon:output>\n"
        "    <p>title:<xsl:value-of select=\"kvo_omx_page/@title\"/></p>\n"
        "  </body></html></xsl:template>\n"
        "</xsl:stylesheet>\n");
    StartServer();
    HttpAnswer page = Browse("/controllers.cgi");
    EXPECT_EQ("HTTP/1.0 200 OK", page.status);
    EXPECT_NE(std::string::npos, page.body.find("Controller Management")) << page.body;
    EXPECT_EQ(std::string::npos, page.body.find("TOP-SECRET-VALUE")) << page.body;
    EXPECT_EQ(std::string::npos, page.body.find("root:")) << page.body;
    EXPECT_FALSE(fs::exists(written1));
    EXPECT_FALSE(fs::exists(written2));
    pollfd p{trap, POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 200)) << "the stylesheet connected to the network";
    close(trap);

    // An include that climbs out of the web root is refused as well.
    kvotest::WriteFileText(m_tmp.file("outside.xsl"),
                           "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                           "<xsl:template match=\"/\">OUTSIDE-TEMPLATE</xsl:template></xsl:stylesheet>");
    kvotest::WriteFileText(m_root + "xsl/controllers.xsl",
                           "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                           "<xsl:include href=\"../../outside.xsl\"/></xsl:stylesheet>");
    page = Browse("/controllers.cgi");
    EXPECT_EQ(std::string::npos, page.body.find("OUTSIDE-TEMPLATE")) << page.body;
}

// A web root written with ".." (from KVOOMX_HOME) still serves its files and
// renders its pages; a request path with ".." is still refused.
TEST_F(PageRenderingTest, WebRootWrittenWithParentSegmentsStillServes) {
    fs::create_directories(m_tmp.path() + "/elsewhere");
    StartServer(m_tmp.path() + "/elsewhere/../webguiroot/");
    HttpAnswer logo = Get("/logo.gif");
    EXPECT_EQ("HTTP/1.0 200 OK", logo.status);
    EXPECT_EQ(kvotest::ReadFileText(m_root + "images/logo.gif"), logo.body);
    EXPECT_EQ("HTTP/1.0 200 OK", Get("/controllers.xsl").status);
    HttpAnswer page = Browse("/controllers.cgi");
    EXPECT_TRUE(page.HasHeader("Content-Type: text/html; charset=UTF-8"));
    EXPECT_EQ("HTTP/1.0 404 Resource not found", Get("/../webguiroot/xsl/controllers.xsl").status);
    EXPECT_EQ("HTTP/1.0 404 Resource not found", Get("/x/../../kvoomxsvr.xsl").status);
}

}  // namespace
