// PageFile: the file a page document is sent from. It is created fresh in the
// working directory (never "/": then in the service's own folder) under a private name that keeps the document's name and
// extension ("controllers-Ab12Cd.xml"), so a file or symbolic link planted
// under the document's fixed name is never followed or overwritten, and two
// responders never share a file. The destructor removes the file, whatever
// happened to the response. Owned by the one request that builds the page.
#pragma once

#include <string>

class TiXmlDocument;

class PageFile {
public:
    PageFile() = default;
    ~PageFile();
    PageFile(const PageFile&) = delete;
    PageFile& operator=(const PageFile&) = delete;

    // Prints `doc` (through its nodes' own Print, so custom nodes keep their
    // form) into a new file named after `fileName`. False when the file can't
    // be created or written; nothing is left behind then.
    bool Write(const TiXmlDocument& doc, const std::string& fileName);

    // The written file; empty before a successful Write.
    const std::string& Path() const { return m_path; }

    // The private-name pattern for `fileName`: stem, "-XXXXXX", extension.
    static std::string NameTemplate(const std::string& fileName, int& suffixLength);

private:
    bool WriteIn(const std::string& folder, const TiXmlDocument& doc, const std::string& fileName);
    void Remove();

    std::string m_path;
};
