#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "fuzz/ParserFuzzChecks.h"

namespace {

// Replays the fuzz target's seed corpus through the same properties it checks.
TEST(HttpParserCorpus, EverySeedKeepsTheParserProperties) {
    std::filesystem::path dir = std::filesystem::path(KVO_SOURCE_DIR) / "tests/http/fuzz/corpus/http_parser";
    int seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::string bytes = kvotest::ReadFileText(entry.path().string());
        std::string problem =
            kvofuzz::CheckInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(problem, "") << entry.path().filename();
        ++seeds;
    }
    EXPECT_GE(seeds, 15);
}

}  // namespace
