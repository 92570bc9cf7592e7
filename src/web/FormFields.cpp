#include "web/FormFields.h"

#include <cctype>

#include "web/HttpParser.h"
#include "config/EventLevels.h"
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

const size_t kMailAddressLimit = 127;

// URL decoding as the parser does it, but keeping every byte: "+" is a space,
// "%hh" the byte, a "%" without two hex digits is dropped, a NUL ends the text.
std::string DecodeKeepingAll(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c != '%') {
            out += c;
        } else if (i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            char byte = static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            if (byte == '\0') break;
            out += byte;
            i += 2;
        }
    }
    return out;
}

// The last item named `name` in "a=1&b=2" text.
bool FindRawField(const std::string& data, const std::string& name, std::string& value) {
    bool found = false;
    size_t pos = 0;
    while (pos <= data.size()) {
        size_t end = data.find('&', pos);
        if (end == std::string::npos) end = data.size();
        std::string item = data.substr(pos, end - pos);
        size_t eq = item.find('=');
        if (eq != std::string::npos && DecodeKeepingAll(item.substr(0, eq)) == name) {
            value = DecodeKeepingAll(item.substr(eq + 1));
            found = true;
        }
        pos = end + 1;
    }
    return found;
}

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
    for (const auto& level : EventLevels::kLevels)
        if (values.count(level.field)) mask |= level.bit;
    return mask;
}

void AppendLevelLeaves(TiXmlElement* parent, unsigned char mask) {
    for (const auto& level : EventLevels::kLevels)
        if (mask & level.bit)
            parent->LinkEndChild(new LeafElement(level.element, (std::string(" ") + level.title).c_str()));
}

bool IsMailAddress(const std::string& text) {
    if (text.empty() || text.size() > kMailAddressLimit) return false;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f) return false;
    }
    size_t at = text.find('@');
    return at != std::string::npos && at > 0 && at + 1 < text.size() &&
           text.find('@', at + 1) == std::string::npos;
}

bool RawFormValue(const HttpParser& parser, const std::string& name, std::string& value) {
    bool found = false;
    if (parser.m_method == HttpParser::METHOD_GET) {
        size_t query = parser.m_uri.find('?');
        if (query != std::string::npos) found = FindRawField(parser.m_uri.substr(query + 1), name, value);
    }
    if (parser.m_method == HttpParser::METHOD_POST) found = FindRawField(parser.m_body, name, value) || found;
    // A field the raw text does not show (a query on a POST): the parser's value.
    return found || parser.GetValue(name, value);
}

TiXmlElement* TypedFieldsElement(const HttpParser& parser, const char* form,
                                 std::initializer_list<const char*> skip) {
    auto* typed = new TiXmlElement("typed");
    typed->SetAttribute("form", form);
    for (const auto& field : parser.m_values) {
        bool skipped = field.first == "func";
        for (const char* name : skip) skipped = skipped || field.first == name;
        if (skipped) continue;
        // Control characters can't be written into the page: they are left out.
        std::string shown;
        for (char c : field.second)
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') shown += c;
        auto* element = new LeafElement("field", shown.c_str());
        element->SetAttribute("name", field.first.c_str());
        typed->LinkEndChild(element);
    }
    return typed;
}

bool SameMailAddress(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string UnstorableFieldMessage(const std::string& value, const char* label) {
    if (XmlText::IsValid(value)) return std::string();
    return std::string(label) + " holds a character that cannot be stored (a control character or "
                                "text that is not UTF-8).";
}
