// SettingsFile: what both XML settings files share: reading one into a document
// (regular files only, text XML 1.0 forbids dropped, a foreign top element
// refused), setting an unreadable one aside, saving, and the element and text
// rules every setting is stored by. Each settings store owns one and calls it
// under its own lock; the static helpers work on the caller's document only.
#pragma once

#include <sys/stat.h>

#include <string>

#include "config/SettingsFileWriter.h"

class Log;
class TiXmlDocument;
class TiXmlElement;
class TiXmlNode;

class SettingsFile {
public:
    enum Outcome {
        LOADED,       // parsed, top element "root" or none
        MISSING,      // not there, or empty or blank: nothing worth keeping
        NOT_REGULAR,  // a directory or a device: never handed to the reader
        NO_ACCESS,    // there, but it may not be read
        UNREADABLE,   // not XML, or another top element
    };
    struct LoadReport {
        Outcome outcome = MISSING;
        std::string error;  // why it is unreadable, e.g. "its top element is not root"
        int errorRow = 0;
        size_t dropped = 0;        // characters or entries XML 1.0 does not allow
        std::string droppedPlace;  // element path of the first of them
        struct stat status {};     // of the file, when it exists
    };

    // `log` (not owned) gets the writer's warnings; `newFileMode` is the mode
    // of a file created by a save.
    SettingsFile(Log& log, mode_t newFileMode) : m_writer(log, newFileMode) {}

    // Reads `path` into `doc`; anything but LOADED leaves `doc` without children.
    static LoadReport Load(const std::string& path, TiXmlDocument& doc);

    // The document as it would be written; false when it cannot be printed.
    static bool Render(const TiXmlDocument& doc, std::string& content) {
        return SettingsFileWriter::Render(doc, content);
    }
    bool Save(const std::string& path, const std::string& content, std::string& error) {
        return m_writer.Save(path, content, error);
    }
    bool SetAside(const std::string& path, std::string& error, std::string* keptAs = nullptr) {
        return m_writer.SetAside(path, error, keptAs);
    }

    // The first child element `name` of `parent`, linked in at the end when missing.
    static TiXmlElement* ChildCreating(TiXmlNode* parent, const std::string& name);
    // Makes `value` (as the file reads it back) the one text of `element`, in
    // front of any comment a hand-edit left, so that it is what is read.
    // False, nothing changed, when the element holds elements: their names
    // would be lost.
    static bool StoreText(TiXmlElement* element, const std::string& value);
    // The text a setting holds: its first text child; "" when it has none.
    static const char* TextOf(const TiXmlElement* element);

private:
    SettingsFileWriter m_writer;
};
