// Trap sender against plain UDP listeners on 127.0.0.1: the datagrams are decoded
// byte for byte, so the exact message layout and every filtering rule are checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "TrapListener.h"
#include "notify/KvoSnmpTrap.h"

namespace {

using kvotest::DecodedTrap;
using kvotest::TrapListener;

const char* const kSysUpTime = "1.3.6.1.2.1.1.3.0";
const char* const kSnmpTrapOid = "1.3.6.1.6.3.1.1.4.1.0";
const char* const kSysDescr = "1.3.6.1.2.1.1.1.0";
const char* const kEventTrap = "1.3.6.1.4.1.47321.1.1.0.1";

// Age of this process in hundredths of a second, from the kernel's own books.
double ProcessAgeCentis() {
    std::ifstream stat("/proc/self/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    for (int i = 3; i < 22; ++i) rest >> field;  // fields 3..21
    unsigned long long startTicks = 0;
    rest >> startTicks;
    double uptime = 0;
    std::ifstream("/proc/uptime") >> uptime;
    return (uptime - static_cast<double>(startTicks) / sysconf(_SC_CLK_TCK)) * 100.0;
}

// Sends `marker` at error level to receiver 1 only, pointed at `listener`, and
// expects it to be the next datagram there: whatever was sent before it did not
// reach the listener.
void ExpectNothingBeforeMarker(KvoSnmpTrap& trap, TrapListener& listener) {
    testing::internal::CaptureStdout();
    for (int r = 1; r <= 3; ++r) trap.SetTrapTarget(r, "", 0, nullptr);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(trap.SetTrapTarget(1, "127.0.0.1", listener.port(), nullptr), 0);
    trap.SetTrapLevel(0x04);
    trap.SendTextTrap('E', "marker");
    auto got = listener.Receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->Text(), "marker");
}

class KvoSnmpTrapTest : public ::testing::Test {
protected:
    // Quiet set-up: the invalid-address lines are checked where they matter.
    void SetReceiver(int n, TrapListener& l, const char* community = nullptr) {
        ASSERT_EQ(trap.SetTrapTarget(n, "127.0.0.1", l.port(), community), 0);
    }
    void ClearReceiver(int n) {
        testing::internal::CaptureStdout();
        trap.SetTrapTarget(n, "", 0, nullptr);
        testing::internal::GetCapturedStdout();
    }

    KvoSnmpTrap trap;
    TrapListener a, b, c;
};

TEST_F(KvoSnmpTrapTest, TrapCarriesUptimeTrapOidAndTextInThatOrder) {
    SetReceiver(1, a);
    trap.SetTrapLevel(0x07);
    const std::string text = "At 2026-12-07 21:05:09 Controller 1:\r\n Volume 'vol0' degraded";
    trap.SendTextTrap('E', text.c_str());

    auto got = a.Receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->version, 1);  // SNMPv2c
    EXPECT_EQ(got->community, "public");
    EXPECT_EQ(got->pduType, 0xA7);  // SNMPv2-Trap-PDU
    EXPECT_EQ(got->errorStatus, 0);
    EXPECT_EQ(got->errorIndex, 0);
    ASSERT_EQ(got->varbinds.size(), 3u);
    EXPECT_EQ(got->varbinds[0].oid, kSysUpTime);
    EXPECT_EQ(got->varbinds[0].type, 0x43);  // TimeTicks
    EXPECT_EQ(got->varbinds[1].oid, kSnmpTrapOid);
    EXPECT_EQ(got->varbinds[1].type, 0x06);
    EXPECT_EQ(got->varbinds[1].oidValue, kEventTrap);
    EXPECT_EQ(got->varbinds[2].oid, kSysDescr);
    EXPECT_EQ(got->varbinds[2].type, 0x04);
    EXPECT_EQ(got->varbinds[2].octets, text);
}

TEST_F(KvoSnmpTrapTest, UptimeIsTheServiceOwnAndAdvances) {
    SetReceiver(1, a);
    trap.SetTrapLevel(0x01);
    trap.SendTextTrap('I', "first");
    auto first = a.Receive();
    ASSERT_TRUE(first.has_value());
    auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(kvotest::WaitUntil([&] {
        return std::chrono::steady_clock::now() - before >= std::chrono::milliseconds(300);
    }));
    trap.SendTextTrap('I', "second");
    auto second = a.Receive();
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(second->varbinds.size(), 3u);

    uint64_t t1 = first->varbinds[0].number;
    uint64_t t2 = second->varbinds[0].number;
    EXPECT_GE(t2 - t1, 25u);
    EXPECT_LE(t2 - t1, 1000u);
    // Not the host's uptime: never more than this process has been alive.
    EXPECT_LE(static_cast<double>(t2), ProcessAgeCentis() + 100.0);
    EXPECT_NE(first->requestId, second->requestId);
}

TEST_F(KvoSnmpTrapTest, GivenCommunityReplacesPublic) {
    SetReceiver(1, a, "s3cret");
    SetReceiver(2, b);
    trap.SetTrapLevel(0x02);
    trap.SendTextTrap('W', "warn");
    auto got1 = a.Receive();
    auto got2 = b.Receive();
    ASSERT_TRUE(got1 && got2);
    EXPECT_EQ(got1->community, "s3cret");
    EXPECT_EQ(got2->community, "public");
}

TEST_F(KvoSnmpTrapTest, ErrorMaskSendsErrorsToEveryReceiverButNoWarnings) {
    SetReceiver(1, a);
    SetReceiver(2, b);
    SetReceiver(3, c);
    trap.SetTrapLevel(0x04);
    trap.SendTextTrap('W', "a warning");
    trap.SendTextTrap('I', "an information");
    trap.SendTextTrap('E', "an error");
    for (TrapListener* l : {&a, &b, &c}) {
        auto got = l->Receive();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->Text(), "an error");  // nothing filtered arrived before it
    }
}

TEST_F(KvoSnmpTrapTest, EachLevelFollowsItsOwnMaskBit) {
    SetReceiver(1, a);
    const struct { int level; unsigned char bit; } table[] = {{'I', 0x01}, {'W', 0x02}, {'E', 0x04}};
    for (const auto& row : table) {
        trap.SetTrapLevel(static_cast<unsigned char>(0x07 & ~row.bit));
        trap.SendTextTrap(row.level, "masked out");
        trap.SetTrapLevel(row.bit);
        trap.SendTextTrap(row.level, "let through");
        auto got = a.Receive();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->Text(), "let through") << "level " << row.level;
    }
}

TEST_F(KvoSnmpTrapTest, UnknownLevelsAreNeverSent) {
    SetReceiver(1, a);
    trap.SetTrapLevel(0xFF);
    for (int level : {65, 0, -1, int('i'), int('w'), int('e'), 0x149}) trap.SendTextTrap(level, "unknown");
    ExpectNothingBeforeMarker(trap, a);
}

TEST_F(KvoSnmpTrapTest, ReceiverNumbersOutsideOneToThreeChangeNothing) {
    SetReceiver(1, a);
    testing::internal::CaptureStdout();
    EXPECT_EQ(trap.SetTrapTarget(4, "127.0.0.1", b.port(), nullptr), 0);
    EXPECT_EQ(trap.SetTrapTarget(0, "127.0.0.1", b.port(), nullptr), 0);
    EXPECT_EQ(trap.SetTrapTarget(-1, "not an address", 162, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    trap.SetTrapLevel(0x04);
    trap.SendTextTrap('E', "one");
    auto got = a.Receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->Text(), "one");
    ExpectNothingBeforeMarker(trap, b);
}

TEST_F(KvoSnmpTrapTest, EmptyAddressClearsReceiverWithTheInvalidAddressLine) {
    SetReceiver(2, b);
    testing::internal::CaptureStdout();
    EXPECT_EQ(trap.SetTrapTarget(2, "", 162, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid Address:  \n");
    SetReceiver(1, a);
    trap.SetTrapLevel(0x04);
    trap.SendTextTrap('E', "after clear");
    auto got = a.Receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->Text(), "after clear");
    ExpectNothingBeforeMarker(trap, b);
}

TEST_F(KvoSnmpTrapTest, OnlyDottedIPv4IsAccepted) {
    SetReceiver(1, a);
    for (const char* bad : {"localhost", "127.0.0.1:162", "127.1", "256.0.0.1", " 127.0.0.1",
                            "127.0.0.1 ", "::1", "1.2.3.4.5", "0x7f.0.0.1"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(trap.SetTrapTarget(1, bad, a.port(), nullptr), -1) << bad;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid Address: " + std::string(bad) + " \n");
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(trap.SetTrapTarget(1, nullptr, a.port(), nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid Address:  \n");
    ExpectNothingBeforeMarker(trap, a);
}

TEST_F(KvoSnmpTrapTest, MiddleReceiverInvalidGivesExactlyTwoTrapsInReceiverOrder) {
    // Receivers 1 and 3 share one listener; their communities tell them apart.
    SetReceiver(1, a, "first");
    ClearReceiver(2);
    SetReceiver(3, a, "third");
    trap.SetTrapLevel(0x04);
    trap.SendTextTrap('E', "ordered");
    auto one = a.Receive();
    auto two = a.Receive();
    ASSERT_TRUE(one && two);
    EXPECT_EQ(one->community, "first");
    EXPECT_EQ(two->community, "third");
    EXPECT_EQ(one->Text(), "ordered");
    EXPECT_EQ(two->Text(), "ordered");
    ExpectNothingBeforeMarker(trap, a);
}

TEST_F(KvoSnmpTrapTest, NoReceiversOrPortZeroSendNothing) {
    trap.SetTrapLevel(0x07);
    trap.SendTextTrap('E', "to nobody");  // no receiver set at all
    ASSERT_EQ(trap.SetTrapTarget(1, "127.0.0.1", 0, nullptr), 0);
    trap.SendTextTrap('E', "to port zero");
    ExpectNothingBeforeMarker(trap, a);
}

TEST_F(KvoSnmpTrapTest, NullAndLongTextsAreSentWhole) {
    SetReceiver(1, a);
    trap.SetTrapLevel(0x04);
    trap.SendTextTrap('E', nullptr);
    auto empty = a.Receive();
    ASSERT_TRUE(empty.has_value());
    ASSERT_EQ(empty->varbinds.size(), 3u);
    EXPECT_EQ(empty->varbinds[2].octets, "");
    std::string longText(1200, 'x');
    trap.SendTextTrap('E', longText.c_str());
    auto whole = a.Receive();
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->Text(), longText);
}

// Target changes from page threads race the notify thread's sends: every datagram
// must carry the address and community of one consistent setting.
TEST_F(KvoSnmpTrapTest, SendsNeverSeeAHalfChangedTarget) {
    trap.SetTrapLevel(0x04);
    SetReceiver(1, a, "to-a");
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int i = 0; !stop.load(); ++i) {
            if (i % 2) trap.SetTrapTarget(1, "127.0.0.1", a.port(), "to-a");
            else trap.SetTrapTarget(1, "127.0.0.1", b.port(), "to-b");
            trap.SetTrapLevel(0x04);
        }
    });
    const int sends = 100;
    for (int i = 0; i < sends; ++i) trap.SendTextTrap('E', "race");
    stop = true;
    changer.join();

    int received = 0;
    for (auto* l : {&a, &b}) {
        const char* expected = (l == &a) ? "to-a" : "to-b";
        while (auto got = l->Receive(std::chrono::milliseconds(200))) {
            EXPECT_EQ(got->community, expected);
            EXPECT_EQ(got->Text(), "race");
            ++received;
        }
    }
    EXPECT_EQ(received, sends);
}

// Without a free descriptor the session cannot be created: that one event is lost
// with the failure line, and the next event goes out again.
TEST_F(KvoSnmpTrapTest, SessionFailureLosesOnlyThatEventAndSaysSo) {
    SetReceiver(1, a);
    SetReceiver(2, b);
    trap.SetTrapLevel(0x04);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    testing::internal::CaptureStdout();
    int lowest = open("/dev/null", O_RDONLY);
    close(lowest);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    trap.SendTextTrap('E', "lost");
    setrlimit(RLIMIT_NOFILE, &old);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("SNMP++ Session Create Fail, ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(out.back(), '\n');

    trap.SendTextTrap('E', "next");
    for (auto* l : {&a, &b}) {
        auto got = l->Receive();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->Text(), "next");
    }
}

TEST_F(KvoSnmpTrapTest, ConcurrentSendersAreSerialised) {
    SetReceiver(1, a);
    SetReceiver(2, b);
    trap.SetTrapLevel(0x07);
    KvoSnmpTrap other;  // a second sender shares the one library
    other.SetTrapLevel(0x07);
    ASSERT_EQ(other.SetTrapTarget(1, "127.0.0.1", c.port(), "other"), 0);
    const int perThread = 40;
    std::thread t1([&] { for (int i = 0; i < perThread; ++i) trap.SendTextTrap('I', "one"); });
    std::thread t2([&] { for (int i = 0; i < perThread; ++i) other.SendTextTrap('W', "two"); });
    t1.join();
    t2.join();
    for (auto* l : {&a, &b, &c}) {
        for (int i = 0; i < perThread; ++i) {
            auto got = l->Receive();
            ASSERT_TRUE(got.has_value()) << i;
            ASSERT_EQ(got->varbinds.size(), 3u);
            EXPECT_EQ(got->Text(), l == &c ? "two" : "one");
        }
    }
}

}  // namespace
