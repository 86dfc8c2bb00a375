// Throughput of the analog modulators and demodulators on 2^20 samples per call, beside the
// liquid-dsp objects that do the same job (freqmod, freqdem, ampmodem), which serve only as a
// speed reference.

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <random>
#include <span>
#include <vector>

#include <liquid/liquid.h>

#include "demodulate/am.hpp"
#include "demodulate/cw.hpp"
#include "demodulate/fm.hpp"
#include "demodulate/pm.hpp"
#include "demodulate/ssb.hpp"
#include "modulate/am.hpp"
#include "modulate/cw.hpp"
#include "modulate/fm.hpp"
#include "modulate/pm.hpp"
#include "modulate/ssb.hpp"

namespace {

constexpr std::size_t block = std::size_t{1} << 20;
constexpr double fs = 48000;

const std::vector<float>& audio() {
    static const std::vector<float> x = [] {
        std::vector<float> v(block);
        std::mt19937 rng(1);
        std::normal_distribution<float> noise(0.0f, 0.05f);
        for (std::size_t n = 0; n < block; ++n) v[n] = 0.8f * std::sin(0.13f * static_cast<float>(n % 4096)) + noise(rng);
        return v;
    }();
    return x;
}

const std::vector<float>& keying() {
    static const std::vector<float> x = [] {
        std::vector<float> v(block);
        for (std::size_t n = 0; n < block; ++n) v[n] = (n / 2400) % 2 ? 1.0f : 0.0f;
        return v;
    }();
    return x;
}

// An FM signal with AM and noise, so no branch of the detectors is trivially predicted.
const std::vector<kavro::Complex>& iq() {
    static const std::vector<kavro::Complex> x = [] {
        kavro::FmPhaseAccumMod mod(fs, 5000, 1000);
        auto v = mod.process(audio());
        std::mt19937 rng(2);
        std::normal_distribution<float> noise(0.0f, 0.05f);
        for (std::size_t n = 0; n < block; ++n) {
            const float a = 1.0f + 0.3f * std::sin(0.01f * static_cast<float>(n % 8192));
            v[n] = {a * v[n].re + noise(rng), a * v[n].im + noise(rng)};
        }
        return v;
    }();
    return x;
}

template <class Modem, class Input>
void run(benchmark::State& state, Modem modem, const std::vector<Input>& input) {
    for (auto _ : state) {
        auto out = modem.process(std::span<const Input>(input));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block));
}

void AmDsbMod(benchmark::State& s) { run(s, kavro::AmDsbMod(fs, 3000, 0.7, 0.5), audio()); }
void SsbPhasingMod(benchmark::State& s) { run(s, kavro::SsbPhasingMod(fs, 3000, 1500, 2000, true), audio()); }
void CwKeyedMod(benchmark::State& s) { run(s, kavro::CwKeyedMod(fs, 700, 5, 5), keying()); }
void FmPhaseAccumMod(benchmark::State& s) { run(s, kavro::FmPhaseAccumMod(fs, 5000, 1000), audio()); }
void PmDirectPhaseMod(benchmark::State& s) { run(s, kavro::PmDirectPhaseMod(fs, 1.5, 1000), audio()); }
void AmEnvelopeDemodExact(benchmark::State& s) { run(s, kavro::AmEnvelopeDemod(fs, 5000), iq()); }
void AmEnvelopeDemodApprox(benchmark::State& s) { run(s, kavro::AmEnvelopeDemod(fs, 5000, true), iq()); }
void SsbProductDemod(benchmark::State& s) { run(s, kavro::SsbProductDemod(fs, 1000, 3000), iq()); }
void CwEnvelopeDemod(benchmark::State& s) { run(s, kavro::CwEnvelopeDemod(fs, 700, 200), iq()); }
void FmQuadratureDemod(benchmark::State& s) { run(s, kavro::FmQuadratureDemod(fs, 5000, 5000), iq()); }
void PmQuadratureDemod(benchmark::State& s) { run(s, kavro::PmQuadratureDemod(fs, 1.0, 5000), iq()); }

// liquid-dsp peers, each producing a freshly allocated output per call like ours.
using liquid_complex = std::complex<float>;

std::vector<liquid_complex> liquid_iq() {
    const auto& x = iq();
    std::vector<liquid_complex> v(x.size());
    for (std::size_t n = 0; n < x.size(); ++n) v[n] = {x[n].re, x[n].im};
    return v;
}

void liquid_freqmod(benchmark::State& state) {
    freqmod q = freqmod_create(5000.0f / 48000.0f);
    std::vector<float> in = audio();
    for (auto _ : state) {
        std::vector<liquid_complex> out(block);
        freqmod_modulate_block(q, in.data(), block, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    freqmod_destroy(q);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block));
}

void liquid_freqdem(benchmark::State& state) {
    freqdem q = freqdem_create(5000.0f / 48000.0f);
    std::vector<liquid_complex> in = liquid_iq();
    for (auto _ : state) {
        std::vector<float> out(block);
        freqdem_demodulate_block(q, in.data(), block, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    freqdem_destroy(q);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block));
}

void liquid_ampmodem_mod(benchmark::State& state, liquid_ampmodem_type type, int suppressed) {
    ampmodem q = ampmodem_create(0.5f, type, suppressed);
    std::vector<float> in = audio();
    for (auto _ : state) {
        std::vector<liquid_complex> out(block);
        ampmodem_modulate_block(q, in.data(), block, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    ampmodem_destroy(q);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block));
}

void liquid_ampmodem_demod(benchmark::State& state, liquid_ampmodem_type type, int suppressed) {
    ampmodem q = ampmodem_create(0.5f, type, suppressed);
    std::vector<liquid_complex> in = liquid_iq();
    for (auto _ : state) {
        std::vector<float> out(block);
        ampmodem_demodulate_block(q, in.data(), block, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    ampmodem_destroy(q);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block));
}

}  // namespace

BENCHMARK(AmDsbMod)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(liquid_ampmodem_mod, dsb_carrier, LIQUID_AMPMODEM_DSB, 0)->Unit(benchmark::kMillisecond);
BENCHMARK(SsbPhasingMod)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(liquid_ampmodem_mod, usb, LIQUID_AMPMODEM_USB, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(CwKeyedMod)->Unit(benchmark::kMillisecond);
BENCHMARK(FmPhaseAccumMod)->Unit(benchmark::kMillisecond);
BENCHMARK(liquid_freqmod)->Unit(benchmark::kMillisecond);
BENCHMARK(PmDirectPhaseMod)->Unit(benchmark::kMillisecond);
BENCHMARK(AmEnvelopeDemodExact)->Unit(benchmark::kMillisecond);
BENCHMARK(AmEnvelopeDemodApprox)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(liquid_ampmodem_demod, dsb_carrier, LIQUID_AMPMODEM_DSB, 0)->Unit(benchmark::kMillisecond);
BENCHMARK(SsbProductDemod)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(liquid_ampmodem_demod, usb, LIQUID_AMPMODEM_USB, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(CwEnvelopeDemod)->Unit(benchmark::kMillisecond);
BENCHMARK(FmQuadratureDemod)->Unit(benchmark::kMillisecond);
BENCHMARK(liquid_freqdem)->Unit(benchmark::kMillisecond);
BENCHMARK(PmQuadratureDemod)->Unit(benchmark::kMillisecond);
