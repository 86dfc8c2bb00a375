// PSK31: demodulators and modulators beside liquid-dsp chains doing the same job (NCO mix,
// polyphase decimator or interpolator with the half-cosine window, DPSK2/DPSK4 modem), the batch
// and streaming Viterbi decoders, Varicode on English text, 96 streaming receivers on one band
// and the carrier search on 60 s of a band.

#include <benchmark/benchmark.h>

#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include <liquid/liquid.h>

#include "codec/psk31.hpp"
#include "codec/varicode.hpp"
#include "demodulate/psk31.hpp"
#include "demodulate/psk31_stream.hpp"
#include "modulate/psk31.hpp"
#include "support/test_support.hpp"
#include "sync/psk31_sync.hpp"

namespace {

using kavro::Complex;
using liquid_complex = std::complex<float>;

constexpr std::size_t kChunk = 4096;

const char* const kEnglish =
    "Good evening from the lighthouse on the north cape! The wind dropped at 3 pm and the sea went flat, so "
    "tonight the band is quiet and the signals are clean. I am running a small transceiver into a wire antenna "
    "strung between the tower and an old oak tree, about ten metres above the rocks. ";

std::vector<std::uint8_t> english(std::size_t repeats) {
    std::vector<std::uint8_t> text;
    for (std::size_t i = 0; i < repeats; ++i) text.insert(text.end(), kEnglish, kEnglish + std::strlen(kEnglish));
    return text;
}

std::vector<Complex> received(bool qpsk, float fs, float rf, std::size_t bits) {
    const auto b = kavro::test::random_bits(bits, 3);
    auto iq = qpsk ? kavro::Qpsk31Mod::create(fs, rf, 1)->modulate_bits(b) : kavro::Bpsk31Mod::create(fs, rf, 1)->modulate_bits(b);
    kavro::test::add_noise(iq, 0.1, 4);
    return iq;
}

template <class Demod>
void demodulate(benchmark::State& state, bool qpsk) {
    const auto iq = received(qpsk, 8000, 1000, 512);
    auto demod = *Demod::create(8000, 1000, 1);
    std::vector<float> out(2 * (kChunk / 256 + 2));
    std::size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(demod.process(std::span(iq).subspan(at, kChunk), out));
        at = (at + kChunk) % (iq.size() - kChunk);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}
void BM_Bpsk31Demod(benchmark::State& state) { demodulate<kavro::Bpsk31Demod>(state, false); }
void BM_Qpsk31Demod(benchmark::State& state) { demodulate<kavro::Qpsk31Demod>(state, true); }
BENCHMARK(BM_Bpsk31Demod);
BENCHMARK(BM_Qpsk31Demod);

// The same job in liquid-dsp: mix down, integrate each symbol against the window (a decimator
// by sps with the window as taps), differential decision.
void BM_LiquidPsk31DemodChain(benchmark::State& state) {
    const auto iq = received(false, 8000, 1000, 512);
    std::vector<liquid_complex> x(iq.size());
    for (std::size_t i = 0; i < iq.size(); ++i) x[i] = {iq[i].re, iq[i].im};
    auto window = kavro::waveform::make_hann(256);
    nco_crcf nco = nco_crcf_create(LIQUID_NCO);
    nco_crcf_set_frequency(nco, -2.0f * 3.14159265f * 1000.0f / 8000.0f);
    firdecim_crcf decim = firdecim_crcf_create(256, window.data(), 256);
    modemcf dpsk = modemcf_create(LIQUID_MODEM_DPSK2);
    std::vector<liquid_complex> mixed(kChunk), symbols(kChunk / 256);
    std::size_t at = 0;
    unsigned bits = 0;
    for (auto _ : state) {
        nco_crcf_mix_block_down(nco, x.data() + at, mixed.data(), kChunk);
        firdecim_crcf_execute_block(decim, mixed.data(), kChunk / 256, symbols.data());
        for (auto& s : symbols) {
            unsigned sym = 0;
            modemcf_demodulate(dpsk, s, &sym);
            bits += sym;
        }
        at = (at + kChunk) % (x.size() - kChunk);
    }
    benchmark::DoNotOptimize(bits);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
    modemcf_destroy(dpsk);
    firdecim_crcf_destroy(decim);
    nco_crcf_destroy(nco);
}
BENCHMARK(BM_LiquidPsk31DemodChain);

template <class Mod>
void modulate(benchmark::State& state) {
    auto mod = *Mod::create(48000, 1500, 1);
    const auto bits = kavro::test::random_bits(256, 5);
    for (auto _ : state) benchmark::DoNotOptimize(mod.modulate_bits(bits));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 256 * 1536));
}
void BM_Bpsk31Mod(benchmark::State& state) { modulate<kavro::Bpsk31Mod>(state); }
void BM_Qpsk31Mod(benchmark::State& state) { modulate<kavro::Qpsk31Mod>(state); }
BENCHMARK(BM_Bpsk31Mod);
BENCHMARK(BM_Qpsk31Mod);

// liquid-dsp: DPSK2 symbols, an interpolator by sps whose pulse is [shape, 1 - shape] (the ramp
// into a symbol and out of it), NCO mix up; a fresh output per call as ours.
void BM_LiquidPsk31ModChain(benchmark::State& state) {
    constexpr unsigned sps = 1536;
    const auto shape = kavro::waveform::make_hann(sps);
    std::vector<float> pulse(2 * sps);
    for (unsigned i = 0; i < sps; ++i) {
        pulse[i] = shape[i];
        pulse[sps + i] = 1.0f - shape[i];
    }
    modemcf dpsk = modemcf_create(LIQUID_MODEM_DPSK2);
    firinterp_crcf interp = firinterp_crcf_create(sps, pulse.data(), 2 * sps);
    nco_crcf nco = nco_crcf_create(LIQUID_NCO);
    nco_crcf_set_frequency(nco, 2.0f * 3.14159265f * 1500.0f / 48000.0f);
    const auto bits = kavro::test::random_bits(256, 5);
    std::vector<liquid_complex> symbols(256);
    for (auto _ : state) {
        for (std::size_t k = 0; k < bits.size(); ++k) modemcf_modulate(dpsk, bits[k], &symbols[k]);
        std::vector<liquid_complex> out(256 * sps);
        firinterp_crcf_execute_block(interp, symbols.data(), 256, out.data());
        nco_crcf_mix_block_up(nco, out.data(), out.data(), static_cast<unsigned>(out.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 256 * sps));
    nco_crcf_destroy(nco);
    firinterp_crcf_destroy(interp);
    modemcf_destroy(dpsk);
}
BENCHMARK(BM_LiquidPsk31ModChain);

std::vector<float> noisy_pairs(std::size_t n) {
    const auto bits = kavro::test::random_bits(n, 6);
    const auto noise = kavro::test::complex_noise(n, 0.5, 7);
    std::vector<float> soft(2 * n);
    std::uint8_t state = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const auto step = kavro::codec::qpsk31_encode_step(state, bits[k]);
        state = step.next_state;
        soft[2 * k] = kavro::codec::qpsk31_phase_steps[step.rotation].re + noise[k].re;
        soft[2 * k + 1] = kavro::codec::qpsk31_phase_steps[step.rotation].im + noise[k].im;
    }
    return soft;
}

void BM_ViterbiDecode(benchmark::State& state) {
    const auto soft = noisy_pairs(1000000);
    for (auto _ : state) benchmark::DoNotOptimize(kavro::codec::viterbi_decode(soft));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 1000000));
}
BENCHMARK(BM_ViterbiDecode)->Unit(benchmark::kMillisecond);

void BM_StreamingViterbi(benchmark::State& state) {
    const auto soft = noisy_pairs(100000);
    for (auto _ : state) {
        kavro::codec::StreamingViterbi v;
        unsigned ones = 0;
        for (std::size_t k = 0; k < 100000; ++k) ones += v.feed_symbol(soft[2 * k], soft[2 * k + 1]).value_or(0);
        benchmark::DoNotOptimize(ones);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 100000));
}
BENCHMARK(BM_StreamingViterbi)->Unit(benchmark::kMillisecond);

void BM_VaricodeEncode(benchmark::State& state) {
    const auto text = english(200);
    std::size_t bits = 0;
    for (auto _ : state) {
        kavro::codec::VaricodeEncoder e;
        for (const auto b : text) e.push_byte(b);
        bits = e.drain_bits().size();
        benchmark::DoNotOptimize(bits);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bits));
}
BENCHMARK(BM_VaricodeEncode)->Unit(benchmark::kMillisecond);

void BM_VaricodeDecode(benchmark::State& state) {
    kavro::codec::VaricodeEncoder e;
    for (const auto b : english(200)) e.push_byte(b);
    e.push_postamble(2);
    const auto bits = e.drain_bits();
    for (auto _ : state) {
        kavro::codec::VaricodeDecoder d;
        d.push_bits(bits);
        benchmark::DoNotOptimize(d.pop_bytes());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bits.size()));
}
BENCHMARK(BM_VaricodeDecode)->Unit(benchmark::kMillisecond);

// 60 s of a band at 8000 Hz: complex noise holding three BPSK31 transmissions.
const std::vector<Complex>& band() {
    static const std::vector<Complex> samples = [] {
        std::vector<Complex> iq = kavro::test::complex_noise(60 * 8000, 0.05, 8);
        const auto text = english(2);
        const float carriers[] = {1000.0f, 1500.0f, 2000.0f};
        for (std::size_t t = 0; t < 3; ++t) {
            const auto sent = kavro::Bpsk31Mod::create(8000, carriers[t], 1)->modulate_text(text, 32, 32);
            const std::size_t start = t * 40000 * 2;
            for (std::size_t i = 0; i < sent.size() && start + i < iq.size(); ++i) iq[start + i] = iq[start + i] + sent[i];
        }
        return iq;
    }();
    return samples;
}

void many_streams(benchmark::State& state, const char* mode) {
    const auto& iq = band();
    for (auto _ : state) {
        std::vector<kavro::Psk31Stream> streams;
        for (int k = 0; k < 96; ++k) streams.push_back(*kavro::Psk31Stream::create(mode, mode, 8000, 500.0f + 31.25f * k, 1.0f));
        std::size_t chars = 0;
        kavro::test::feed_in_chunks(std::span(iq), kChunk, [&](std::span<const kavro::Complex> chunk) {
            for (auto& s : streams) chars += s.feed(chunk).size();
        });
        benchmark::DoNotOptimize(chars);
    }
    state.counters["x_real_time"] = benchmark::Counter(60.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
void BM_Psk31Stream96Bpsk(benchmark::State& state) { many_streams(state, "bpsk"); }
void BM_Psk31Stream96Qpsk(benchmark::State& state) { many_streams(state, "qpsk"); }
BENCHMARK(BM_Psk31Stream96Bpsk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Psk31Stream96Qpsk)->Unit(benchmark::kMillisecond);

// The same 96 channels through the liquid-dsp chain (DPSK2 or DPSK4 decisions).
void liquid_channels(benchmark::State& state, modulation_scheme scheme) {
    const auto& iq = band();
    std::vector<liquid_complex> x(iq.size());
    for (std::size_t i = 0; i < iq.size(); ++i) x[i] = {iq[i].re, iq[i].im};
    auto window = kavro::waveform::make_hann(256);
    for (auto _ : state) {
        std::vector<nco_crcf> ncos;
        std::vector<firdecim_crcf> decims;
        std::vector<modemcf> modems;
        for (int k = 0; k < 96; ++k) {
            ncos.push_back(nco_crcf_create(LIQUID_NCO));
            nco_crcf_set_frequency(ncos.back(), -2.0f * 3.14159265f * (500.0f + 31.25f * k) / 8000.0f);
            decims.push_back(firdecim_crcf_create(256, window.data(), 256));
            modems.push_back(modemcf_create(scheme));
        }
        std::vector<liquid_complex> mixed(kChunk), symbols(kChunk / 256);
        unsigned total = 0;
        for (std::size_t at = 0; at + kChunk <= x.size(); at += kChunk) {
            for (int k = 0; k < 96; ++k) {
                nco_crcf_mix_block_down(ncos[k], x.data() + at, mixed.data(), kChunk);
                firdecim_crcf_execute_block(decims[k], mixed.data(), kChunk / 256, symbols.data());
                for (auto& s : symbols) {
                    unsigned sym = 0;
                    modemcf_demodulate(modems[k], s, &sym);
                    total += sym;
                }
            }
        }
        benchmark::DoNotOptimize(total);
        for (int k = 0; k < 96; ++k) {
            nco_crcf_destroy(ncos[k]);
            firdecim_crcf_destroy(decims[k]);
            modemcf_destroy(modems[k]);
        }
    }
    state.counters["x_real_time"] = benchmark::Counter(60.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
void BM_LiquidChannels96Dpsk2(benchmark::State& state) { liquid_channels(state, LIQUID_MODEM_DPSK2); }
void BM_LiquidChannels96Dpsk4(benchmark::State& state) { liquid_channels(state, LIQUID_MODEM_DPSK4); }
BENCHMARK(BM_LiquidChannels96Dpsk2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LiquidChannels96Dpsk4)->Unit(benchmark::kMillisecond);

void BM_Psk31Sync60s(benchmark::State& state) {
    const auto& iq = band();
    for (auto _ : state) benchmark::DoNotOptimize(kavro::psk31_sync(iq, 8000, 500, 2500, 8, 6.0f, 1024, 10));
}
BENCHMARK(BM_Psk31Sync60s)->Unit(benchmark::kMillisecond);

}  // namespace
