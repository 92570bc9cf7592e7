#include "config/XmlText.h"

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

size_t CleanAttributes(TiXmlElement* element) {
    size_t dropped = 0;
    TiXmlAttribute* attribute = element->FirstAttribute();
    while (attribute) {
        TiXmlAttribute* next = attribute->Next();
        if (!XmlText::IsValid(attribute->NameTStr())) {
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

std::string XmlText::AsRead(const std::string& text) {
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

size_t XmlText::CleanDocument(TiXmlNode* node, std::string* firstPlace) {
    size_t total = 0;
    TiXmlNode* child = node ? node->FirstChild() : nullptr;
    while (child) {
        TiXmlNode* next = child->NextSibling();
        if (TiXmlElement* element = child->ToElement()) {
            if (!IsValid(element->ValueStr())) {
                Note(1, node, total, firstPlace);
                node->RemoveChild(element);
            } else {
                Note(CleanAttributes(element), element, total, firstPlace);
                std::string inner;
                size_t count = CleanDocument(element, &inner);
                if (count && total == 0 && firstPlace) *firstPlace = inner;
                total += count;
            }
        } else if (TiXmlText* text = child->ToText()) {
            size_t count = 0;
            std::string value = Valid(text->ValueStr(), &count);
            if (count) text->SetValue(value);
            Note(count, node, total, firstPlace);
        } else if (!child->ToDeclaration() && !IsValid(child->ValueStr())) {
            Note(1, node, total, firstPlace);
            node->RemoveChild(child);
        } else if (TiXmlDeclaration* declaration = child->ToDeclaration()) {
            if (!IsValid(declaration->Version()) || !IsValid(declaration->Encoding()) ||
                !IsValid(declaration->Standalone())) {
                Note(1, node, total, firstPlace);
                node->RemoveChild(child);
            }
        }
        child = next;
    }
    return total;
}
