// Preamble search over 10^6 samples (4 x 16-sample segments and a 64/16 training symbol, 400
// bursts at per-carrier Es/N0 10 dB), beside a from-scratch per-offset scan of the same metric and
// liquid-dsp's OFDM frame synchroniser (ofdmframesync) on 400 of its own 64/16 frames (S0a, S0b,
// S1 and five data symbols) at the same Es/N0. liquid-dsp serves only as a speed reference.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <span>
#include <vector>

#include <liquid/liquid.h>

#include "modulate/ofdm.hpp"
#include "support/ofdm_sync_reference.hpp"
#include "support/test_support.hpp"
#include "sync/ofdm_sync.hpp"

namespace {

using kavro::Complex;

constexpr std::size_t total = 1000000;
constexpr std::size_t bursts = 400;
constexpr std::size_t spacing = total / bursts;
constexpr float fs = 48000.0f;
constexpr double es_n0_db = 10.0;
const kavro::PreambleParams layout{4, 16, kavro::TrainingShape{64, 16}};

// Bursts of preamble + five QPSK symbols every `spacing` samples, from sample 500 on.
const std::vector<Complex>& stream() {
    static const std::vector<Complex> x = [] {
        const kavro::OfdmConfig cfg = kavro::test::sync_test_config(fs);
        const std::vector<Complex> preamble = *kavro::generate_ofdm_preamble(cfg, layout);
        kavro::OfdmMod mod = *kavro::OfdmMod::create(cfg);
        std::vector<Complex> v(total);
        for (std::size_t b = 0; b < bursts; ++b) {
            const std::vector<Complex> data = mod.modulate(kavro::test::random_bits(5 * cfg.bits_per_ofdm_symbol(), b));
            const std::size_t at = 500 + b * spacing;
            std::copy(preamble.begin(), preamble.end(), v.begin() + static_cast<std::ptrdiff_t>(at));
            std::copy(data.begin(), data.end(), v.begin() + static_cast<std::ptrdiff_t>(at + preamble.size()));
        }
        kavro::test::add_noise(v, kavro::test::per_carrier_noise_variance(es_n0_db, 64), 5);
        return v;
    }();
    return x;
}

// Bursts whose best-scoring candidate within ±2 samples of the true start scores at least 0.5.
std::size_t detections(const std::vector<kavro::OfdmSyncResult>& results) {
    std::vector<float> best(total, 0.0f);
    for (const auto& r : results) best[r.start_sample] = r.score;
    std::size_t found = 0;
    for (std::size_t b = 0; b < bursts; ++b) {
        const std::size_t at = 500 + b * spacing;
        float peak = 0.0f;
        for (std::size_t d = at - 2; d <= at + 2; ++d) peak = std::max(peak, best[d]);
        found += peak >= 0.5f;
    }
    return found;
}

void BM_OfdmSync(benchmark::State& state) {
    const std::vector<Complex>& x = stream();
    std::vector<kavro::OfdmSyncResult> results;
    for (auto _ : state) {
        results = kavro::ofdm_sync(x, layout, 0, total, fs);
        benchmark::DoNotOptimize(results.data());
    }
    state.counters["offsets/s"] = benchmark::Counter(static_cast<double>(results.size()), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["detected"] = static_cast<double>(detections(results));
}
BENCHMARK(BM_OfdmSync)->Unit(benchmark::kMillisecond);

// The metric recomputed from scratch at every offset, without sorting: the cost the segment-sum
// reuse avoids.
void BM_OfdmSyncFromScratchScan(benchmark::State& state) {
    const std::vector<Complex>& x = stream();
    const std::size_t r = 16, repeats = 4;
    const std::size_t offsets = total - 145;
    for (auto _ : state) {
        float acc = 0.0f;
        for (std::size_t d = 0; d < offsets; ++d) {
            const auto [pre, pim, e] = kavro::test::literal_repeat_sums(x, d, r, repeats);
            acc = acc + std::min((pre * pre + pim * pim) / (e * e), 1.0f) + std::atan2(pim, pre);
        }
        benchmark::DoNotOptimize(acc);
    }
    state.counters["offsets/s"] = benchmark::Counter(static_cast<double>(offsets), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_OfdmSyncFromScratchScan)->Unit(benchmark::kMillisecond);

struct LiquidStream {
    std::vector<std::complex<float>> samples;
};

// liquid's own frames: S0a, S0b, S1 and five data symbols of its default 64-carrier allocation.
const LiquidStream& liquid_stream() {
    static const LiquidStream s = [] {
        LiquidStream out;
        out.samples.assign(total, {});
        ofdmframegen gen = ofdmframegen_create(64, 16, 0, nullptr);
        std::vector<std::complex<float>> symbol(80), cells(64);
        std::mt19937 rng(6);
        const float q = std::sqrt(0.5f);
        for (std::size_t b = 0; b < bursts; ++b) {
            std::size_t at = 500 + b * spacing;
            auto put = [&] {
                std::copy(symbol.begin(), symbol.end(), out.samples.begin() + static_cast<std::ptrdiff_t>(at));
                at += symbol.size();
            };
            ofdmframegen_reset(gen);
            ofdmframegen_write_S0a(gen, symbol.data());
            put();
            ofdmframegen_write_S0b(gen, symbol.data());
            put();
            ofdmframegen_write_S1(gen, symbol.data());
            put();
            for (int k = 0; k < 5; ++k) {
                for (auto& c : cells) c = {(rng() & 1) ? q : -q, (rng() & 1) ? q : -q};
                ofdmframegen_writesymbol(gen, cells.data(), symbol.data());
                put();
            }
        }
        ofdmframegen_destroy(gen);
        // liquid scales a symbol by 1/sqrt(used carriers) before an unnormalised inverse FFT, so a
        // cell reaches the receiver's FFT with energy 64^2/used: the same per-carrier Es/N0 takes
        // per-sample noise 64/(used·Es/N0).
        unsigned char allocation[64];
        ofdmframe_init_default_sctype(64, allocation);
        unsigned int nulls = 0, pilots = 0, data = 0;
        ofdmframe_validate_sctype(allocation, 64, &nulls, &pilots, &data);
        const double sigma2 = kavro::test::noise_variance_at_snr(64.0 / static_cast<double>(pilots + data), es_n0_db);
        const auto noise = kavro::test::complex_noise(out.samples.size(), sigma2, 7);
        for (std::size_t i = 0; i < out.samples.size(); ++i) out.samples[i] += std::complex<float>(noise[i].re, noise[i].im);
        return out;
    }();
    return s;
}

int count_frame(std::complex<float>*, unsigned char*, unsigned int, void* userdata) {
    ++*static_cast<std::size_t*>(userdata);
    return 1;  // one data symbol is enough: reset and look for the next preamble
}

void BM_LiquidOfdmFrameSync(benchmark::State& state) {
    LiquidStream s = liquid_stream();
    std::size_t frames = 0;
    for (auto _ : state) {
        frames = 0;
        ofdmframesync q = ofdmframesync_create(64, 16, 0, nullptr, count_frame, &frames);
        ofdmframesync_execute(q, s.samples.data(), static_cast<unsigned>(s.samples.size()));
        ofdmframesync_destroy(q);
    }
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["detected"] = static_cast<double>(frames);
}
BENCHMARK(BM_LiquidOfdmFrameSync)->Unit(benchmark::kMillisecond);

}  // namespace
