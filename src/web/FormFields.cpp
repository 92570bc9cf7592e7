#include "web/FormFields.h"

#include "config/XmlText.h"
#include "web/LeafElement.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Above every port; reading stops growing here, so long texts can't overflow.
const int kPortClamp = 999999;

}  // namespace

int FormFieldIndex(const std::string& name, const std::string& prefix, int first, int last) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
    long value = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        int digit = HexDigit(name[i]);
        if (digit < 0) return -1;
        value = value * 16 + digit;
        if (value > last) return -1;  // also keeps long suffixes from overflowing
    }
    return value < first ? -1 : static_cast<int>(value);
}

bool PortFromDigits(const std::string& text, int& port) {
    if (text.empty()) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        if (value < kPortClamp) value = value * 10 + (c - '0');
    }
    port = value > kPortClamp ? kPortClamp : value;
    return true;
}

std::string SettingsNotSavedMessage(const std::string& reason) {
    return "The settings could not be saved (" + reason +
           "). They are kept and saved again with the next change.";
}

unsigned char LevelMaskFromFields(const std::map<std::string, std::string>& values) {
    unsigned char mask = 0;
    if (values.count("check_info")) mask |= 0x01;
    if (values.count("check_warn")) mask |= 0x02;
    if (values.count("check_error")) mask |= 0x04;
    return mask;
}

void AppendLevelLeaves(TiXmlElement* parent, unsigned char mask) {
    if (mask & 0x01) parent->LinkEndChild(new LeafElement("information", " Information"));
    if (mask & 0x02) parent->LinkEndChild(new LeafElement("warning", " Warning"));
    if (mask & 0x04) parent->LinkEndChild(new LeafElement("error", " Error"));
}

std::string UnstorableFieldMessage(const std::string& value, const char* label) {
    if (XmlText::IsValid(value)) return std::string();
    return std::string(label) + " holds a character that cannot be stored (a control character or "
                                "text that is not UTF-8).";
}
