// Full-band FT8 waterfall (93 rows of 1920 samples, 457 bins from 200 Hz in 6.25 Hz steps) over
// 15 s of noise, beside the literal one-cell-at-a-time loop of the unit tests (the results are
// bit-identical).

#include <benchmark/benchmark.h>

#include <vector>

#include "support/test_support.hpp"
#include "sync/waterfall.hpp"
#include "sync/waterfall_reference.hpp"

namespace {

constexpr std::size_t rows = 93, bins = 457, row_len = 1920;
const std::vector<kavro::Complex> samples = kavro::test::complex_noise(rows * row_len, 1.0, 5);

void BM_WaterfallFt8FullBand(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(kavro::compute_waterfall(samples, row_len, rows, bins, 0, 12000.0f, 200.0f, 6.25f));
    }
}
BENCHMARK(BM_WaterfallFt8FullBand)->Unit(benchmark::kMillisecond);

void BM_WaterfallFt8FullBandPortable(benchmark::State& state) {
    const std::vector<kavro::Complex> steps = kavro::waterfall_steps(bins, 12000.0f, 200.0f, 6.25f);
    std::vector<float> out(rows * bins);
    std::vector<kavro::WaterfallRow> blocks;
    for (std::size_t r = 0; r < rows; ++r) blocks.push_back({samples.data() + r * row_len, row_len, out.data() + r * bins});
    for (auto _ : state) {
        kavro::waterfall_rows(blocks, steps.data(), bins, kavro::SimdLevel::Portable);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_WaterfallFt8FullBandPortable)->Unit(benchmark::kMillisecond);

void BM_WaterfallFt8FullBandLiteral(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kavro::test::reference_waterfall(samples, row_len, rows, bins, 0, 12000.0f, 200.0f, 6.25f));
    }
}
BENCHMARK(BM_WaterfallFt8FullBandLiteral)->Unit(benchmark::kMillisecond);

}  // namespace
