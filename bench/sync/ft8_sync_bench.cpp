// The FT8 and FT4 candidate searches on noise over 200-3000 Hz: FT8 on 15 s with start symbols
// 0-14, FT4 on 7.5 s with start symbols 0-51, 50 candidates each (16 waterfalls, scoring, peaks
// and the candidates' soft values).

#include <benchmark/benchmark.h>

#include <vector>

#include "support/test_support.hpp"
#include "sync/costas.hpp"
#include "sync/ft4_sync.hpp"

namespace {

void BM_Ft8SyncFullBand(benchmark::State& state) {
    const std::vector<kavro::Complex> iq = kavro::test::complex_noise(180000, 1.0, 11);
    for (auto _ : state) benchmark::DoNotOptimize(kavro::ft8_sync(iq, 12000.0f, 200.0f, 3000.0f, 0, 14, 50));
}
BENCHMARK(BM_Ft8SyncFullBand)->Unit(benchmark::kMillisecond);

void BM_Ft4SyncFullBand(benchmark::State& state) {
    const std::vector<kavro::Complex> iq = kavro::test::complex_noise(90000, 1.0, 12);
    for (auto _ : state) benchmark::DoNotOptimize(kavro::ft4_sync(iq, 12000.0f, 200.0f, 3000.0f, 0, 51, 50));
}
BENCHMARK(BM_Ft4SyncFullBand)->Unit(benchmark::kMillisecond);

}  // namespace
