#include "pages/PageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <tinyxml.h>

#include "http/HttpResponsor.h"

PageFile::~PageFile() { Remove(); }

std::string PageFile::NameTemplate(const std::string& fileName, int& suffixLength) {
    std::string base = fileName.empty() ? std::string("page.xml") : fileName;
    size_t slash = base.rfind('/');
    size_t dot = base.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == 0) {
        suffixLength = 0;
        return base + "-XXXXXX";
    }
    suffixLength = static_cast<int>(base.size() - dot);
    return base.substr(0, dot) + "-XXXXXX" + base.substr(dot);
}

namespace {

// The working directory, as before, unless it is "/" (a daemon): page files
// never go there. Then, or when the working directory can't take the file,
// the service's own folder.
std::vector<std::string> PageFolders() {
    std::vector<std::string> folders;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || std::string(cwd) != "/") folders.emplace_back();
    std::string own = HttpResponsor::ServiceFolder();
    if (!own.empty() && own != "/") folders.push_back(own);
    return folders;
}

}  // namespace

bool PageFile::Write(const TiXmlDocument& doc, const std::string& fileName) {
    Remove();
    for (const std::string& folder : PageFolders()) {
        if (WriteIn(folder, doc, fileName)) return true;
    }
    return false;
}

bool PageFile::WriteIn(const std::string& folder, const TiXmlDocument& doc,
                       const std::string& fileName) {
    int suffixLength = 0;
    std::string name = folder + NameTemplate(fileName, suffixLength);
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');

    // mkstemps opens with O_CREAT|O_EXCL: an existing name, symbolic links
    // included, is never opened; a fresh name is chosen instead.
    int fd = mkstemps(buffer.data(), suffixLength);
    if (fd < 0) return false;
    m_path = buffer.data();
    // Readable like the shipped files, so a service running under another
    // account's umask still serves it.
    fchmod(fd, 0644);

    FILE* out = fdopen(fd, "w");
    if (!out) {
        close(fd);
        Remove();
        return false;
    }
    bool written = doc.SaveFile(out);
    written = (fflush(out) == 0) && written;
    written = (fclose(out) == 0) && written;
    if (!written) Remove();
    return written;
}

void PageFile::Remove() {
    if (m_path.empty()) return;
    unlink(m_path.c_str());
    m_path.clear();
}
