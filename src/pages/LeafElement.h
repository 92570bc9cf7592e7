// LeafElement: an element with exactly one text child (a name and its text or
// decimal number). Owned by the node it is linked into (TinyXML ownership);
// used by one thread at a time, like the rest of its document.
#pragma once

#include <tinyxml.h>

class LeafElement : public TiXmlElement {
public:
    LeafElement(const char* name, const char* text);
    LeafElement(const char* name, int value);
    ~LeafElement() override;
};
