// XmlText: which text XML 1.0 can carry (UTF-8 of its Char production: tab, line
// feed, carriage return, U+0020 to U+D7FF, U+E000 to U+FFFD, U+10000 up), so
// that every file and page we write can be read back by any XML reader.
// Static only, no state; safe from any thread (a document from its owner's).
#pragma once

#include <cstddef>
#include <string>

class TiXmlNode;

class XmlText {
public:
    // True when `text` is UTF-8 holding only characters XML 1.0 allows.
    static bool IsValid(const std::string& text);
    // `text` without its bytes that are not UTF-8 and its characters XML 1.0
    // does not allow; `dropped` (may be null) gets how many were dropped.
    static std::string Valid(const std::string& text, size_t* dropped = nullptr);

    // `text` as the settings files' reader (TinyXML, which condenses white
    // space) gives it back once written: without spaces at either end, a run
    // of spaces as one, and empty when it is nothing but white space. (Tabs and
    // line ends in a text are written as character references and come back.)
    // Store this, so that what is in memory is what the file holds.
    static std::string AsRead(const std::string& text);

    // Makes a whole document writable: drops such characters from texts and
    // attribute values, and removes elements, attributes, comments and other
    // nodes whose names or contents can't be written. Returns the number of
    // characters and nodes dropped; `firstPlace` (may be null) gets the element
    // path of the first, e.g. "root/Rcpt/recipient/szName". With `asRead`
    // (settings files) every text is also stored as AsRead gives it, and one
    // left empty is removed, so the document reads back the same once written.
    static size_t CleanDocument(TiXmlNode* node, std::string* firstPlace = nullptr, bool asRead = true);
};
