// CPU cost inside the plug-in, loaded as a host loads it, with a back-end that keeps nothing and
// the plug-in's lines discarded: a whole round, a value request, a cache restore.
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "apps/common/plugin_library.h"
#include "apps/common/plugin_output.h"
#include "plugin/kavren_m7.h"
#include "runtime/device_state.h"
#include "tests/support/recording_backend.h"

namespace {

struct Loaded {
    kavren::app::PluginLibrary library{KAVREN_M7_PLUGIN_PATH};
    RecordingBackend backend;
    kavren::app::PluginLineLog discard;  // no sink: lines go nowhere
    Loaded() { backend.keep = false; }
};

// The plug-in's lines ("rvSize is 0" every round) go nowhere while a benchmark runs; the
// benchmark's own report uses std::cout between runs.
using QuietPlugin = kavren::app::StdoutRedirect;

Loaded& loaded() {
    static Loaded* plugin = new Loaded();
    return *plugin;
}

std::unique_ptr<KAVREN_M7> driver() {
    std::unique_ptr<KAVREN_M7> d(static_cast<KAVREN_M7*>(loaded().library.provider()->create()));
    set_host_backend(*d, &loaded().backend);
    return d;
}

// Plausible replies of the seven reads.
std::vector<std::vector<uint16_t>> replies() {
    const int counts[] = {6, 7, 30, 1, 30, 16, 16};
    std::vector<std::vector<uint16_t>> all;
    uint16_t next = 1000;
    for (int count : counts) {
        std::vector<uint16_t> words(static_cast<std::size_t>(count));
        for (auto& w : words) w = next += 7919;
        all.push_back(words);
    }
    return all;
}

void BM_CompleteRound(benchmark::State& state) {
    QuietPlugin quiet(&loaded().discard);
    auto d = driver();
    const auto words = replies();
    for (auto _ : state) {
        d->RefreshStatus();
        for (const auto& reply : words) {
            std::memcpy(d->rx_regs_, reply.data(), reply.size() * sizeof(uint16_t));
            benchmark::DoNotOptimize(d->process_payload(SPModbus::TAB_HOLDING_REGISTERS,
                                                        static_cast<unsigned>(reply.size())));
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompleteRound);

void BM_GetValue(benchmark::State& state, const char* name) {
    QuietPlugin quiet(&loaded().discard);
    auto d = driver();
    d->LoadFromCache(std::string(259, '\x01'));
    const std::string key = name;
    for (auto _ : state) benchmark::DoNotOptimize(d->Get_Value(0, key));
}
BENCHMARK_CAPTURE(BM_GetValue, first_key_UA, "UA");
BENCHMARK_CAPTURE(BM_GetValue, last_key_ZeroCurrent, "ZeroCurrent");

void BM_LoadFromCache(benchmark::State& state) {
    QuietPlugin quiet(&loaded().discard);
    auto d = driver();
    const std::vector<unsigned char> record(259, 0x42);
    for (auto _ : state) benchmark::DoNotOptimize(d->LoadFromCache(record.data(), 259));
}
BENCHMARK(BM_LoadFromCache);

}  // namespace

BENCHMARK_MAIN();
