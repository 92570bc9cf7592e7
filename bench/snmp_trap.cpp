// Trap sender throughput: SendTextTrap to one and to three loopback receivers
// (each call opens a session per receiver, builds and sends the trap), the
// filtered-out path, and a receiver change. Receivers are drained by threads so
// the counters show what actually arrived.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "notify/TrapListener.h"
#include "notify/KvoSnmpTrap.h"

namespace {

const char* const kEventText =
    "At 2026-12-07 21:15:42 Controller 0:\r\n Volume 'ARC-1883-VOL#000' rebuilding, 12% done";

class DrainedReceivers {
public:
    explicit DrainedReceivers(int count) {
        for (int i = 0; i < count; ++i) listeners_.push_back(std::make_unique<kvotest::TrapListener>());
        for (auto& l : listeners_) {
            threads_.emplace_back([this, raw = l.get()] {
                while (!stop_.load())
                    if (raw->ReceiveRaw(std::chrono::milliseconds(20))) received_.fetch_add(1);
            });
        }
    }
    ~DrainedReceivers() {
        stop_ = true;
        for (auto& t : threads_) t.join();
    }
    void Point(KvoSnmpTrap& trap) {
        for (size_t i = 0; i < listeners_.size(); ++i)
            trap.SetTrapTarget(static_cast<int>(i) + 1, "127.0.0.1", listeners_[i]->port(), nullptr);
    }
    long received() const { return received_.load(); }

private:
    std::vector<std::unique_ptr<kvotest::TrapListener>> listeners_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<long> received_{0};
};

void SendToReceivers(benchmark::State& state) {
    const int receivers = static_cast<int>(state.range(0));
    KvoSnmpTrap::PrepareLibrary();
    KvoSnmpTrap trap;
    DrainedReceivers sinks(receivers);
    sinks.Point(trap);
    trap.SetTrapLevel(0x07);
    for (auto _ : state) trap.SendTextTrap('E', kEventText);
    state.counters["traps/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * receivers, benchmark::Counter::kIsRate);
    // Give the drain threads a moment to pick up the last datagrams before counting.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state.counters["delivered%"] =
        100.0 * static_cast<double>(sinks.received()) / (static_cast<double>(state.iterations()) * receivers);
}
BENCHMARK(SendToReceivers)->Arg(1)->Arg(3)->UseRealTime();

void FilteredLevel(benchmark::State& state) {
    KvoSnmpTrap trap;
    DrainedReceivers sinks(3);
    sinks.Point(trap);
    trap.SetTrapLevel(0x04);
    for (auto _ : state) trap.SendTextTrap('W', kEventText);
}
BENCHMARK(FilteredLevel);

void ChangeReceiver(benchmark::State& state) {
    KvoSnmpTrap trap;
    for (auto _ : state) benchmark::DoNotOptimize(trap.SetTrapTarget(2, "192.168.10.20", 162, nullptr));
}
BENCHMARK(ChangeReceiver);

}  // namespace

BENCHMARK_MAIN();
