// Cost of the configuration store: reads from memory, writes that rewrite and
// sync the whole file, and the first load of a typical file.
#include <benchmark/benchmark.h>

#include <string>

#include "TestSupport.h"
#include "config/ConfigFileSupport.h"

namespace {

// The keys a service with four controllers and three trap receivers holds.
void FillTypicalSettings(ConfigFileSupport& config) {
    for (int i = 0; i < 4; ++i) {
        std::string path = "/root/controller" + std::to_string(i);
        config.SetConfigValue_U16(path.c_str(), "httpport", static_cast<uint16_t>(7412 + 10 * i));
        config.SetConfigValue_U16(path.c_str(), "cliport", static_cast<uint16_t>(7414 + 10 * i));
    }
    config.SetConfigValue_U8("/root/snmp/trap", "levelflag", 7);
    for (int i = 1; i <= 3; ++i) {
        std::string path = "/root/snmp/trap/trap" + std::to_string(i);
        config.SetConfigValue(path.c_str(), "ip", "127.0.0.1");
        config.SetConfigValue_U16(path.c_str(), "port", 162);
    }
}

void BM_ReadU16(benchmark::State& state) {
    kvotest::TempDir dir;
    ConfigFileSupport config;
    config.Initialize(dir.file("kvoomxsvr.conf").c_str());
    FillTypicalSettings(config);
    uint16_t port = 0;
    for (auto _ : state) {
        config.GetConfigValue_U16("/root/controller3", "httpport", port);
        benchmark::DoNotOptimize(port);
    }
}
BENCHMARK(BM_ReadU16);

void BM_WriteU16WithSave(benchmark::State& state) {
    kvotest::TempDir dir;
    ConfigFileSupport config;
    config.Initialize(dir.file("kvoomxsvr.conf").c_str());
    FillTypicalSettings(config);
    uint16_t port = 0;
    for (auto _ : state) config.SetConfigValue_U16("/root/controller3", "httpport", ++port);
}
BENCHMARK(BM_WriteU16WithSave)->Unit(benchmark::kMicrosecond);

void BM_FirstLoad(benchmark::State& state) {
    kvotest::TempDir dir;
    std::string file = dir.file("kvoomxsvr.conf");
    {
        ConfigFileSupport writer;
        writer.Initialize(file.c_str());
        FillTypicalSettings(writer);
    }
    for (auto _ : state) {
        ConfigFileSupport config;
        config.Initialize(file.c_str());
        benchmark::DoNotOptimize(config.LoadFile());
    }
}
BENCHMARK(BM_FirstLoad)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
