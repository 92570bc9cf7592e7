#include "pages/XmlDocForWeb.h"

#include "config/XmlText.h"
#include "pages/LeafElement.h"
#include "pages/XSLDecl.h"

XmlDocForWeb::XmlDocForWeb() : m_decl(nullptr), m_root(nullptr), m_messages(nullptr) {
    AppendDeclaration();
}

XmlDocForWeb::XmlDocForWeb(const std::string& fileName)
    : TiXmlDocument(fileName), m_decl(nullptr), m_root(nullptr), m_messages(nullptr) {
    AppendDeclaration();
}

// TinyXML takes ownership of every linked node.
void XmlDocForWeb::AppendDeclaration() {
    m_decl = new TiXmlDeclaration("1.0", "UTF-8", "no");
    LinkEndChild(m_decl);
}

void XmlDocForWeb::SetXsl(const char* href) { LinkEndChild(new XSLDecl(href)); }

TiXmlElement* XmlDocForWeb::SetRootElement(const char* name) {
    m_root = new TiXmlElement(name ? name : "");
    LinkEndChild(m_root);
    return m_root;
}

void XmlDocForWeb::SetTitle(const char* title) {
    if (m_root) m_root->SetAttribute("title", title ? title : "");
}

void XmlDocForWeb::AddMessage(int type, const char* text, const char* yesHref, const char* noHref) {
    if (!m_root || !text) return;
    if (!m_messages) {
        m_messages = new TiXmlElement("messages");
        m_root->LinkEndChild(m_messages);
    }
    auto* message = new LeafElement("message", text);
    switch (type) {
    case MSG_WARN:
        message->SetAttribute("type", "warn");
        break;
    case MSG_ERROR:
        message->SetAttribute("type", "error");
        break;
    case MSG_CONFIRM:
        message->SetAttribute("type", "confirm");
        message->SetAttribute("yeshref", yesHref ? yesHref : "");
        message->SetAttribute("nohref", noHref ? noHref : "");
        break;
    default:
        message->SetAttribute("type", "info");
        break;
    }
    m_messages->LinkEndChild(message);
}

// Element by element: the document's own top (its declaration and the
// stylesheet instruction, an element that prints itself) is ours and stays.
size_t XmlDocForWeb::DropUnwritableText() {
    size_t dropped = 0;
    for (TiXmlElement* element = FirstChildElement(); element; element = element->NextSiblingElement())
        dropped += XmlText::CleanDocument(element, nullptr, false);
    return dropped;
}
