// One FT8 or FT4 frame per call, output allocated by the call, beside liquid-dsp's fskmod writing
// the same frame symbols into a ready buffer (a speed reference only; it shapes nothing alike).

#include <benchmark/benchmark.h>

#include <complex>
#include <vector>

#include <liquid/liquid.h>

#include "modulate/ft4.hpp"
#include "modulate/ft8.hpp"

namespace {

std::vector<std::uint8_t> data_tones(std::size_t count, unsigned alphabet) {
    std::vector<std::uint8_t> tones(count);
    for (std::size_t i = 0; i < count; ++i) tones[i] = static_cast<std::uint8_t>((i * 5 + i / 3) % alphabet);
    return tones;
}

// The frame's tones, synchronisation symbols included.
std::vector<unsigned> frame_tones(const kavro::codec::ToneFrame& frame, const std::vector<std::uint8_t>& data) {
    std::vector<unsigned> tones;
    std::size_t next = 0;
    for (const std::uint8_t fixed : frame.layout)
        tones.push_back(fixed == kavro::codec::data_symbol ? data[next++] : fixed);
    return tones;
}

void ft_modulate(benchmark::State& state, bool ft8, float rf_hz) {
    const kavro::Ft8Mod mod8(12000.0f, 1500.0f, rf_hz, 0.5f);
    const kavro::Ft4Mod mod4(12000.0f, 1500.0f, rf_hz, 0.5f);
    const auto tones = ft8 ? data_tones(58, 8) : data_tones(87, 4);
    for (auto _ : state) {
        auto samples = ft8 ? mod8.modulate(tones) : mod4.modulate(tones);
        benchmark::DoNotOptimize(samples->data());
    }
}
BENCHMARK_CAPTURE(ft_modulate, ft8_modulate, true, 0.0f)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ft_modulate, ft8_modulate_rf_shift, true, 37.5f)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ft_modulate, ft4_modulate, false, 0.0f)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ft_modulate, ft4_modulate_rf_shift, false, 37.5f)->Unit(benchmark::kMicrosecond);

void liquid_fskmod(benchmark::State& state, const kavro::codec::ToneFrame* frame, unsigned m, float bandwidth) {
    const auto tones = frame_tones(*frame, data_tones(frame->data_tones, static_cast<unsigned>(frame->alphabet)));
    const unsigned k = static_cast<unsigned>(frame->symbol_samples);
    fskmod q = fskmod_create(m, k, bandwidth);
    std::vector<std::complex<float>> out(tones.size() * k);
    for (auto _ : state) {
        for (std::size_t s = 0; s < tones.size(); ++s) fskmod_modulate(q, tones[s], out.data() + s * k);
        benchmark::DoNotOptimize(out.data());
    }
    fskmod_destroy(q);
}
BENCHMARK_CAPTURE(liquid_fskmod, ft8_liquid_fskmod, &kavro::codec::ft8_frame, 3, 7.0f / 3840.0f)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(liquid_fskmod, ft4_liquid_fskmod, &kavro::codec::ft4_frame, 2, 3.0f / 1152.0f)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
