// XmlDocForWeb: the XML page document every management page answers with:
// declaration, xml-stylesheet instruction, one root element with a title, the
// page's data and an optional "messages" list. Built, saved and destroyed by
// one page handler under its page lock; children are owned by the document.
#pragma once

#include <string>

#include <tinyxml.h>

class XmlDocForWeb : public TiXmlDocument {
public:
    enum { MSG_WARN = 0, MSG_ERROR = 1, MSG_CONFIRM = 3 };

    XmlDocForWeb();
    explicit XmlDocForWeb(const std::string& fileName);

    // Call right after construction: the instruction follows the declaration.
    void SetXsl(const char* href);
    // Appends the root element and returns it (owned by the document).
    TiXmlElement* SetRootElement(const char* name);
    // The page's root element (not RootElement(): the stylesheet instruction
    // comes first); null before SetRootElement.
    TiXmlElement* PageRoot() const { return m_root; }
    void SetTitle(const char* title);
    // Code 0 warn, 1 error, 3 confirm (with the yes and no URLs), else info.
    // Ignored before SetRootElement or without text.
    void AddMessage(int type, const char* text, const char* yesHref = nullptr,
                    const char* noHref = nullptr);

    // Drops what no XML reader would take (bytes that are not UTF-8, control
    // characters) from the texts under the page's elements: what a page shows
    // of a request or a server's reply. Returns how much was dropped.
    size_t DropUnwritableText();

private:
    void AppendDeclaration();

    TiXmlDeclaration* m_decl;
    TiXmlElement* m_root;
    TiXmlElement* m_messages;
};
