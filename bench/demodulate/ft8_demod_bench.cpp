// Hard tone decisions on one aligned FT8 or FT4 frame, beside liquid-dsp's fskdem (one FFT per
// symbol over all the frame's symbols, a speed reference only).

#include <benchmark/benchmark.h>

#include <complex>
#include <vector>

#include <liquid/liquid.h>

#include "demodulate/ft4.hpp"
#include "demodulate/ft8.hpp"
#include "modulate/ft4.hpp"
#include "modulate/ft8.hpp"
#include "support/test_support.hpp"

namespace {

std::vector<std::uint8_t> data_tones(std::size_t count, unsigned alphabet) {
    std::vector<std::uint8_t> tones(count);
    for (std::size_t i = 0; i < count; ++i) tones[i] = static_cast<std::uint8_t>((i * 5 + i / 3) % alphabet);
    return tones;
}

// A noisy frame at 1500 Hz.
std::vector<kavro::Complex> frame_samples(bool ft8) {
    auto iq = ft8 ? *kavro::Ft8Mod(12000.0f, 1500.0f, 0.0f, 1.0f).modulate(data_tones(58, 8))
                  : *kavro::Ft4Mod(12000.0f, 1500.0f, 0.0f, 1.0f).modulate(data_tones(87, 4));
    kavro::test::add_noise(iq, 1.0, 3);
    return iq;
}

void ft8_demodulate(benchmark::State& state) {
    const auto iq = frame_samples(true);
    const kavro::Ft8Demod demod(12000.0f, 1500.0f);
    for (auto _ : state) {
        auto tones = demod.demodulate(iq);
        benchmark::DoNotOptimize(tones->data());
    }
}
BENCHMARK(ft8_demodulate)->Unit(benchmark::kMicrosecond);

void ft4_demodulate(benchmark::State& state) {
    const auto iq = frame_samples(false);
    const kavro::Ft4Demod demod(12000.0f, 1500.0f);
    for (auto _ : state) {
        auto tones = demod.demodulate(iq);
        benchmark::DoNotOptimize(tones->data());
    }
}
BENCHMARK(ft4_demodulate)->Unit(benchmark::kMicrosecond);

void portable_decisions(benchmark::State& state, bool ft8) {
    const auto iq = frame_samples(ft8);
    const kavro::codec::ToneFrame& frame = ft8 ? kavro::codec::ft8_frame : kavro::codec::ft4_frame;
    const std::span<const float> offsets = ft8 ? std::span<const float>(kavro::ft8_tone_offsets_hz)
                                               : std::span<const float>(kavro::ft4_tone_offsets_hz);
    std::vector<std::uint8_t> tones(frame.data_tones);
    for (auto _ : state) {
        kavro::decide_data_tones(frame, offsets, 12000.0f, 1500.0f, iq, tones, kavro::SimdLevel::Portable);
        benchmark::DoNotOptimize(tones.data());
    }
}
BENCHMARK_CAPTURE(portable_decisions, ft8_demodulate_portable, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(portable_decisions, ft4_demodulate_portable, false)->Unit(benchmark::kMicrosecond);

void liquid_fskdem(benchmark::State& state, bool ft8, unsigned m, float bandwidth) {
    auto iq = frame_samples(ft8);
    const kavro::codec::ToneFrame& frame = ft8 ? kavro::codec::ft8_frame : kavro::codec::ft4_frame;
    const unsigned k = static_cast<unsigned>(frame.symbol_samples);
    fskdem q = fskdem_create(m, k, bandwidth);
    auto* samples = reinterpret_cast<std::complex<float>*>(iq.data());
    std::vector<unsigned> symbols(frame.symbols());
    for (auto _ : state) {
        for (std::size_t s = 0; s < frame.symbols(); ++s) symbols[s] = fskdem_demodulate(q, samples + s * k);
        benchmark::DoNotOptimize(symbols.data());
    }
    fskdem_destroy(q);
}
BENCHMARK_CAPTURE(liquid_fskdem, ft8_liquid_fskdem, true, 3, 7.0f / 3840.0f)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(liquid_fskdem, ft4_liquid_fskdem, false, 2, 3.0f / 1152.0f)->Unit(benchmark::kMicrosecond);

}  // namespace
