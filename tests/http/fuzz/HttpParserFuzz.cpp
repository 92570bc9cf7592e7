// libFuzzer target: HttpParser::Parse and both URLDecode forms on arbitrary
// bytes. Built by build.sh with clang, AddressSanitizer and UBSan.
#include <cstdio>
#include <cstdlib>

#include "ParserFuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string problem = kvofuzz::CheckInput(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "property broken: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
