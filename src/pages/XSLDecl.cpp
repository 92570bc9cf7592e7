#include "pages/XSLDecl.h"

XSLDecl::XSLDecl(const char* href) : TiXmlElement("xml-stylesheet") {
    SetAttribute("type", "text/xsl");
    SetAttribute("href", href ? href : "");
}

void XSLDecl::Print(FILE* cfile, int depth) const {
    for (int i = 0; i < depth; ++i) std::fprintf(cfile, "    ");
    std::fprintf(cfile, "<?%s", Value());
    for (const TiXmlAttribute* attr = FirstAttribute(); attr; attr = attr->Next()) {
        std::fprintf(cfile, " ");
        attr->Print(cfile, depth);
    }
    std::fprintf(cfile, " ?>");
}
