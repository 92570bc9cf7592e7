// Harness: Base64 both ways in buffers of exactly the documented size. Any
// bytes encode and decode back with a capacity of exactly their length; text
// that decodes is canonical (encoding the bytes again gives it back, white
// space aside); a decode never exceeds its capacity.
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "mail/Base64.h"

using namespace kvofuzz;

namespace {

std::string Encode(const std::string& bytes) {
    std::vector<char> out(4 * ((bytes.size() + 2) / 3) + 1);
    int n = Base64::Base64Encode(out.data(), bytes.data(), static_cast<int>(bytes.size()));
    Expect(n >= 0 && static_cast<size_t>(n) + 1 == out.size(), "encoded length");
    Expect(out[static_cast<size_t>(n)] == '\0', "encoded text without NUL");
    return std::string(out.data(), static_cast<size_t>(n));
}

// -1, or the bytes in `bytes`.
int Decode(const std::string& text, size_t capacity, std::string* bytes) {
    std::vector<char> out(capacity + 1, 'X');
    int n = Base64::Base64Decode(out.data(), text.c_str(), capacity);
    if (n < 0) return n;
    Expect(static_cast<size_t>(n) <= capacity, "decoded past the capacity");
    Expect(out[static_cast<size_t>(n)] == '\0', "decoded bytes without NUL");
    bytes->assign(out.data(), static_cast<size_t>(n));
    return n;
}

std::string WithoutSpace(const std::string& text) {
    std::string out;
    for (char ch : text)
        if (ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n' && ch != '\v' && ch != '\f') out += ch;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    size_t capacity = input.Byte();
    std::string rest = input.Rest();

    std::string bytes;
    std::string back;
    Expect(Decode(Encode(rest), rest.size(), &back) == static_cast<int>(rest.size()) && back == rest,
           "bytes did not come back at exactly their length");

    std::string text(rest.c_str());  // the decoder reads up to the NUL
    if (Decode(text, capacity, &bytes) >= 0) {
        Expect(Encode(bytes) == WithoutSpace(text), "decoded text is not canonical");
        if (!bytes.empty())
            Expect(Decode(text, bytes.size() - 1, &back) < 0, "decoded into less than it needs");
    }
    return 0;
}
