// Throughput of the analog modulators and demodulators on 2^20 samples per call, beside
// liquid-dsp peers that serve only as a speed reference. A peer does the same work as the
// kavro_sdr object it follows: liquid's modulators produce baseband, so their peers mix the
// result up to the same carrier with liquid's NCO, and the AM envelope and FM detectors' peers
// run liquid's IIR filters where ours filter. Where a peer still does different work, its comment
// says what differs. Before timing, every benchmark checks that its output is what it should be.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <span>
#include <string>
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
using liquid_complex = std::complex<float>;

// A 993 Hz tone (0.13 rad per sample) with a little noise.
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

// The envelope of iq() around its mean: 0.3 sin(0.01 (n mod 8192)).
const std::vector<float>& am_term() {
    static const std::vector<float> x = [] {
        std::vector<float> v(block);
        for (std::size_t n = 0; n < block; ++n) v[n] = std::sin(0.01f * static_cast<float>(n % 8192));
        return v;
    }();
    return x;
}

// An FM signal (5 kHz deviation on a 1 kHz carrier) with AM and noise, so no branch of the
// detectors is trivially predicted.
const std::vector<kavro::Complex>& iq() {
    static const std::vector<kavro::Complex> x = [] {
        kavro::FmPhaseAccumMod mod(fs, 5000, 1000);
        auto v = mod.process(audio());
        std::mt19937 rng(2);
        std::normal_distribution<float> noise(0.0f, 0.05f);
        for (std::size_t n = 0; n < block; ++n) {
            const float a = 1.0f + 0.3f * am_term()[n];
            v[n] = {a * v[n].re + noise(rng), a * v[n].im + noise(rng)};
        }
        return v;
    }();
    return x;
}

const std::vector<liquid_complex>& liquid_iq() {
    static const std::vector<liquid_complex> v = [] {
        std::vector<liquid_complex> out(block);
        for (std::size_t n = 0; n < block; ++n) out[n] = {iq()[n].re, iq()[n].im};
        return out;
    }();
    return v;
}

// ---- Output checks ----

// Pearson correlation over the second halves (past any filter start-up).
double correlation(std::span<const float> a, std::span<const float> b) {
    const std::size_t from = a.size() / 2;
    const auto count = static_cast<double>(a.size() - from);
    double ma = 0, mb = 0;
    for (std::size_t n = from; n < a.size(); ++n) ma += a[n], mb += b[n];
    ma /= count, mb /= count;
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t n = from; n < a.size(); ++n) {
        sab += (a[n] - ma) * (b[n] - mb);
        saa += (a[n] - ma) * (a[n] - ma);
        sbb += (b[n] - mb) * (b[n] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

float re(const kavro::Complex& c) { return c.re; }
float im(const kavro::Complex& c) { return c.im; }
float re(const liquid_complex& c) { return c.real(); }
float im(const liquid_complex& c) { return c.imag(); }

// Mean instantaneous frequency in Hz.
template <class C>
double mean_frequency_hz(const std::vector<C>& y) {
    double sum = 0;
    for (std::size_t n = 1; n < y.size(); ++n)
        sum += std::atan2(static_cast<double>(im(y[n])) * re(y[n - 1]) - static_cast<double>(re(y[n])) * im(y[n - 1]),
                          static_cast<double>(re(y[n])) * re(y[n - 1]) + static_cast<double>(im(y[n])) * im(y[n - 1]));
    return sum / static_cast<double>(y.size() - 1) * fs / (2 * M_PI);
}

// AM on a carrier at rf_hz: the envelope follows the audio.
template <class C>
std::string am_carrier(const std::vector<C>& y, double rf_hz) {
    std::vector<float> envelope(y.size());
    for (std::size_t n = 0; n < y.size(); ++n) envelope[n] = std::hypot(re(y[n]), im(y[n]));
    if (correlation(envelope, audio()) < 0.99) return "envelope does not follow the audio";
    if (std::fabs(mean_frequency_hz(y) - rf_hz) > 20) return "carrier not at its frequency";
    return {};
}

// FM on a carrier at rf_hz: unit magnitude.
template <class C>
std::string fm_carrier(const std::vector<C>& y, double rf_hz) {
    for (const auto& v : y)
        if (std::fabs(std::hypot(re(v), im(v)) - 1.0) > 1e-3) return "magnitude is not 1";
    if (std::fabs(mean_frequency_hz(y) - rf_hz) > 20) return "carrier not at its frequency";
    return {};
}

// The audio tone sent on one sideband, found at tone_hz.
template <class C>
std::string sideband_tone(const std::vector<C>& y, double tone_hz) {
    return std::fabs(mean_frequency_hz(y) - tone_hz) > 30 ? "tone not at its frequency" : "";
}

// A demodulated output that follows the given modulation, after the detector's delay (up to
// 64 samples).
std::string follows(const std::vector<float>& out, const std::vector<float>& modulation) {
    for (const float v : out)
        if (!std::isfinite(v)) return "output not finite";
    const std::span<const float> o(out), m(modulation);
    double best = -1;
    for (std::size_t lag = 0; lag <= 64; ++lag)
        best = std::max(best, correlation(o.subspan(lag), m.first(m.size() - lag)));
    return best > 0.95 ? "" : "output does not follow the modulation";
}

std::string finite(const std::vector<float>& out) {
    for (const float v : out)
        if (!std::isfinite(v)) return "output not finite";
    return {};
}

// ---- kavro_sdr ----

template <class Modem, class Input, class Check>
void run(benchmark::State& state, Modem modem, const std::vector<Input>& input, Check check) {
    Modem probe = modem;
    if (const std::string error = check(probe.process(std::span<const Input>(input))); !error.empty())
        return state.SkipWithError(error.c_str());
    for (auto _ : state) {
        auto out = modem.process(std::span<const Input>(input));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block));
}

// Carrier and tone frequencies of the modulators below.
constexpr double kAmRf = 3000, kFmRf = 1000, kSsbRf = 2000, kSsbIf = 1500, kTone = 0.13 * fs / (2 * M_PI);

void AmDsbMod(benchmark::State& s) {
    run(s, kavro::AmDsbMod(fs, kAmRf, 0.7, 0.5), audio(), [](const auto& y) { return am_carrier(y, kAmRf); });
}
void SsbPhasingMod(benchmark::State& s) {
    // Upper sideband: a tone at f leaves at rf + if - f.
    run(s, kavro::SsbPhasingMod(fs, 3000, kSsbIf, kSsbRf, true), audio(),
        [](const auto& y) { return sideband_tone(y, kSsbRf + kSsbIf - kTone); });
}
void CwKeyedMod(benchmark::State& s) {
    run(s, kavro::CwKeyedMod(fs, 700, 5, 5), keying(), [](const auto&) { return std::string{}; });
}
void FmPhaseAccumMod(benchmark::State& s) {
    run(s, kavro::FmPhaseAccumMod(fs, 5000, kFmRf), audio(), [](const auto& y) { return fm_carrier(y, kFmRf); });
}
void PmDirectPhaseMod(benchmark::State& s) {
    run(s, kavro::PmDirectPhaseMod(fs, 1.5, 1000), audio(), [](const auto& y) { return fm_carrier(y, 1000.0); });
}
void AmEnvelopeDemodExact(benchmark::State& s) {
    run(s, kavro::AmEnvelopeDemod(fs, 5000), iq(), [](const auto& y) { return follows(y, am_term()); });
}
void AmEnvelopeDemodApprox(benchmark::State& s) {
    run(s, kavro::AmEnvelopeDemod(fs, 5000, true), iq(), [](const auto& y) { return follows(y, am_term()); });
}
void SsbProductDemod(benchmark::State& s) {
    run(s, kavro::SsbProductDemod(fs, 1000, 3000), iq(), [](const auto& y) { return finite(y); });
}
void CwEnvelopeDemod(benchmark::State& s) {
    run(s, kavro::CwEnvelopeDemod(fs, 700, 200), iq(), [](const auto& y) { return finite(y); });
}
void FmQuadratureDemod(benchmark::State& s) {
    run(s, kavro::FmQuadratureDemod(fs, 5000, 5000), iq(), [](const auto& y) { return follows(y, audio()); });
}
void PmQuadratureDemod(benchmark::State& s) {
    run(s, kavro::PmQuadratureDemod(fs, 1.0, 5000), iq(), [](const auto& y) { return finite(y); });
}

// ---- liquid-dsp peers, each producing a freshly allocated output per call like ours ----

// Mixes a baseband block up to rf_hz with liquid's NCO.
struct LiquidMixer {
    explicit LiquidMixer(double rf_hz) : nco(nco_crcf_create(LIQUID_NCO)) {
        nco_crcf_set_frequency(nco, static_cast<float>(2 * M_PI * rf_hz / fs));
    }
    ~LiquidMixer() { nco_crcf_destroy(nco); }
    void mix(std::vector<liquid_complex>& y) { nco_crcf_mix_block_up(nco, y.data(), y.data(), static_cast<unsigned>(y.size())); }
    nco_crcf nco;
};

// liquid's two-section Butterworth low-pass at 0.9 x audio_bw_hz, as our detectors use.
iirfilt_rrrf liquid_audio_lowpass(double audio_bw_hz) {
    return iirfilt_rrrf_create_prototype(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_LOWPASS, LIQUID_IIRDES_SOS, 4,
                                         static_cast<float>(0.9 * audio_bw_hz / fs), 0.0f, 1.0f, 40.0f);
}

template <class Body, class Check>
void run_liquid(benchmark::State& state, Body body, Check check) {
    if (const std::string error = check(body()); !error.empty()) return state.SkipWithError(error.c_str());
    for (auto _ : state) {
        auto out = body();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block));
}

// freqmod, then mixed up to the carrier.
void liquid_freqmod_mixed(benchmark::State& state) {
    freqmod q = freqmod_create(5000.0f / 48000.0f);
    LiquidMixer mixer(kFmRf);
    std::vector<float> in = audio();
    run_liquid(state, [&] {
        std::vector<liquid_complex> out(block);
        freqmod_modulate_block(q, in.data(), block, out.data());
        mixer.mix(out);
        return out;
    }, [](const auto& y) { return fm_carrier(y, kFmRf); });
    freqmod_destroy(q);
}

// ampmodem, then mixed up to the carrier. The USB modulator makes its sideband with a Hilbert
// filter; ours mixes to an IF and low-passes (Weaver).
void liquid_ampmodem_mod_mixed(benchmark::State& state, liquid_ampmodem_type type, int suppressed) {
    ampmodem q = ampmodem_create(0.5f, type, suppressed);
    const double rf = type == LIQUID_AMPMODEM_DSB ? kAmRf : kSsbRf;
    LiquidMixer mixer(rf);
    std::vector<float> in = audio();
    run_liquid(state, [&] {
        std::vector<liquid_complex> out(block);
        ampmodem_modulate_block(q, in.data(), block, out.data());
        mixer.mix(out);
        return out;
    }, [&](const auto& y) { return type == LIQUID_AMPMODEM_DSB ? am_carrier(y, rf) : sideband_tone(y, rf + kTone); });
    ampmodem_destroy(q);
}

// Plain discriminator: liquid's freqdem, then the same two-section audio low-pass as ours.
void liquid_freqdem_lowpass(benchmark::State& state) {
    freqdem q = freqdem_create(5000.0f / 48000.0f);
    iirfilt_rrrf lowpass = liquid_audio_lowpass(5000);
    run_liquid(state, [&] {
        std::vector<float> out(block);
        freqdem_demodulate_block(q, const_cast<liquid_complex*>(liquid_iq().data()), block, out.data());
        iirfilt_rrrf_execute_block(lowpass, out.data(), block, out.data());
        return out;
    }, [](const auto& y) { return follows(y, audio()); });
    iirfilt_rrrf_destroy(lowpass);
    freqdem_destroy(q);
}

// The envelope detector's work with liquid's filters: power, the two-section low-pass, square
// root, liquid's DC blocker. The power and square-root loops are plain C++ (liquid has no block
// function for them).
void liquid_envelope_lowpass(benchmark::State& state) {
    iirfilt_rrrf lowpass = liquid_audio_lowpass(5000);
    iirfilt_rrrf dc_blocker = iirfilt_rrrf_create_dc_blocker(0.001f);
    run_liquid(state, [&] {
        std::vector<float> out(block);
        const auto& x = liquid_iq();
        for (std::size_t n = 0; n < block; ++n) out[n] = x[n].real() * x[n].real() + x[n].imag() * x[n].imag();
        iirfilt_rrrf_execute_block(lowpass, out.data(), block, out.data());
        for (auto& v : out) v = std::sqrt(std::fmax(v, 0.0f));
        iirfilt_rrrf_execute_block(dc_blocker, out.data(), block, out.data());
        return out;
    }, [](const auto& y) { return follows(y, am_term()); });
    iirfilt_rrrf_destroy(dc_blocker);
    iirfilt_rrrf_destroy(lowpass);
}

// Different work, kept for reference: liquid's ampmodem demodulators. With a carrier (DSB) it
// locks a PLL to the carrier and detects coherently, with its own filters; the USB demodulator
// mixes down and runs a Hilbert filter, where ours is a product detector with a two-section
// low-pass and a DC blocker.
void liquid_ampmodem_demod(benchmark::State& state, liquid_ampmodem_type type, int suppressed) {
    ampmodem q = ampmodem_create(0.5f, type, suppressed);
    run_liquid(state, [&] {
        std::vector<float> out(block);
        ampmodem_demodulate_block(q, const_cast<liquid_complex*>(liquid_iq().data()), block, out.data());
        return out;
    }, [](const auto& y) { return finite(y); });
    ampmodem_destroy(q);
}

}  // namespace

BENCHMARK(AmDsbMod)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(liquid_ampmodem_mod_mixed, dsb_carrier, LIQUID_AMPMODEM_DSB, 0)->Unit(benchmark::kMillisecond);
BENCHMARK(SsbPhasingMod)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(liquid_ampmodem_mod_mixed, usb, LIQUID_AMPMODEM_USB, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(CwKeyedMod)->Unit(benchmark::kMillisecond);
BENCHMARK(FmPhaseAccumMod)->Unit(benchmark::kMillisecond);
BENCHMARK(liquid_freqmod_mixed)->Unit(benchmark::kMillisecond);
BENCHMARK(PmDirectPhaseMod)->Unit(benchmark::kMillisecond);
BENCHMARK(AmEnvelopeDemodExact)->Unit(benchmark::kMillisecond);
BENCHMARK(AmEnvelopeDemodApprox)->Unit(benchmark::kMillisecond);
BENCHMARK(liquid_envelope_lowpass)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(liquid_ampmodem_demod, dsb_carrier_pll_different_work, LIQUID_AMPMODEM_DSB, 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SsbProductDemod)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(liquid_ampmodem_demod, usb_different_work, LIQUID_AMPMODEM_USB, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(CwEnvelopeDemod)->Unit(benchmark::kMillisecond);
BENCHMARK(FmQuadratureDemod)->Unit(benchmark::kMillisecond);
BENCHMARK(liquid_freqdem_lowpass)->Unit(benchmark::kMillisecond);
BENCHMARK(PmQuadratureDemod)->Unit(benchmark::kMillisecond);
