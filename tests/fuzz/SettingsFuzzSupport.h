// What the settings-file harnesses share: a scratch directory on tmpfs where
// there is one (saves sync every file), a quiet log, and the checks every file
// we write must pass: libxml2 reads it, and TinyXML reads it back to the same
// document (printing what it read gives the same text again).
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <libxml/parser.h>
#include <tinyxml.h>

#include "LogImp.h"
#include "config/SettingsFileWriter.h"
#include "fuzz/FuzzInput.h"

namespace kvofuzz {

class QuietLog : public LogImp {
public:
    int ClearLog() override { return 0; }
    int LogMessage(int, const char*) override { return 0; }
    int ShowMessage(int, const char*) override { return 0; }
};

// Made once per process and removed at its end (a plain array: it outlives
// every destructor that runs before the exit handler).
inline std::string ScratchDir() {
    static char dir[64] = {};
    if (!dir[0]) {
        std::snprintf(dir, sizeof dir, "%s/kvo-fuzz-XXXXXX", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (!mkdtemp(dir)) Broken("no scratch directory");
        std::atexit([] { rmdir(dir); });
    }
    return dir;
}

// Removes every file of the scratch directory (set-aside copies included).
inline void EmptyScratch() {
    DIR* dir = opendir(ScratchDir().c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") unlink((ScratchDir() + "/" + name).c_str());
    }
    closedir(dir);
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) Broken("cannot write the scratch file");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
}

inline std::string ReadFile(const std::string& path) {
    std::string bytes;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return bytes;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
    std::fclose(in);
    return bytes;
}

inline bool LibxmlReads(const std::string& text) {
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "settings.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) return false;
    xmlFreeDoc(doc);
    return true;
}

// A file the service wrote: any XML reader takes it, and our own reads it
// back to what was written.
inline void CheckWrittenFile(const std::string& path) {
    std::string written = ReadFile(path);
    if (written.empty()) return;
    if (!LibxmlReads(written)) {
        std::fprintf(stderr, "written:\n%s\n", written.c_str());
        Broken("a written settings file is not well-formed XML 1.0");
    }
    TiXmlDocument again;
    Expect(again.LoadFile(path.c_str()), "a written settings file does not load again");
    std::string printed;
    Expect(SettingsFileWriter::Render(again, printed), "cannot print the loaded file");
    if (printed != written) {
        std::fprintf(stderr, "written:\n%s\nread back:\n%s\n", written.c_str(), printed.c_str());
        Broken("a written settings file reads back differently");
    }
}

}  // namespace kvofuzz
