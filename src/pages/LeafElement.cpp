#include "pages/LeafElement.h"

#include <cstdio>

LeafElement::LeafElement(const char* name, const char* text) : TiXmlElement(name ? name : "") {
    LinkEndChild(new TiXmlText(text ? text : ""));
}

LeafElement::LeafElement(const char* name, int value) : TiXmlElement(name ? name : "") {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", value);
    LinkEndChild(new TiXmlText(text));
}

// The text child is owned and freed by TiXmlNode's destructor.
LeafElement::~LeafElement() = default;
