// The simulator as the event poller, the relay and a careless client see it:
// the event channel, the control commands, and bad input on its sockets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "EventChannelRecords.h"
#include "IoctlParams.h"
#include "ScsiPassThrough.h"
#include "SimulatorProcess.h"
#include "controller/kvoIO.h"

namespace {

using kvotest::SimulatorProcess;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ok()) << sim.Log();
        sim.ExportDriverDir();
        io = kvoIO::GetInstance();
        io->initialize();
        ASSERT_EQ(2u, io->getControllerCount());
    }
    void TearDown() override { kvoIO::GetInstance()->terminate(); }

    int WriteRecord(unsigned controller, const void* record, unsigned size) {
        return io->writeIO(controller, 1, 65, static_cast<const char*>(record), size);
    }

    // One poller visit: handshake, event request, reply; returns the reply.
    _KVO_EVENT_REPLY Visit(unsigned controller) {
        _KVO_EVENT_REPLY reply;
        std::memset(&reply, 0, sizeof reply);
        _KVO_HANDSHAKE_REQUEST hello;
        KvoFillHandshakeRequest(hello);
        EXPECT_EQ(156, WriteRecord(controller, &hello, sizeof hello));
        char ack[40];
        EXPECT_EQ(40, io->readIO(controller, 1, 65, ack, sizeof ack));
        _KVO_EVENT_REQUEST ask;
        KvoFillEventRequest(ask);
        EXPECT_EQ(100, WriteRecord(controller, &ask, sizeof ask));
        EXPECT_GT(io->readIO(controller, 1, 65, reinterpret_cast<char*>(&reply), sizeof reply), 0);
        EXPECT_EQ(18, WriteRecord(controller, KVO_EVENT_DISCONNECT, 18));
        return reply;
    }

    static bool IsEvent(const _KVO_EVENT_REPLY& r) {
        return std::memcmp(r.szSignature, KVO_EVENT_SIGNATURE, 8) == 0 &&
               r.byKind == KVO_EVENT_KIND_REPLY && r.uGroup == KVO_EVENT_GROUP &&
               r.uFunction == KVO_EVENT_FUNCTION;
    }

    SimulatorProcess sim{2};
    kvoIO* io = nullptr;
};

TEST_F(SimulatorTest, QueuedEventsAreDeliveredOnePerVisitInOrder) {
    ASSERT_EQ("ok", sim.Command("event 0 W 2009-03-07T14:05:09 Fan 2 failure"));
    ASSERT_EQ("ok", sim.Command("event 0 E now Drive in slot 4 failed"));
    EXPECT_THAT(sim.Command("stats 0"), HasSubstr("events_queued=2"));

    _KVO_EVENT_REPLY first = Visit(0);
    ASSERT_TRUE(IsEvent(first));
    EXPECT_EQ('W', first.byLevel);
    EXPECT_EQ(KvoPackEventTime(2009, 3, 7, 14, 5, 9), first.uTime);
    EXPECT_STREQ("Fan 2 failure", first.szText);
    _KVO_EVENT_REPLY second = Visit(0);
    ASSERT_TRUE(IsEvent(second));
    EXPECT_EQ('E', second.byLevel);
    EXPECT_STREQ("Drive in slot 4 failed", second.szText);
    EXPECT_FALSE(IsEvent(Visit(0)));  // nothing left: a reply that is not an event
    EXPECT_FALSE(IsEvent(Visit(1)));  // the other controller had none

    // The firmware's event log page lists what was reported.
    const std::string request = "GET /events.html HTTP/1.1\r\n\r\n";
    ASSERT_EQ(16, io->writeIO(0, 2, 1, "Socket connect!", 16));
    ASSERT_EQ(static_cast<int>(request.size()),
              io->writeIO(0, 2, 1, request.data(), static_cast<unsigned>(request.size())));
    std::string page;
    kvotest::WaitUntil([&] {
        char buf[2016];
        int n = io->readIO(0, 2, 1, buf, sizeof buf);
        if (n > 0) page.append(buf, static_cast<size_t>(n));
        return page.find("</html>") != std::string::npos;
    });
    EXPECT_THAT(page, HasSubstr("2009-03-07 14:05:09"));
    EXPECT_THAT(page, HasSubstr("Fan 2 failure"));
}

TEST_F(SimulatorTest, EventChannelRefusesWrongHandshakeAndEarlyRequests) {
    ASSERT_EQ("ok", sim.Command("event 1 I now Volume check done"));
    _KVO_EVENT_REQUEST ask;
    KvoFillEventRequest(ask);
    EXPECT_EQ(0, WriteRecord(1, &ask, sizeof ask));  // before the handshake
    _KVO_HANDSHAKE_REQUEST hello;
    KvoFillHandshakeRequest(hello);
    hello.szWord[3] ^= 0x20;
    EXPECT_EQ(0, WriteRecord(1, &hello, sizeof hello));
    char buf[64];
    EXPECT_EQ(0, io->readIO(1, 1, 65, buf, sizeof buf));  // nothing pending
    EXPECT_EQ(0, WriteRecord(1, "garbage", 7));
    EXPECT_THAT(sim.Command("stats 1"), HasSubstr("events_queued=1"));

    // A queued non-event answers with record kind 1, which a poller drops.
    ASSERT_EQ("ok", sim.Command("bad-event 1"));
    _KVO_EVENT_REPLY event = Visit(1);
    EXPECT_TRUE(IsEvent(event));
    _KVO_EVENT_REPLY bad = Visit(1);
    EXPECT_EQ(1, bad.byKind);
}

TEST(SimulatorEvents, GeneratedEventsArriveEverySecond) {
    SimulatorProcess::Options o;
    o.controllers = 1;
    o.eventsEvery = 1;
    SimulatorProcess sim(o);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    EXPECT_TRUE(kvotest::WaitUntil(
        [&] { return sim.Command("stats 0").find("events_queued=0") == std::string::npos; },
        std::chrono::seconds(5)));
}

TEST_F(SimulatorTest, ControlCommandsAnswerOkOrAnError) {
    for (const char* good : {"ping", "probe 1 ok", "probe 1 fail", "fail-open 0 0", "delay 0 0",
                             "plug 1", "refuse-connect 1", "event 1 I now text with  spaces"})
        EXPECT_EQ("ok", sim.Command(good)) << good;
    EXPECT_THAT(sim.Command("stats 1"), StartsWith("ok opens="));
    for (const char* bad : {"", "frobnicate 0", "probe 2 ok", "probe 0 maybe", "probe x ok",
                            "fail-open 0 -1", "delay 0 soon", "event 0 X now text",
                            "event 0 I 2009-13-01T00:00:00 text", "event 0 I now",
                            "stats 99999999999"})
        EXPECT_THAT(sim.Command(bad), StartsWith("error: ")) << bad;
}

TEST_F(SimulatorTest, RefusedConnectPulledControllerAndDelayedAnswers) {
    ASSERT_EQ("ok", sim.Command("refuse-connect 0"));
    EXPECT_EQ(0, io->writeIO(0, 2, 3, "Socket connect!", 16));
    EXPECT_EQ(0, io->writeIO(0, 2, 3, "GET / HTTP/1.1\r\n\r\n", 18));  // not connected
    EXPECT_EQ(16, io->writeIO(0, 2, 3, "Socket connect!", 16));

    ASSERT_EQ("ok", sim.Command("pull 0"));
    char buf[2016];
    EXPECT_EQ(-1, io->readIO(0, 2, 3, buf, sizeof buf));
    EXPECT_EQ(-1, io->writeIO(0, 2, 3, "x", 1));
    EXPECT_EQ(0, io->readIO(1, 2, 3, buf, sizeof buf));  // the other one is fine
    ASSERT_EQ("ok", sim.Command("plug 0"));

    ASSERT_EQ("ok", sim.Command("delay 0 300"));
    const std::string request = "GET /bench/1 HTTP/1.1\r\n\r\n";
    auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(static_cast<int>(request.size()),
              io->writeIO(0, 2, 3, request.data(), static_cast<unsigned>(request.size())));
    EXPECT_EQ(0, io->readIO(0, 2, 3, buf, sizeof buf));
    int n = 0;
    ASSERT_TRUE(kvotest::WaitUntil([&] { return (n = io->readIO(0, 2, 3, buf, sizeof buf)) != 0; }));
    EXPECT_GT(n, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
}

TEST_F(SimulatorTest, DisconnectDropsTheConnectionsUnreadAnswer) {
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_EQ(16, io->writeIO(1, 2, 63, "Socket connect!", 16));
    ASSERT_EQ(static_cast<int>(request.size()),
              io->writeIO(1, 2, 63, request.data(), static_cast<unsigned>(request.size())));
    EXPECT_THAT(sim.Command("stats 1"), HasSubstr("web_open=1"));
    EXPECT_EQ(19, io->writeIO(1, 2, 63, "Socket disconnect!", 19));
    EXPECT_THAT(sim.Command("stats 1"), HasSubstr("web_open=0"));
    char buf[2016];
    EXPECT_EQ(0, io->readIO(1, 2, 63, buf, sizeof buf));
    // Unknown connection bytes and buffers take nothing and answer nothing.
    for (unsigned char c : {0, 64, 66, 200}) {
        EXPECT_EQ(0, io->writeIO(1, 2, c, "Socket connect!", 16)) << int(c);
        EXPECT_EQ(0, io->readIO(1, 2, c, buf, sizeof buf)) << int(c);
    }
    EXPECT_EQ(0, io->writeIO(1, 7, 1, "abc", 3));
    EXPECT_EQ(0, io->readIO(1, 7, 1, buf, sizeof buf));
}

// Raw driver messages on a service socket, as a faulty client could send them.
class RawDriverClient {
public:
    explicit RawDriverClient(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
        timeval tv{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawDriverClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Sends `message`; returns the answer (empty on none).
    std::vector<uint8_t> Call(const std::vector<uint8_t>& message) {
        send(fd_, message.data(), message.size(), MSG_NOSIGNAL);
        std::vector<uint8_t> answer(8192);
        ssize_t n = recv(fd_, answer.data(), answer.size(), 0);
        answer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return answer;
    }
    static int32_t Result(const std::vector<uint8_t>& answer) {
        int32_t r = 0;
        if (answer.size() >= 4) std::memcpy(&r, answer.data(), 4);
        return r;
    }

private:
    int fd_ = -1;
};

std::vector<uint8_t> Selector(uint32_t s) {
    std::vector<uint8_t> m(4);
    std::memcpy(m.data(), &s, 4);
    return m;
}

std::vector<uint8_t> Structure(const _IOCTL_PARAM_IN& in) {
    std::vector<uint8_t> m(4 + sizeof in);
    const uint32_t selector = 2;
    std::memcpy(m.data(), &selector, 4);
    std::memcpy(m.data() + 4, &in, sizeof in);
    return m;
}

TEST_F(SimulatorTest, BadDriverMessagesFailTheCallAndTheSimulatorLivesOn) {
    RawDriverClient raw(sim.dir() + "/QZQRMController.0");
    ASSERT_TRUE(raw.ok());
    _IOCTL_PARAM_IN in{};
    in.uControlCode = 59;
    in.uInputLength = 28;
    in.uOutputLength = 8;
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(Structure(in))));  // client not opened
    EXPECT_NE(0, RawDriverClient::Result(raw.Call({1, 2})));          // short message
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(Selector(7))));     // unknown selector
    std::vector<uint8_t> tooLong = Selector(0);
    tooLong.resize(9000, 0xEE);
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(tooLong)));
    ASSERT_EQ(0, RawDriverClient::Result(raw.Call(Selector(0))));
    std::vector<uint8_t> cut = Structure(in);
    cut.resize(cut.size() - 1);
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(cut)));  // wrong record size

    _IOCTL_PARAM_IN bad = in;
    bad.uInputLength = 5000;
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(Structure(bad))));
    bad = in;
    bad.uControlCode = 12;
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(Structure(bad))));
    bad = in;
    bad.uInputLength = 10;  // shorter than the pass-through header
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(Structure(bad))));
    bad = in;  // a command block that is not WRITE/READ BUFFER
    bad.byInput[7] = 10;
    bad.byInput[8] = 0x28;
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(Structure(bad))));
    bad = in;  // a write whose data does not match its length
    bad.byInput[7] = 10;
    KvoFillBufferCdb(bad.byInput + 8, KVO_OP_WRITE_BUFFER, 2, 1, 500);
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(Structure(bad))));
    bad = in;  // a read with no room for the reply header
    bad.byInput[7] = 10;
    bad.uOutputLength = 4;
    KvoFillBufferCdb(bad.byInput + 8, KVO_OP_READ_BUFFER, 2, 1, 100);
    EXPECT_NE(0, RawDriverClient::Result(raw.Call(Structure(bad))));
    // A read before any connect message is an empty answer.
    bad.uOutputLength = 108;
    std::vector<uint8_t> answer = raw.Call(Structure(bad));
    ASSERT_EQ(4u + sizeof(_IOCTL_PARAM_OUT), answer.size());
    EXPECT_EQ(0, RawDriverClient::Result(answer));
    _IOCTL_PARAM_OUT out;
    std::memcpy(&out, answer.data() + 4, sizeof out);
    EXPECT_EQ(8u, out.uBytesReturned);

    // Garbage on the control socket, then everything still works.
    EXPECT_THAT(sim.Command(std::string(5000, 'x')), StartsWith("error: "));
    EXPECT_EQ("ok", sim.Command("ping"));
    EXPECT_EQ(16, io->writeIO(0, 2, 1, "Socket connect!", 16));
}

}  // namespace

namespace {

TEST_F(SimulatorTest, RandomDriverRecordsNeverBringTheSimulatorDown) {
    RawDriverClient raw(sim.dir() + "/QZQRMController.1");
    ASSERT_TRUE(raw.ok());
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int i = 0; i < 1500; ++i) {
        ASSERT_EQ(0, RawDriverClient::Result(raw.Call(Selector(0))));
        _IOCTL_PARAM_IN in;
        auto* bytes = reinterpret_cast<uint8_t*>(&in);
        for (size_t k = 0; k < sizeof in; ++k) bytes[k] = static_cast<uint8_t>(next());
        in.uControlCode = (next() % 4 == 0) ? next() : 59;
        in.uInputLength = (next() % 3 == 0) ? next() : next() % 2100;
        in.uOutputLength = (next() % 3 == 0) ? next() : next() % 2100;
        in.byInput[7] = (next() % 4 == 0) ? static_cast<uint8_t>(next()) : 10;
        in.byInput[8] = (next() % 2) ? 0x3B : 0x3C;
        in.byInput[10] = static_cast<uint8_t>(next() % 3);  // buffer 0..2
        in.byInput[11] = static_cast<uint8_t>(next() % 70);
        if (next() % 2 && in.uInputLength >= 28 && in.uInputLength <= 2048) {
            // A well-formed record around random data, so the firmware parses it.
            uint32_t length = in.byInput[8] == 0x3B ? in.uInputLength - 28 : next() % 3000;
            KvoFillBufferCdb(in.byInput + 8, in.byInput[8], in.byInput[10], in.byInput[11], length);
            std::memcpy(in.byInput + 24, &length, 4);
            if (next() % 4 == 0) std::memcpy(in.byInput + 28, "Socket connect!", 16);
        }
        std::vector<uint8_t> answer = raw.Call(Structure(in));
        ASSERT_TRUE(answer.size() == 4 || answer.size() == 4 + sizeof(_IOCTL_PARAM_OUT)) << i;
    }
    EXPECT_EQ("ok", sim.Command("ping"));
}

}  // namespace
