// XSLDecl: the xml-stylesheet processing instruction of a page document. An
// element named "xml-stylesheet" with "type" and "href" attributes that prints
// itself as "<?xml-stylesheet ... ?>". Owned by the document it is linked into;
// used by one thread at a time, like the rest of the document.
#pragma once

#include <cstdio>

#include <tinyxml.h>

class XSLDecl : public TiXmlElement {
public:
    explicit XSLDecl(const char* href);
    void Print(FILE* cfile, int depth) const override;
};
