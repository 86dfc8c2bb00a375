#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "multicarrier/tx_lowpass.hpp"

namespace {

// The 47-tap, 60 dB low-pass of a 64-bin plan with 27 occupied half-carriers, over a stream of
// 100 000 samples (the design is part of every apply and included).
void BM_TxLowpassApply(benchmark::State& state) {
    const auto taps = static_cast<std::size_t>(state.range(0));
    const kavro::TxLowpass lowpass{taps, kavro::tx_lowpass_cutoff(taps, 60.0f, 27, 64), 60.0f};
    std::mt19937 rng(1);
    std::normal_distribution<float> g;
    std::vector<kavro::Complex> x(100000);
    for (auto& v : x) v = {g(rng), g(rng)};
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
