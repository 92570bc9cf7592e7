#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "pages/LeafElement.h"
#include "pages/XSLDecl.h"
#include "pages/XmlDocForWeb.h"

namespace {

// The text the page handlers save and send, as TinyXML's printer writes it.
std::string Saved(XmlDocForWeb& doc) {
    kvotest::TempDir dir;
    std::string file = dir.file("page.xml");
    EXPECT_TRUE(doc.SaveFile(file));
    return kvotest::ReadFileText(file);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(XmlDocForWeb, EmptyPagePrintsThreeTopLevelLines) {
    XmlDocForWeb doc;
    doc.SetXsl("snmp.xsl");
    doc.SetRootElement("kvo_omx_page");
    EXPECT_EQ(Saved(doc),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
              "<?xml-stylesheet type=\"text/xsl\" href=\"snmp.xsl\" ?>\n"
              "<kvo_omx_page />\n");
}

TEST(XmlDocForWeb, NamedDocumentSavesUnderItsOwnName) {
    kvotest::TempDir dir;
    std::string file = dir.file("snmp.xml");
    XmlDocForWeb doc(file);
    doc.SetXsl("snmp.xsl");
    doc.SetRootElement("kvo_omx_page");
    doc.SetTitle("SNMP Management");
    ASSERT_TRUE(doc.SaveFile());
    auto lines = Lines(kvotest::ReadFileText(file));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "<kvo_omx_page title=\"SNMP Management\" />");
}

TEST(XmlDocForWeb, MessagesFollowDataInOrderWithTheirAttributes) {
    XmlDocForWeb doc;
    doc.SetXsl("email.xsl");
    TiXmlElement* root = doc.SetRootElement("kvo_omx_page");
    doc.SetTitle("EMAIL Management");
    root->LinkEndChild(new LeafElement("ip", "10.0.0.5"));
    doc.AddMessage(1, "bad port");
    doc.AddMessage(2, "saved");
    root->LinkEndChild(new LeafElement("late", 7));
    doc.AddMessage(0, "careful");
    doc.AddMessage(3, "Delete?", "email.cgi?func=DeleteRecipient&a=1", "email.cgi");
    EXPECT_EQ(Saved(doc),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
              "<?xml-stylesheet type=\"text/xsl\" href=\"email.xsl\" ?>\n"
              "<kvo_omx_page title=\"EMAIL Management\">\n"
              "    <ip>10.0.0.5</ip>\n"
              "    <messages>\n"
              "        <message type=\"error\">bad port</message>\n"
              "        <message type=\"info\">saved</message>\n"
              "        <message type=\"warn\">careful</message>\n"
              "        <message type=\"confirm\" yeshref=\"email.cgi?func=DeleteRecipient&amp;a=1\""
              " nohref=\"email.cgi\">Delete?</message>\n"
              "    </messages>\n"
              "    <late>7</late>\n"
              "</kvo_omx_page>\n");
}

TEST(XmlDocForWeb, NothingHappensBeforeTheRootOrWithoutText) {
    XmlDocForWeb doc;
    doc.SetXsl("a.xsl");
    doc.AddMessage(1, "lost");
    doc.SetTitle("lost");
    std::string before = Saved(doc);
    EXPECT_EQ(Lines(before).size(), 2u);
    TiXmlElement* root = doc.SetRootElement("r");
    doc.AddMessage(1, nullptr);
    EXPECT_EQ(root->FirstChild(), nullptr);
    EXPECT_EQ(root->Attribute("title"), nullptr);
}

TEST(XmlDocForWeb, TextIsEscapedByTheLibrary) {
    XmlDocForWeb doc;
    doc.SetXsl("x.xsl?a=1&b=\"2\"");
    doc.SetRootElement("r");
    doc.AddMessage(1, "<script>&");
    std::string text = Saved(doc);
    EXPECT_NE(text.find("<?xml-stylesheet type=\"text/xsl\" href='x.xsl?a=1&amp;b=&quot;2&quot;' ?>"),
              std::string::npos) << text;
    EXPECT_NE(text.find(">&lt;script&gt;&amp;</message>"), std::string::npos) << text;
}

TEST(XSLDecl, PrintsAsInstructionIndentedByDepth) {
    XSLDecl decl("controllers.xsl");
    kvotest::TempDir dir;
    std::string file = dir.file("pi.txt");
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    decl.Print(f, 0);
    std::fputc('|', f);
    decl.Print(f, 2);
    std::fclose(f);
    EXPECT_EQ(kvotest::ReadFileText(file),
              "<?xml-stylesheet type=\"text/xsl\" href=\"controllers.xsl\" ?>|"
              "        <?xml-stylesheet type=\"text/xsl\" href=\"controllers.xsl\" ?>");
    EXPECT_STREQ(decl.Attribute("type"), "text/xsl");
}

TEST(LeafElement, HoldsExactlyOneTextChild) {
    LeafElement number("n", -5);
    ASSERT_NE(number.FirstChild(), nullptr);
    EXPECT_EQ(number.FirstChild(), number.LastChild());
    EXPECT_STREQ(number.GetText(), "-5");
    LeafElement text("t", "abc");
    EXPECT_STREQ(text.Value(), "t");
    EXPECT_STREQ(text.GetText(), "abc");
    LeafElement big("b", 2147483647);
    EXPECT_STREQ(big.GetText(), "2147483647");
}

}  // namespace
