#include <benchmark/benchmark.h>

#include <vector>

#include "multicarrier/tx_lowpass.hpp"
#include "support/test_support.hpp"

namespace {

// The 47-tap, 60 dB low-pass of a 64-bin plan with 27 occupied half-carriers, over a stream of
// 100 000 samples (the design is part of every apply and included).
void BM_TxLowpassApply(benchmark::State& state) {
    const auto taps = static_cast<std::size_t>(state.range(0));
    const kavro::TxLowpass lowpass{taps, kavro::tx_lowpass_cutoff(taps, 60.0f, 27, 64), 60.0f};
    const std::vector<kavro::Complex> x = kavro::test::complex_noise(100000, 2.0, 1);
    std::vector<kavro::Complex> y(x.size());
    for (auto _ : state) {
        state.PauseTiming();
        y = x;
        state.ResumeTiming();
        lowpass.apply(y);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(x.size()));
}
BENCHMARK(BM_TxLowpassApply)->Arg(47)->Arg(101);

}  // namespace
