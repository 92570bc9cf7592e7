// Strict reading of the management pages' form fields: which controller or
// receiver a field names, port numbers, and the page text for a failed save of
// the settings file. Free functions without state; any thread.
#pragma once

#include <initializer_list>
#include <map>
#include <string>

class HttpParser;
class TiXmlElement;

// The index that `name` carries when it is exactly `prefix` followed by
// hexadecimal digits whose value lies in first..last; -1 otherwise (no digits,
// other characters, a second "_" index, or a value out of range).
int FormFieldIndex(const std::string& name, const std::string& prefix, int first, int last);

// True when `text` is one or more decimal digits and nothing else; `port` then
// gets the value, clamped to 999999 so that it stays out of every port range.
bool PortFromDigits(const std::string& text, int& port);

// Empty when `value` can be stored in a settings file (UTF-8 of characters XML
// 1.0 allows), else the page message naming the field by `label`.
std::string UnstorableFieldMessage(const std::string& value, const char* label);

// The error message a page shows when the settings file could not be saved.
std::string SettingsNotSavedMessage(const std::string& reason);

// Event level mask from the presence of check_info (0x01), check_warn (0x02)
// and check_error (0x04), whatever their values.
unsigned char LevelMaskFromFields(const std::map<std::string, std::string>& values);

// Appends "information", "warning" and "error" (texts " Information",
// " Warning", " Error") to `parent` for the bits set in `mask`, in that order.
void AppendLevelLeaves(TiXmlElement* parent, unsigned char mask);

// Message code of an information message on a page ("info"; 0 is "warn").
const int kPageMessageInfo = 2;

// True for an address that can be delivered to as typed: at most 127
// characters, no spaces or control characters, exactly one "@" with text on
// both sides.
bool IsMailAddress(const std::string& text);

// The value of form field `name` decoded as sent, "<" and ">" included (the
// parser drops them from its values); the body's wins over the query's. False
// when the request has no such field.
bool RawFormValue(const HttpParser& parser, const std::string& name, std::string& value);

// "typed" with the fields of a refused form (name attribute `form`), so the page
// can show what was typed; fields named in `skip` (a password) are left out.
TiXmlElement* TypedFieldsElement(const HttpParser& parser, const char* form,
                                 std::initializer_list<const char*> skip = {});

// Case-insensitive comparison of two addresses (ASCII letters only).
bool SameMailAddress(const std::string& a, const std::string& b);
