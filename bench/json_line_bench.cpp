// CPU cost of the host's JSON line for one stored round (written without a tree).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "apps/host/round/round_text.h"

namespace {

std::shared_ptr<kavren::host::StoredRound> sample_round() {
    auto result = std::make_shared<kavren::host::RoundResult>();
    result->meter = "feeder-1";
    result->link = "127.0.0.1:1502";
    result->unit = 1;
    result->round = 12345;
    result->time = "2026-12-08 10:00:00";
    result->outcome.complete = true;
    result->record.assign(259, 0);
    for (std::size_t i = 0; i < result->record.size(); ++i)
        result->record[i] = static_cast<uint8_t>(i * 37);
    for (std::size_t k = 0; k < kavren::kMeasurementCount; ++k) {
        result->values[k].served = true;
        result->values[k].value = 230.0f + 0.01f * static_cast<float>(k);
    }
    for (int i = 0; i < 6; ++i) {
        result->limit_reports.push_back(
            LimitReport{2, std::to_string(i) + " KAVREN_M7", "16012", "A 相电压小于2.20000005",
                        "A 相电压小于2.20000005", i % 2 == 0, static_cast<unsigned short>(i + 1)});
    }
    auto round = std::make_shared<kavren::host::StoredRound>();
    round->result = result;
    round->history_id = 987654;
    round->active_alarms["0 KAVREN_M7"] = {"A 相电压小于2.20000005", "2026-12-08 09:59:55"};
    return round;
}

void BM_RoundJsonLine(benchmark::State& state) {
    const auto round = sample_round();
    for (auto _ : state) {
        std::string line = kavren::host::round_json_line(*round);
        benchmark::DoNotOptimize(line.data());
    }
}
BENCHMARK(BM_RoundJsonLine);

}  // namespace

BENCHMARK_MAIN();
