#include "config/SettingsFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include <tinyxml.h>

#include "config/XmlText.h"

SettingsFile::LoadReport SettingsFile::Load(const std::string& path, TiXmlDocument& doc) {
    LoadReport report;
    if (stat(path.c_str(), &report.status) != 0) return report;
    // The XML reader cannot be trusted with a directory or a device.
    if (!S_ISREG(report.status.st_mode)) {
        report.outcome = NOT_REGULAR;
        return report;
    }
    if (doc.LoadFile(path.c_str())) {
        report.dropped = XmlText::CleanDocument(&doc, &report.droppedPlace);
        const TiXmlElement* top = doc.FirstChildElement();
        if (!top || top->ValueStr() == "root") {
            report.outcome = LOADED;
            return report;
        }
        // Not our document: a second top element "root" would make it no XML at all.
        report.error = "its top element is not root";
        report.errorRow = top->Row();
    } else {
        report.error = doc.ErrorDesc();
        report.errorRow = doc.ErrorRow();
    }
    // A failed parse may leave a partial tree behind; start from nothing.
    doc.Clear();
    doc.ClearError();
    // A file we may not read is not empty: a save must not replace it unseen.
    int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
        report.outcome = NO_ACCESS;
        return report;
    }
    close(probe);
    report.outcome = SettingsFileWriter::HoldsOnlyWhiteSpace(path) ? MISSING : UNREADABLE;
    return report;
}

TiXmlElement* SettingsFile::ChildCreating(TiXmlNode* parent, const std::string& name) {
    TiXmlElement* child = parent->FirstChildElement(name);
    if (child) return child;
    // The parent takes ownership of what it links.
    return parent->LinkEndChild(std::make_unique<TiXmlElement>(name).release())->ToElement();
}

bool SettingsFile::StoreText(TiXmlElement* element, const std::string& value) {
    if (element->FirstChildElement()) return false;
    // A hand-edited element may hold several texts around comments: all go.
    for (TiXmlNode* child = element->FirstChild(); child;) {
        TiXmlNode* next = child->NextSibling();
        if (child->ToText()) element->RemoveChild(child);
        child = next;
    }
    std::string stored = XmlText::AsRead(value);
    // An empty text is no text at all once read back.
    if (stored.empty()) return true;
    auto text = std::make_unique<TiXmlText>(stored);
    if (TiXmlNode* first = element->FirstChild())
        element->InsertBeforeChild(first, *text);
    else
        element->LinkEndChild(text.release());
    return true;
}

const char* SettingsFile::TextOf(const TiXmlElement* element) {
    for (const TiXmlNode* child = element ? element->FirstChild() : nullptr; child; child = child->NextSibling())
        if (child->ToText()) return child->Value();
    return "";
}
