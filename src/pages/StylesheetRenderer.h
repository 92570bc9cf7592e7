// StylesheetRenderer: applies a page document's own XSL stylesheet on the
// service side (libxslt), for browsers that no longer do it themselves.
// Compiled stylesheets are kept per file and compiled again when the file or
// any file it includes changes on disk. A transform may read files under the
// web root only, and may write nothing and reach no network.
// Owned by the configuration server's responder; Render may be called from any
// receive thread, `m_lock` guards the cache and serialises the transforms.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TiXmlDocument;

class StylesheetRenderer {
public:
    StylesheetRenderer();
    ~StylesheetRenderer();
    StylesheetRenderer(const StylesheetRenderer&) = delete;
    StylesheetRenderer& operator=(const StylesheetRenderer&) = delete;

    // Transforms the XML text `page` with the stylesheet `webRoot` + "xsl/" +
    // `href`. On success `html` holds the result, starting with a doctype.
    // On failure `error` says why and `html` is empty.
    bool Render(const std::string& page, const std::string& webRoot, const std::string& href,
                std::string& html, std::string& error);

    // The same for a page document: its xml-stylesheet instruction names the
    // stylesheet. False with an empty `error` when it names none.
    bool RenderDocument(const TiXmlDocument& doc, const std::string& webRoot, std::string& html,
                        std::string& error);

    // How often a stylesheet file was compiled (cache misses), for tests.
    unsigned long CompileCount() const;

    // True when the Accept header value lists text/html (with a non-zero q).
    static bool AcceptsHtml(const std::string& accept);

    struct Compiled;

private:
    std::shared_ptr<Compiled> CompiledFor(const std::string& path, const std::string& root,
                                          std::string& error);

    mutable std::mutex m_lock;
    std::map<std::string, std::shared_ptr<Compiled>> m_cache;
    unsigned long m_compiles = 0;
};
