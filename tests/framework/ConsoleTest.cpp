// Console lines from many threads (log facility, line printers and direct
// calls mixed) come out whole and unchanged, long ones included.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "framework/Console.h"

namespace {

TEST(Console, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 6;
    constexpr int kLines = 300;
    const std::string tail(3000, 'y');  // longer than one formatting buffer and a pipe write
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &tail] {
            Log log;
            for (int i = 0; i < kLines; ++i) {
                if (t % 2)
                    log.ShowMessage(i % 3, "thread %d line %d", t, i);
                else
                    Console::Print("thread %d line %d %s\n", t, i, i % 50 == 0 ? tail.c_str() : "x");
            }
        });
    }
    for (auto& th : threads) th.join();
    std::string out = testing::internal::GetCapturedStdout();

    std::map<int, int> nextLine;
    std::istringstream lines(out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        int t = -1, i = -1;
        const char* body = line.c_str();
        for (const char* prefix : {"Information: ", "Warning\t   : ", "Error      : "})
            if (line.rfind(prefix, 0) == 0) body += strlen(prefix);
        ASSERT_EQ(sscanf(body, "thread %d line %d", &t, &i), 2) << line.substr(0, 80);
        EXPECT_EQ(i, nextLine[t]) << "thread " << t << " out of order or torn";
        nextLine[t] = i + 1;
        if (t % 2 == 0) {
            std::string expect = "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                                 (i % 50 == 0 ? tail : "x");
            EXPECT_EQ(line, expect);
        }
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(Console, TextGoesOutAsFormatted) {
    testing::internal::CaptureStdout();
    Console::Print("m_instanceIDs %d\r\n", 7);
    Console::PrintLevel(Console::kError, "%s", "no line end");
    Console::Print("%s", "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "m_instanceIDs 7\r\nno line end");
}

}  // namespace
