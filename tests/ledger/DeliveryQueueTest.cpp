// The delivery queue's thread with a scripted channel: back-off between
// attempts, permanent refusals and accepted targets never tried again, the
// give-up age, a stop that does not wait for a stuck delivery.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "TestSupport.h"
#include "ledger/DeliveryQueue.h"

namespace {

using namespace std::chrono_literals;

// Answers each call with the next scripted outcome list and records the
// targets it was given.
class ScriptedChannel : public DeliveryChannel {
public:
    std::string Kind() const override { return "mail"; }
    std::vector<DeliveryOutcome> Deliver(const LedgerEvent&, const std::vector<LedgerDelivery>& targets,
                                         std::string& peer) override {
        std::unique_lock<std::mutex> lock(mutex);
        peer = "scripted:25";
        std::vector<std::string> names;
        for (const auto& t : targets) names.push_back(t.target);
        calls.push_back({names, std::chrono::steady_clock::now()});
        changed.notify_all();
        changed.wait_for(lock, 20s, [&] { return !hold; });
        std::vector<DeliveryOutcome> out;
        for (const auto& t : targets) {
            auto it = script.find(t.target);
            if (it == script.end() || it->second.empty()) {
                out.push_back({DeliveryOutcome::Retry, "no script"});
                continue;
            }
            out.push_back(it->second.front());
            it->second.pop_front();
        }
        return out;
    }
    size_t CallCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    std::map<std::string, std::deque<DeliveryOutcome>> script;
    std::vector<std::pair<std::vector<std::string>, std::chrono::steady_clock::time_point>> calls;
};

class DeliveryQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        ledger = std::make_shared<EventLedger>();
        ASSERT_TRUE(ledger->Open(dir.file("events.db")));
        channel = std::make_shared<ScriptedChannel>();
    }

    int64_t Record(const std::vector<std::string>& targets, int64_t received = 0) {
        LedgerEvent e;
        e.received = received ? received : EventLedger::NowMs();
        e.text = "event";
        e.message = "At ... event";
        for (const auto& t : targets) {
            LedgerDelivery d;
            d.kind = "mail";
            d.target = t;
            d.nextAttempt = e.received;
            e.deliveries.push_back(d);
        }
        return ledger->Record(e);
    }

    DeliveryStatus StatusOf(int64_t event, const std::string& target) {
        std::optional<LedgerEvent> e = ledger->Event(event);
        for (const auto& d : e->deliveries)
            if (d.target == target) return d.status;
        return DeliveryStatus::Pending;
    }

    kvotest::TempDir dir;
    std::shared_ptr<EventLedger> ledger;
    std::shared_ptr<ScriptedChannel> channel;
};

TEST_F(DeliveryQueueTest, PassingFailuresAreRetriedWithBackOffOthersNever) {
    DeliveryOptions options;
    options.firstRetry = 300ms;
    options.maxRetry = 600ms;
    channel->script["retry@x"] = {{DeliveryOutcome::Retry, "421 busy"},
                                  {DeliveryOutcome::Retry, "no connection"},
                                  {DeliveryOutcome::Sent, ""}};
    channel->script["refused@x"] = {{DeliveryOutcome::Failed, "550 no such user"}};
    channel->script["ok@x"] = {{DeliveryOutcome::Sent, ""}};
    int64_t id = Record({"retry@x", "refused@x", "ok@x"});
    EXPECT_EQ(3u, ledger->Pending().count);
    testing::internal::CaptureStdout();
    DeliveryQueue queue(ledger, options);
    queue.AddChannel(channel);
    std::map<std::pair<std::string, DeliveryStatus>, unsigned> observed;  // written by the queue's thread
    queue.SetObserver([&](const std::string& kind, DeliveryStatus status, unsigned count) {
        observed[{kind, status}] += count;
    });
    queue.Start();
    ASSERT_TRUE(kvotest::WaitUntil([&] { return StatusOf(id, "retry@x") == DeliveryStatus::Sent; }, 10s));
    EXPECT_TRUE(queue.Stop());
    EXPECT_EQ(0u, ledger->Pending().count);
    EXPECT_EQ(2u, (observed[{"mail", DeliveryStatus::Sent}]));
    EXPECT_EQ(2u, (observed[{"mail", DeliveryStatus::Pending}])) << "two attempts to be tried again";
    EXPECT_EQ(1u, (observed[{"mail", DeliveryStatus::Failed}]));
    std::string console = testing::internal::GetCapturedStdout();

    ASSERT_EQ(3u, channel->calls.size());
    EXPECT_EQ((std::vector<std::string>{"retry@x", "refused@x", "ok@x"}), channel->calls[0].first)
        << "one call for all the event's recipients";
    EXPECT_EQ(std::vector<std::string>{"retry@x"}, channel->calls[1].first);
    EXPECT_EQ(std::vector<std::string>{"retry@x"}, channel->calls[2].first);
    EXPECT_GE(channel->calls[1].second - channel->calls[0].second, 300ms - 20ms);
    EXPECT_GE(channel->calls[2].second - channel->calls[1].second, 600ms - 20ms) << "the delay doubled";
    EXPECT_EQ(DeliveryStatus::Failed, StatusOf(id, "refused@x"));
    EXPECT_EQ(DeliveryStatus::Sent, StatusOf(id, "ok@x"));
    const std::string event = "Event " + std::to_string(id) + ": mail to ";
    EXPECT_NE(std::string::npos, console.find(event + "refused@x failed through scripted:25: 550 no such user"))
        << console;
    EXPECT_NE(std::string::npos, console.find(event + "retry@x not delivered yet through scripted:25: 421 busy; "
                                                      "next attempt at"))
        << console;
}

TEST_F(DeliveryQueueTest, APassingFailurePastTheGiveUpAgeFailsForGood) {
    DeliveryOptions options;
    options.firstRetry = 100ms;
    options.giveUpAfter = 1h;
    int64_t id = Record({"late@x"}, EventLedger::NowMs() - 2 * 3600 * 1000);
    testing::internal::CaptureStdout();
    DeliveryQueue queue(ledger, options);
    queue.AddChannel(channel);
    queue.Start();
    ASSERT_TRUE(kvotest::WaitUntil([&] { return StatusOf(id, "late@x") == DeliveryStatus::Failed; }, 10s));
    EXPECT_TRUE(queue.Stop());
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(1u, channel->CallCount());
    EXPECT_EQ("gave up after 1 attempts: no script", ledger->Event(id)->deliveries[0].lastReason);
    EXPECT_NE(std::string::npos, console.find("mail to late@x failed through scripted:25: gave up")) << console;
}

TEST_F(DeliveryQueueTest, StopIsBoundedWhileADeliveryHangsAndPendingWorkResumesOnRestart) {
    DeliveryOptions options;
    options.stopBound = 300ms;
    channel->hold = true;
    channel->script["a@x"] = {{DeliveryOutcome::Sent, ""}};
    int64_t id = Record({"a@x"});
    {
        auto queue = std::make_unique<DeliveryQueue>(ledger, options);
        queue->AddChannel(channel);
        queue->Start();
        ASSERT_TRUE(kvotest::WaitUntil([&] { return channel->CallCount() == 1; }));
        auto before = std::chrono::steady_clock::now();
        EXPECT_FALSE(queue->Stop()) << "still inside the delivery";
        EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    }  // destroyed while its thread still delivers
    {
        std::lock_guard<std::mutex> lock(channel->mutex);
        channel->hold = false;
        channel->changed.notify_all();
    }
    ASSERT_TRUE(kvotest::WaitUntil([&] { return StatusOf(id, "a@x") == DeliveryStatus::Sent; }));

    // Pending work left by an earlier run is due at once on the next start.
    channel->script["b@x"] = {{DeliveryOutcome::Sent, ""}};
    int64_t later = Record({"b@x"});
    auto d = ledger->Event(later)->deliveries;
    d[0].nextAttempt = EventLedger::NowMs() + 3600 * 1000;
    ledger->Update(d);
    DeliveryQueue again(ledger, options);
    again.AddChannel(channel);
    again.Start();
    ASSERT_TRUE(kvotest::WaitUntil([&] { return StatusOf(later, "b@x") == DeliveryStatus::Sent; }));
    EXPECT_TRUE(again.Stop());
}

TEST(DeliveryQueueDelay, DoublesFromTheFirstUpToTheMost) {
    DeliveryOptions options;
    EXPECT_EQ(std::chrono::milliseconds(60000), DeliveryQueue::RetryDelay(options, 1));
    EXPECT_EQ(std::chrono::milliseconds(240000), DeliveryQueue::RetryDelay(options, 3));
    EXPECT_EQ(std::chrono::milliseconds(3600000), DeliveryQueue::RetryDelay(options, 7));
    EXPECT_EQ(std::chrono::milliseconds(3600000), DeliveryQueue::RetryDelay(options, 400));
}

}  // namespace
