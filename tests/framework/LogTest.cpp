#include <gtest/gtest.h>

#include <thread>

#include "KvoLock.h"
#include "KvoSemaphore.h"
#include "Log.h"

namespace {

struct Capture : LogImp {
    std::string text;
    int level = -1;
    int ClearLog() override { return 1; }
    int LogMessage(int l, const char* t) override { level = l; text = t; return 1; }
    int ShowMessage(int l, const char* t) override { return LogMessage(l, t); }
};

TEST(Log, DefaultFormatsByLevel) {
    Log log;
    testing::internal::CaptureStdout();
    log.ShowMessage(0, "a %d", 1);
    log.ShowMessage(1, "b");
    log.ShowMessage(2, "c");
    log.ShowMessage(7, "d");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Information: a 1\nWarning\t   : b\nError      : c\nInformation: d\n");
}

TEST(Log, LongTextIsCutAndNullFormatIsEmpty) {
    Log log;
    Capture cap;
    log.SetLogImp(&cap);
    std::string big(3000, 'x');
    log.ShowMessage(2, "%s", big.c_str());
    EXPECT_EQ(cap.text.size(), 1023u);
    EXPECT_EQ(cap.level, 2);
    log.ShowMessage(0, nullptr);
    EXPECT_EQ(cap.text, "");
}

TEST(KvoLock, IsRecursive) {
    KvoLock lock;
    lock.lock();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
    lock.unlock();
    bool other = false;
    std::thread t([&] { other = lock.try_lock(); if (other) lock.unlock(); });
    t.join();
    EXPECT_TRUE(other);
}

TEST(KvoSemaphore, BoundedWaitAndPrivateSignals) {
    KvoSemaphore a("A"), b("B");
    EXPECT_FALSE(a.WaitingForSignal(2));
    b.Post();
    EXPECT_FALSE(a.WaitingForSignal(2));  // another object's post never counts
    EXPECT_TRUE(b.WaitingForSignal(0));
    std::thread t([&] { a.Post(); });
    EXPECT_TRUE(a.WaitingForSignal(10000));
    t.join();
}

}  // namespace
