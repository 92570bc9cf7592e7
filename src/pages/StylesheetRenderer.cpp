#include "pages/StylesheetRenderer.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tinyxml.h>

#include <libxml/parser.h>
#include <libxml/xmlIO.h>
#include <libxslt/documents.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include "config/SettingsFileWriter.h"
#include "framework/Text.h"
#include "http/HttpResponsor.h"

namespace {

const size_t kMaxErrorText = 2000;

// What the transform running on this thread may touch. libxml2 and libxslt
// call back into plain functions, so the scope travels in a thread_local.
struct RenderScope {
    std::string root;                 // real path of the web root, ending in "/"
    std::string* errors = nullptr;
    std::vector<std::string>* loaded = nullptr;  // stylesheet files read, in order
};
thread_local RenderScope* g_scope = nullptr;

class ScopeGuard {
public:
    explicit ScopeGuard(RenderScope& scope) : m_previous(g_scope) { g_scope = &scope; }
    ~ScopeGuard() { g_scope = m_previous; }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;

private:
    RenderScope* m_previous;
};

xsltDocLoaderFunc g_originalLoader = nullptr;
xmlExternalEntityLoader g_originalEntityLoader = nullptr;
xsltSecurityPrefsPtr g_prefs = nullptr;

void CollectError(void*, const char* format, ...) {
    if (!g_scope || !g_scope->errors || g_scope->errors->size() > kMaxErrorText) return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_scope->errors->append(text);
}

void CollectStructuredError(void*, xmlErrorPtr error) {
    if (error && error->message) CollectError(nullptr, "%s", error->message);
}

bool HasScheme(const std::string& url) {
    size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
        unsigned char c = static_cast<unsigned char>(url[i]);
        if (!std::isalnum(c) && c != '+' && c != '.' && c != '-') return false;
    }
    return true;
}

// The real path of `url` when it names a file under the scope's root, else "".
// Only plain paths and file: URLs qualify; every other scheme is network.
std::string ResolveInsideRoot(const char* url) {
    if (!g_scope || !url) return "";
    std::string path = url;
    if (path.compare(0, 16, "file://localhost") == 0) path.erase(0, 16);
    else if (path.compare(0, 7, "file://") == 0) path.erase(0, 7);
    else if (path.compare(0, 5, "file:") == 0) path.erase(0, 5);
    if (path.empty() || HasScheme(path)) return "";
    char real[PATH_MAX];
    if (!realpath(path.c_str(), real)) return "";
    std::string resolved = real;
    if (resolved.compare(0, g_scope->root.size(), g_scope->root) != 0) return "";
    return resolved;
}

// Security preference for reading: only files under the web root.
int CheckRead(xsltSecurityPrefsPtr, xsltTransformContextPtr, const char* value) {
    if (!g_scope) return 0;
    return ResolveInsideRoot(value).empty() ? 0 : 1;
}

// Every stylesheet, include, import and document() goes through here: the file
// must lie under the web root, and is parsed without network, DTDs or
// external entities.
xmlDocPtr GuardedLoader(const xmlChar* uri, xmlDictPtr dict, int options, void* ctxt,
                        xsltLoadType type) {
    if (!g_scope) return g_originalLoader(uri, dict, options, ctxt, type);
    std::string path = ResolveInsideRoot(reinterpret_cast<const char*>(uri));
    if (path.empty()) {
        CollectError(nullptr, "refused to read %s: outside the web root\n",
                     uri ? reinterpret_cast<const char*>(uri) : "(none)");
        return nullptr;
    }
    options &= ~(XML_PARSE_NOENT | XML_PARSE_DTDLOAD | XML_PARSE_DTDATTR | XML_PARSE_DTDVALID |
                 XML_PARSE_XINCLUDE);
    options |= XML_PARSE_NONET;
    if (g_scope->loaded && type != XSLT_LOAD_DOCUMENT) g_scope->loaded->push_back(path);
    return g_originalLoader(reinterpret_cast<const xmlChar*>(path.c_str()), dict, options, ctxt,
                            type);
}

// External entities and DTDs: files under the web root only, while rendering.
xmlParserInputPtr GuardedEntityLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
    if (!g_scope) return g_originalEntityLoader(url, id, ctxt);
    std::string path = ResolveInsideRoot(url);
    if (path.empty()) {
        CollectError(nullptr, "refused to load %s: outside the web root\n", url ? url : "(none)");
        return nullptr;
    }
    return g_originalEntityLoader(path.c_str(), id, ctxt);
}

// Process-wide libxml2/libxslt set-up, once.
void SetUpLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        g_originalLoader = xsltDocDefaultLoader;
        xsltSetLoaderFunc(GuardedLoader);
        g_originalEntityLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(GuardedEntityLoader);
        g_prefs = xsltNewSecurityPrefs();
        xsltSetSecurityPrefs(g_prefs, XSLT_SECPREF_READ_FILE, CheckRead);
        xsltSetSecurityPrefs(g_prefs, XSLT_SECPREF_WRITE_FILE, xsltSecurityForbid);
        xsltSetSecurityPrefs(g_prefs, XSLT_SECPREF_CREATE_DIRECTORY, xsltSecurityForbid);
        xsltSetSecurityPrefs(g_prefs, XSLT_SECPREF_READ_NETWORK, xsltSecurityForbid);
        xsltSetSecurityPrefs(g_prefs, XSLT_SECPREF_WRITE_NETWORK, xsltSecurityForbid);
        // Includes and imports are checked against the default preferences.
        xsltSetDefaultSecurityPrefs(g_prefs);
        xsltSetGenericErrorFunc(nullptr, CollectError);
    });
}

// libxml2 keeps its error handlers per thread.
void RouteErrorsOfThisThread() {
    xmlSetGenericErrorFunc(nullptr, CollectError);
    xmlSetStructuredErrorFunc(nullptr, CollectStructuredError);
}

struct FileStamp {
    std::string path;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
};

bool Stamp(const std::string& path, FileStamp& stamp) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    stamp.path = path;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtime = st.st_mtim;
    stamp.ctime = st.st_ctim;
    return true;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool Unchanged(const FileStamp& old) {
    FileStamp now;
    return Stamp(old.path, now) && now.inode == old.inode && now.size == old.size &&
           SameTime(now.mtime, old.mtime) && SameTime(now.ctime, old.ctime);
}

std::string RealFolder(const std::string& folder) {
    char real[PATH_MAX];
    if (!realpath(folder.c_str(), real)) return "";
    std::string resolved = real;
    if (resolved.empty() || resolved.back() != '/') resolved += '/';
    return resolved;
}

bool StartsWithDoctype(const std::string& html) {
    size_t start = html.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || html.size() - start < 9) return false;
    const char* word = "<!doctype";
    for (size_t i = 0; i < 9; ++i)
        if (std::tolower(static_cast<unsigned char>(html[start + i])) != word[i]) return false;
    return true;
}

// libxml2 and libxslt report in several lines; one console line reads better.
std::string Trimmed(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c != '\n') line += c;
        else if (!line.empty() && line.back() != ' ') line += "; ";
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == ';')) line.pop_back();
    return line;
}

}  // namespace

struct StylesheetRenderer::Compiled {
    ~Compiled() {
        if (style) xsltFreeStylesheet(style);
    }
    bool Current() const {
        for (const auto& file : files)
            if (!Unchanged(file)) return false;
        return !files.empty();
    }

    xsltStylesheetPtr style = nullptr;
    std::vector<FileStamp> files;  // the stylesheet and everything it included
};

StylesheetRenderer::StylesheetRenderer() { SetUpLibraries(); }

StylesheetRenderer::~StylesheetRenderer() = default;

unsigned long StylesheetRenderer::CompileCount() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_compiles;
}

bool StylesheetRenderer::AcceptsHtml(const std::string& accept) {
    size_t pos = 0;
    while (pos <= accept.size()) {
        size_t end = accept.find(',', pos);
        if (end == std::string::npos) end = accept.size();
        std::string range = accept.substr(pos, end - pos);
        pos = end + 1;
        size_t semicolon = range.find(';');
        std::string type = Text::Lower(Text::Trim(range.substr(0, semicolon), " \t"));
        if (type != "text/html") continue;
        // "q=0" (or 0.0...) means the client refuses it.
        std::string params = semicolon == std::string::npos ? "" : range.substr(semicolon);
        size_t q = params.find("q=");
        if (q != std::string::npos && std::strtod(params.c_str() + q + 2, nullptr) <= 0.0) continue;
        return true;
    }
    return false;
}

std::shared_ptr<StylesheetRenderer::Compiled> StylesheetRenderer::CompiledFor(
    const std::string& path, const std::string& root, std::string& error) {
    std::string key = root + '\n' + path;
    auto it = m_cache.find(key);
    if (it != m_cache.end() && it->second->Current()) return it->second;
    if (it != m_cache.end()) m_cache.erase(it);

    auto compiled = std::make_shared<Compiled>();
    std::vector<std::string> loaded;
    RenderScope scope;
    scope.root = root;
    scope.errors = &error;
    scope.loaded = &loaded;
    {
        ScopeGuard active(scope);
        RouteErrorsOfThisThread();
        ++m_compiles;
        compiled->style = xsltParseStylesheetFile(reinterpret_cast<const xmlChar*>(path.c_str()));
    }
    if (!compiled->style || compiled->style->errors > 0) {
        if (error.empty()) error = "the stylesheet " + path + " could not be compiled";
        return nullptr;
    }
    for (const auto& file : loaded) {
        FileStamp stamp;
        if (Stamp(file, stamp)) compiled->files.push_back(stamp);
    }
    m_cache[key] = compiled;
    return compiled;
}

bool StylesheetRenderer::RenderDocument(const TiXmlDocument& doc, const std::string& webRoot,
                                        std::string& html, std::string& error) {
    html.clear();
    error.clear();
    const TiXmlElement* instruction = doc.FirstChildElement("xml-stylesheet");
    const char* href = instruction ? instruction->Attribute("href") : nullptr;
    if (!href || !*href) return false;
    if (HttpResponsor::HasParentSegment(href)) {
        error = std::string("the stylesheet ") + href + " lies outside xsl/";
        return false;
    }
    std::string text;
    if (!SettingsFileWriter::Render(doc, text) || text.empty()) {
        error = "the page document could not be printed";
        return false;
    }
    return Render(text, webRoot, href, html, error);
}

bool StylesheetRenderer::Render(const std::string& page, const std::string& webRoot,
                                const std::string& href, std::string& html, std::string& error) {
    html.clear();
    error.clear();
    std::string root = RealFolder(webRoot);
    if (root.empty()) {
        error = "no web root at " + webRoot;
        return false;
    }
    std::string path = root + "xsl/" + href;

    std::lock_guard<std::mutex> hold(m_lock);
    std::shared_ptr<Compiled> compiled = CompiledFor(path, root, error);
    if (!compiled) {
        error = Trimmed(error);
        return false;
    }

    RenderScope scope;
    scope.root = root;
    scope.errors = &error;
    ScopeGuard active(scope);
    RouteErrorsOfThisThread();

    std::string base = root + "xsl/page.xml";
    xmlDocPtr doc = xmlReadMemory(page.data(), static_cast<int>(page.size()), base.c_str(), nullptr,
                                  XML_PARSE_NONET);
    if (!doc) {
        error = "the page document is not well-formed: " + Trimmed(error);
        return false;
    }
    xsltTransformContextPtr context = xsltNewTransformContext(compiled->style, doc);
    if (!context) {
        xmlFreeDoc(doc);
        error = "no transform context";
        return false;
    }
    xsltSetCtxtSecurityPrefs(g_prefs, context);
    xsltSetTransformErrorFunc(context, nullptr, CollectError);
    xmlDocPtr result =
        xsltApplyStylesheetUser(compiled->style, doc, nullptr, nullptr, nullptr, context);
    bool failed = !result || context->state == XSLT_STATE_ERROR ||
                  context->state == XSLT_STATE_STOPPED;
    xsltFreeTransformContext(context);

    if (!failed) {
        xmlChar* text = nullptr;
        int length = 0;
        if (xsltSaveResultToString(&text, &length, result, compiled->style) == 0 && text) {
            html.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
        } else {
            failed = true;
        }
        if (text) xmlFree(text);
    }
    if (result) xmlFreeDoc(result);
    xmlFreeDoc(doc);
    if (failed || html.empty()) {
        html.clear();
        error = Trimmed(error.empty() ? "the transform gave no result" : error);
        return false;
    }
    if (!StartsWithDoctype(html)) html.insert(0, "<!DOCTYPE html>\n");
    error.clear();
    return true;
}
