#include "modulate/ofdm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "multicarrier/fft_block.hpp"
#include "support/test_support.hpp"

namespace kavro {
namespace {

// 48 data carriers and 4 pilots in the lower 53 of 64 bins, as in IEEE 802.11a.
OfdmConfig config(std::string_view constellation, float rf_hz = 0.0f, float gain = 1.0f, std::size_t cp_len = 16) {
    std::vector<std::int32_t> data;
    for (std::int32_t k = -26; k <= 26; ++k) {
        if (k != 0 && k != -21 && k != -7 && k != 7 && k != 21) data.push_back(k);
    }
    const std::vector<std::int32_t> pilot_indices{-21, -7, 7, 21};
    const std::vector<Complex> pilot_values{{1, 0}, {1, 0}, {1, 0}, {-1, 0}};
    return *OfdmConfig::create(64, cp_len, std::span(data), std::span(pilot_indices), std::span(pilot_values), 48000.0f,
                               rf_hz, gain, constellation, std::nullopt);
}

TEST(OfdmMod, RefusesAPrefixLongerThanTheSymbol) {
    const auto mod = OfdmMod::create(config("qpsk", 0, 1, 65));
    ASSERT_FALSE(mod.has_value());
    EXPECT_EQ(error_message(mod.error()), "OfdmMod: cp_len (65) must not exceed n_fft (64)");
    EXPECT_TRUE(OfdmMod::create(config("qpsk", 0, 1, 64)).has_value());
}

TEST(OfdmMod, OutputLengthIsCheckedForOverflow) {
    EXPECT_EQ(ofdm_output_samples(0, 96, 80), 0u);
    EXPECT_EQ(ofdm_output_samples(97, 96, 80), 160u);
    EXPECT_EQ(ofdm_output_samples(SIZE_MAX, SIZE_MAX, 80), 80u);
    EXPECT_THROW(ofdm_output_samples(SIZE_MAX, 1, 80), std::bad_alloc);
    EXPECT_THROW(ofdm_output_samples(SIZE_MAX / 64, 1, 80), std::bad_alloc);
}

// The cell of `width` bits written out: BPSK and QPSK send bit 0 as the positive level; square QAM
// reads the first half of the bits (most significant first) as the I Gray index and the second
// half as the Q index, at level 2k − (L − 1) for Gray rank k, scaled to unit mean energy.
Complex literal_cell(const std::uint8_t* bits, unsigned width) {
    if (width == 1) return {bits[0] ? -1.0f : 1.0f, 0.0f};
    if (width == 2) return {bits[0] ? -0.70710678f : 0.70710678f, bits[1] ? -0.70710678f : 0.70710678f};
    const auto axis = [&](const std::uint8_t* b) {
        const unsigned half = width / 2, levels = 1u << half;
        unsigned gray = 0;
        for (unsigned i = 0; i < half; ++i) gray = 2 * gray + b[i];
        unsigned rank = 0;
        for (unsigned g = gray; g != 0; g >>= 1) rank ^= g;
        return (2.0 * rank - (levels - 1.0)) / std::sqrt(2.0 * (levels * levels - 1.0) / 3.0);
    };
    return {static_cast<float>(axis(bits)), static_cast<float>(axis(bits + width / 2))};
}

class OfdmModSpectrum : public testing::TestWithParam<const char*> {};

TEST_P(OfdmModSpectrum, BodyTransformsBackToCellsAndPilots) {
    const OfdmConfig cfg = config(GetParam());
    auto mod = *OfdmMod::create(cfg);
    const std::size_t b = mod.bits_per_ofdm_symbol();
    ASSERT_EQ(b, cfg.bits_per_ofdm_symbol());
    const std::vector<std::uint8_t> bits = test::random_bits(3 * b, 11);
    const std::vector<Complex> out = mod.modulate(bits);
    ASSERT_EQ(out.size(), 3 * 80u);

    const unsigned width = static_cast<unsigned>(b / 48);
    FftBlock fft(64);
    for (std::size_t m = 0; m < 3; ++m) {
        const std::span<const Complex> symbol = std::span(out).subspan(m * 80, 80);
        for (std::size_t j = 0; j < 16; ++j) EXPECT_EQ(symbol[j], symbol[64 + j]) << j;

        std::vector<Complex> bins(64);
        fft.process(symbol.subspan(16), bins);
        std::vector<Complex> want(64);
        const std::uint8_t* cell_bits = &bits[m * b];
        for (int k = -26; k <= 26; ++k) {
            const std::size_t bin = static_cast<std::size_t>(k + 64) % 64;
            if (k == -21 || k == -7 || k == 7) want[bin] = {1, 0};
            else if (k == 21) want[bin] = {-1, 0};
            else if (k != 0) want[bin] = literal_cell(cell_bits, width), cell_bits += width;
        }
        for (std::size_t k = 0; k < 64; ++k) {
            EXPECT_NEAR(bins[k].re, want[k].re, 1e-5) << m << " " << k;
            EXPECT_NEAR(bins[k].im, want[k].im, 1e-5) << m << " " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Constellations, OfdmModSpectrum, testing::Values("bpsk", "qpsk", "qam16", "qam64", "qam256"));

Complex first_data_cell(const std::vector<Complex>& symbol, const OfdmConfig& cfg) {
    FftBlock fft(64);
    std::vector<Complex> bins(64);
    fft.process(std::span(symbol).subspan(16), bins);
    return bins[CarrierGrid::from_plan(cfg.plan()).data_bins[0]];
}

TEST(OfdmMod, ReadsOnlyBitZeroAndZeroFillsTheLastSymbol) {
    const OfdmConfig cfg = config("bpsk");
    for (std::uint8_t byte : {1, 3, 255}) {
        auto mod = *OfdmMod::create(cfg);
        const std::vector<Complex> out = mod.modulate(std::vector<std::uint8_t>{byte});
        ASSERT_EQ(out.size(), 80u);
        std::vector<std::uint8_t> padded(48, 0);
        padded[0] = 1;
        EXPECT_EQ(out, mod.modulate(padded)) << int(byte);
        EXPECT_NEAR(first_data_cell(out, cfg).re, -1.0f, 1e-5);
    }
    auto mod = *OfdmMod::create(cfg);
    EXPECT_EQ(mod.modulate(std::vector<std::uint8_t>(49, 2)).size(), 160u);  // 2 counts as 0
}

TEST(OfdmMod, SixteenQamCell) {
    const OfdmConfig cfg = config("qam16");
    auto mod = *OfdmMod::create(cfg);
    std::vector<std::uint8_t> bits(mod.bits_per_ofdm_symbol(), 0);
    bits[2] = 1;
    const Complex cell = first_data_cell(mod.modulate(bits), cfg);
    EXPECT_NEAR(cell.re, -0.9486833f, 1e-5);
    EXPECT_NEAR(cell.im, 0.9486833f, 1e-5);
}

class OfdmModChunks : public testing::TestWithParam<float> {};

TEST_P(OfdmModChunks, SplittingAtSymbolBoundariesChangesNothing) {
    const OfdmConfig cfg = config("qam16", GetParam(), 0.5f);
    auto whole = *OfdmMod::create(cfg);
    auto pieces = *OfdmMod::create(cfg);
    const std::size_t b = whole.bits_per_ofdm_symbol();
    const std::vector<std::uint8_t> bits = test::random_bits(40 * b, 5);  // 3200 samples: renormalises twice
    const std::vector<Complex> once = whole.modulate(bits);

    std::vector<Complex> joined;
    std::size_t at = 0;
    for (std::size_t symbols : {1, 0, 13, 26}) {
        const auto part = pieces.modulate(std::span(bits).subspan(at, symbols * b));
        joined.insert(joined.end(), part.begin(), part.end());
        at += symbols * b;
    }
    EXPECT_EQ(joined, once);
}

INSTANTIATE_TEST_SUITE_P(Frequencies, OfdmModChunks, testing::Values(0.0f, 3000.0f));

TEST(OfdmMod, MixesWithTheOscillatorThenAppliesTheGain) {
    const std::vector<std::uint8_t> bits = test::random_bits(3 * 96, 9);
    auto baseband = *OfdmMod::create(config("qpsk"));
    auto mixed = *OfdmMod::create(config("qpsk", 5000.0f, 0.25f));
    const std::vector<Complex> base = baseband.modulate(bits);
    EXPECT_TRUE(mixed.modulate({}).empty());  // an empty call leaves the oscillator where it was
    const std::vector<Complex> out = mixed.modulate(bits);

    ASSERT_EQ(out.size(), base.size());
    for (std::size_t j = 0; j < out.size(); ++j) {
        const double phase = 2 * M_PI * 5000.0 / 48000.0 * static_cast<double>(j + 1);
        const double c = std::cos(phase), s = std::sin(phase);
        EXPECT_NEAR(out[j].re, 0.25 * (base[j].re * c - base[j].im * s), 1e-6) << j;
        EXPECT_NEAR(out[j].im, 0.25 * (base[j].re * s + base[j].im * c), 1e-6) << j;
    }

    auto scaled = *OfdmMod::create(config("qpsk", 0.0f, 0.25f));
    const std::vector<Complex> quiet = scaled.modulate(bits);
    for (std::size_t j = 0; j < quiet.size(); ++j) EXPECT_EQ(quiet[j], base[j] * 0.25f) << j;
}

}  // namespace
}  // namespace kavro
