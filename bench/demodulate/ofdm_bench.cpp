// One OFDM symbol (n_fft 64, cp 16, 48 data carriers and 4 pilots) demodulated per call: hard
// bits with each equaliser, and soft cells with bits.

#include <benchmark/benchmark.h>

#include <span>
#include <vector>

#include "demodulate/ofdm.hpp"
#include "modulate/ofdm.hpp"
#include "support/test_support.hpp"

namespace {

using kavro::Complex;

kavro::OfdmConfig config(std::string_view constellation) {
    std::vector<std::int32_t> data;
    for (std::int32_t k = -26; k <= 26; ++k)
        if (k != 0 && k != -21 && k != -7 && k != 7 && k != 21) data.push_back(k);
    const std::vector<std::int32_t> pilot_indices{-21, -7, 7, 21};
    const std::vector<Complex> pilot_values{{1, 0}, {1, 0}, {1, 0}, {-1, 0}};
    return *kavro::OfdmConfig::create(64, 16, std::span<const std::int32_t>(data),
                                      std::span<const std::int32_t>(pilot_indices),
                                      std::span<const Complex>(pilot_values), 48000.0f, 0.0f, 1.0f, constellation,
                                      std::nullopt);
}

std::vector<Complex> one_symbol(const kavro::OfdmConfig& cfg) {
    return kavro::OfdmMod::create(cfg)->modulate(kavro::test::random_bits(cfg.bits_per_ofdm_symbol(), 1));
}

void BM_OfdmDemodulate(benchmark::State& state, const char* constellation, const char* equalizer) {
    const kavro::OfdmConfig cfg = config(constellation);
    const std::vector<Complex> iq = one_symbol(cfg);
    kavro::OfdmDemod demod = *kavro::OfdmDemod::create(cfg, equalizer);
    for (auto _ : state) {
        auto bits = demod.demodulate(iq);
        benchmark::DoNotOptimize(bits->data());
    }
}
BENCHMARK_CAPTURE(BM_OfdmDemodulate, qpsk_training, "qpsk", "training_symbol");
BENCHMARK_CAPTURE(BM_OfdmDemodulate, qpsk_pilot, "qpsk", "pilot_interp");
BENCHMARK_CAPTURE(BM_OfdmDemodulate, qam256_training, "qam256", "training_symbol");

void BM_OfdmDemodulateSoft(benchmark::State& state) {
    const kavro::OfdmConfig cfg = config("qam64");
    const std::vector<Complex> iq = one_symbol(cfg);
    kavro::OfdmDemod demod = *kavro::OfdmDemod::create(cfg, "training_symbol");
    for (auto _ : state) {
        auto out = demod.demodulate_soft(iq);
        benchmark::DoNotOptimize(out->first.data());
    }
}
BENCHMARK(BM_OfdmDemodulateSoft);

}  // namespace
