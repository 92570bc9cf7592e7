#include "config/XmlText.h"

#include <cctype>
#include <cstring>

#include <tinyxml.h>

namespace {

bool IsXmlChar(unsigned long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// Length of the well-formed UTF-8 sequence at `at` holding an XML character,
// or 0 when the byte there starts none.
size_t XmlCharLength(const std::string& text, size_t at) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    unsigned long c;
    unsigned long lowest;
    if (lead < 0x80) return IsXmlChar(lead) ? 1 : 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, lowest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, lowest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; i++) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms and surrogates are not UTF-8.
    if (c < lowest || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return IsXmlChar(c) ? length : 0;
}

std::string PathOf(const TiXmlNode* node) {
    std::string path;
    for (; node && !node->ToDocument(); node = node->Parent()) {
        if (!node->ToElement()) continue;
        path = path.empty() ? node->ValueStr() : node->ValueStr() + "/" + path;
    }
    return path;
}

void Note(size_t count, const TiXmlNode* where, size_t& total, std::string* firstPlace) {
    if (count == 0) return;
    if (total == 0 && firstPlace) *firstPlace = XmlText::Valid(PathOf(where));
    total += count;
}

// The names we write are ASCII; TinyXML reads more than XML allows as names.
bool IsAsciiName(const std::string& name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80 || !(std::isalnum(u) || c == '_' || c == '-' || c == '.' || c == ':')) return false;
    }
    return true;
}

bool IsWritableComment(const std::string& text) {
    return XmlText::IsValid(text) && text.find("--") == std::string::npos && (text.empty() || text.back() != '-');
}

bool IsLower(const std::string& text, const char* expected) {
    if (text.size() != std::strlen(expected)) return false;
    for (size_t i = 0; i < text.size(); i++)
        if (std::tolower(static_cast<unsigned char>(text[i])) != expected[i]) return false;
    return true;
}

// Only a declaration any reader takes: version 1.0, UTF-8 (what we write), a
// plain standalone.
bool IsWritableDeclaration(const TiXmlDeclaration& declaration) {
    std::string standalone = declaration.Standalone();
    std::string encoding = declaration.Encoding();
    return std::string(declaration.Version()) == "1.0" && (encoding.empty() || IsLower(encoding, "utf-8")) &&
           (standalone.empty() || standalone == "yes" || standalone == "no");
}

size_t CleanAttributes(TiXmlElement* element) {
    size_t dropped = 0;
    TiXmlAttribute* attribute = element->FirstAttribute();
    while (attribute) {
        TiXmlAttribute* next = attribute->Next();
        if (!IsAsciiName(attribute->NameTStr())) {
            element->RemoveAttribute(attribute->Name());
            dropped++;
        } else {
            size_t count = 0;
            std::string value = XmlText::Valid(attribute->ValueStr(), &count);
            if (count) attribute->SetValue(value);
            dropped += count;
        }
        attribute = next;
    }
    return dropped;
}

// Whether `child` of `parent` may stay: an XML document holds at most a
// declaration (first), comments and one element at its top.
bool Keeps(TiXmlNode* parent, TiXmlNode* child, bool& elementSeen) {
    bool top = parent->ToDocument() != nullptr;
    if (TiXmlDeclaration* declaration = child->ToDeclaration())
        return top && child == parent->FirstChild() && IsWritableDeclaration(*declaration);
    if (TiXmlComment* comment = child->ToComment()) return IsWritableComment(comment->ValueStr());
    if (TiXmlElement* element = child->ToElement()) {
        if (top && elementSeen) return false;
        elementSeen = elementSeen || top;
        return IsAsciiName(element->ValueStr());
    }
    if (child->ToText()) return !top;
    return false;  // anything else TinyXML let through (DOCTYPE, processing instructions)
}

// Texts that a removed node separated are one text once written and read
// again; they are joined now, so the document reads the same before and after.
void MergeAdjacentTexts(TiXmlNode* node) {
    TiXmlNode* child = node ? node->FirstChild() : nullptr;
    while (child) {
        TiXmlNode* next = child->NextSibling();
        TiXmlText* text = child->ToText();
        TiXmlText* following = next ? next->ToText() : nullptr;
        if (text && following && !text->CDATA() && !following->CDATA()) {
            text->SetValue(text->ValueStr() + following->ValueStr());
            node->RemoveChild(next);
            continue;
        }
        child = next;
    }
}

}  // namespace

bool XmlText::IsValid(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        size_t length = XmlCharLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string XmlText::Valid(const std::string& text, size_t* dropped) {
    std::string out;
    out.reserve(text.size());
    size_t count = 0;
    for (size_t at = 0; at < text.size();) {
        size_t length = XmlCharLength(text, at);
        if (length == 0) {
            count++;
            at++;
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    if (dropped) *dropped = count;
    return out;
}

// TinyXML condenses white space (and drops a text that is nothing but white
// space, character references included).
std::string XmlText::AsRead(const std::string& text) {
    bool blank = true;
    for (char ch : text)
        if (!std::isspace(static_cast<unsigned char>(ch))) blank = false;
    if (blank) return std::string();
    std::string out;
    out.reserve(text.size());
    bool space = false;
    for (char ch : text) {
        if (ch == ' ') {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += ch;
    }
    return out;
}

size_t XmlText::CleanDocument(TiXmlNode* node, std::string* firstPlace, bool asRead) {
    size_t total = 0;
    bool elementSeen = false;
    TiXmlNode* child = node ? node->FirstChild() : nullptr;
    while (child) {
        TiXmlNode* next = child->NextSibling();
        if (!Keeps(node, child, elementSeen)) {
            Note(1, node, total, firstPlace);
            node->RemoveChild(child);
        } else if (TiXmlElement* element = child->ToElement()) {
            Note(CleanAttributes(element), element, total, firstPlace);
            std::string inner;
            size_t count = CleanDocument(element, &inner, asRead);
            if (count && total == 0 && firstPlace) *firstPlace = inner;
            total += count;
        } else if (TiXmlText* text = child->ToText()) {
            // Also white space from character references, which TinyXML does not
            // condense when reading but would once the text is written raw.
            size_t count = 0;
            std::string value = Valid(text->ValueStr(), &count);
            if (asRead) value = AsRead(value);
            Note(count, node, total, firstPlace);
            if (value.empty() && asRead)
                node->RemoveChild(child);
            else if (value != text->ValueStr())
                text->SetValue(value);
        }
        child = next;
    }
    MergeAdjacentTexts(node);
    return total;
}
