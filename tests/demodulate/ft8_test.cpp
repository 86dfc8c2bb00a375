#include "demodulate/ft8.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "codec/ft4.hpp"
#include "demodulate/ft4.hpp"
#include "modulate/ft4.hpp"
#include "modulate/ft8.hpp"
#include "support/ft8_support.hpp"
#include "support/test_support.hpp"

namespace kavro {
namespace {

struct Mode {
    bool ft8;
    std::size_t tones() const { return ft8 ? 8 : 4; }
    std::size_t symbol_samples() const { return ft8 ? 1920 : 576; }
    std::size_t frame_samples() const { return ft8 ? 151680 : 60480; }
    std::size_t data_tones() const { return ft8 ? 58 : 87; }
    // Data symbols: FT8 7-35 and 43-71; FT4 5-33, 38-66 and 71-99.
    std::vector<std::size_t> data_symbols() const {
        std::vector<std::size_t> symbols;
        const auto starts = ft8 ? std::vector<std::size_t>{7, 43} : std::vector<std::size_t>{5, 38, 71};
        for (const std::size_t start : starts)
            for (std::size_t s = start; s < start + 29; ++s) symbols.push_back(s);
        return symbols;
    }
};

// The demodulator as stated: a phasor restarted for every symbol and tone, strongest tone wins.
std::vector<std::uint8_t> literal_demodulate(Mode mode, const std::vector<Complex>& x, float fs, float base_hz) {
    const float offsets8[] = {0.0f, 6.25f, 12.5f, 18.75f, 25.0f, 31.25f, 37.5f, 43.75f};
    const float offsets4[] = {0.0f, 20.833334f, 41.666668f, 62.5f};
    const std::size_t length = mode.symbol_samples();
    std::vector<std::uint8_t> decisions;
    for (const std::size_t s : mode.data_symbols()) {
        float best = -1.0f;
        std::uint8_t tone = 0;
        for (std::size_t k = 0; k < mode.tones(); ++k) {
            const float phi = (base_hz + (mode.ft8 ? offsets8 : offsets4)[k]) * (-6.2831855f) / fs;
            float sn, cs;
            sincosf(phi, &sn, &cs);
            float qr = 1.0f, qi = 0.0f, ar = 0.0f, ai = 0.0f;
            for (std::size_t n = 0; n < length; ++n) {
                const Complex v = x[s * length + n];
                ar = ar + (v.re * qr - v.im * qi);
                ai = ai + (v.im * qr + v.re * qi);
                const float re = qr * cs - qi * sn;
                qi = qi * cs + qr * sn;
                qr = re;
            }
            const float power = ar * ar + ai * ai;
            if (power > best) {
                best = power;
                tone = static_cast<std::uint8_t>(k);
            }
        }
        decisions.push_back(tone);
    }
    return decisions;
}

std::vector<std::uint8_t> random_tones(Mode mode, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> tones(mode.data_tones());
    for (auto& t : tones) t = static_cast<std::uint8_t>(rng() % mode.tones());
    return tones;
}

std::vector<Complex> modulated(Mode mode, const std::vector<std::uint8_t>& tones, float base_hz, float gain) {
    auto samples = mode.ft8 ? Ft8Mod(12000.0f, base_hz, 0.0f, gain).modulate(tones)
                            : Ft4Mod(12000.0f, base_hz, 0.0f, gain).modulate(tones);
    return std::move(*samples);
}

std::vector<std::uint8_t> demodulated(Mode mode, const std::vector<Complex>& iq, float base_hz) {
    auto tones = mode.ft8 ? Ft8Demod(12000.0f, base_hz).demodulate(iq) : Ft4Demod(12000.0f, base_hz).demodulate(iq);
    EXPECT_TRUE(tones.has_value());
    return std::move(*tones);
}

class Ft8DemodModes : public ::testing::TestWithParam<Mode> {};

// Noisy frames, with whole symbols of zeros (every power 0), of an impulse (every power equal),
// of NaN and of infinities planted in them.
TEST_P(Ft8DemodModes, EveryVariantMatchesTheLiteralModel) {
    const Mode mode = GetParam();
    const codec::ToneFrame& frame = mode.ft8 ? codec::ft8_frame : codec::ft4_frame;
    const std::span<const float> offsets =
        mode.ft8 ? std::span<const float>(ft8_tone_offsets_hz) : std::span<const float>(ft4_tone_offsets_hz);
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    std::mt19937_64 rng(113);
    for (int trial = 0; trial < 6; ++trial) {
        const float base_hz = 300.0f + 250.0f * static_cast<float>(trial);
        auto iq = modulated(mode, random_tones(mode, rng()), base_hz, 0.01f);
        test::add_noise(iq, 0.02 * trial, rng());
        const std::size_t length = mode.symbol_samples();
        for (int planted = 0; planted < 8; ++planted) {
            Complex* symbol = iq.data() + mode.data_symbols()[rng() % mode.data_tones()] * length;
            switch (planted % 4) {
                case 0: std::fill(symbol, symbol + length, Complex{}); break;
                case 1:
                    std::fill(symbol, symbol + length, Complex{});
                    symbol[0] = {0.5f, -0.25f};
                    break;
                case 2: symbol[rng() % length] = {nan, 0.0f}; break;
                default: symbol[rng() % length] = {inf, -inf}; break;
            }
        }
        const auto expected = literal_demodulate(mode, iq, 12000.0f, base_hz);
        for (const SimdLevel level : simd_levels) {
            if (!simd_level_available(level)) continue;
            std::vector<std::uint8_t> decided(mode.data_tones());
            decide_data_tones(frame, offsets, 12000.0f, base_hz, iq, decided, level);
            ASSERT_EQ(decided, expected) << "trial " << trial << ", level " << static_cast<int>(level);
        }
        EXPECT_EQ(demodulated(mode, iq, base_hz), expected);
    }
}

TEST_P(Ft8DemodModes, RecoversTheModulatedTones) {
    const Mode mode = GetParam();
    std::uint64_t seed = 5;
    for (const float base_hz : {100.0f, 1000.0f, 1500.0f, 2793.5f})
        for (const float gain : {1.0f, 0.001f, -3.0f}) {
            const auto tones = random_tones(mode, ++seed);
            auto iq = modulated(mode, tones, base_hz, gain);
            const auto extra = test::complex_noise(1000, 100.0, seed);
            iq.insert(iq.end(), extra.begin(), extra.end());  // ignored
            EXPECT_EQ(demodulated(mode, iq, base_hz), tones) << base_hz << " Hz, gain " << gain;
        }
}

// Signal over noise power in 2500 Hz at 12000 Hz: unit amplitude, E|n|² = 4.8 · 10^(-SNR/10).
TEST_P(Ft8DemodModes, AlignedFramesDecodeAtLowSnr) {
    const Mode mode = GetParam();
    const double snr_db = mode.ft8 ? -15.0 : -10.0;
    std::mt19937_64 rng(2500);
    constexpr int trials = 300;
    int decoded = 0;
    for (int t = 0; t < trials; ++t) {
        const codec::Payload payload = test::random_ft8_payload(rng());
        const auto tones = mode.ft8 ? *codec::Ft8Codec::encode(payload) : *codec::Ft4Codec::encode(payload);
        auto iq = modulated(mode, tones, 1500.0f, 1.0f);
        test::add_noise(iq, test::ft8_noise_variance(snr_db), rng());
        const auto received = demodulated(mode, iq, 1500.0f);
        const auto result = mode.ft8 ? codec::Ft8Codec::decode_hard(received) : codec::Ft4Codec::decode_hard(received);
        if (result.value()) {
            EXPECT_EQ(*result.value(), payload);
            ++decoded;
        }
    }
    EXPECT_GE(decoded, 0.9 * trials) << decoded << " of " << trials;
}

INSTANTIATE_TEST_SUITE_P(Modes, Ft8DemodModes, ::testing::Values(Mode{true}, Mode{false}),
                         [](const auto& info) { return info.param.ft8 ? "Ft8" : "Ft4"; });

}  // namespace
}  // namespace kavro
