#include "sync/ofdm_sync.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/phasor_nco.hpp"
#include "modulate/ofdm.hpp"
#include "multicarrier/fft_block.hpp"
#include "multicarrier/symbol_fft.hpp"
#include "support/ofdm_sync_reference.hpp"
#include "support/test_support.hpp"
#include "core/pseudo_random.hpp"

namespace kavro {
namespace {

constexpr float fs = 48000.0f;

OfdmConfig config(bool with_pilots = false, float gain = 1.0f) { return test::sync_test_config(fs, with_pilots, gain); }

std::vector<Complex> fft(std::span<const Complex> x) {
    FftBlock block(x.size());
    std::vector<Complex> out(x.size());
    block.process(x, out);
    return out;
}

// ---- The preamble --------------------------------------------------------------------------

TEST(BandLimitedRepeatBase, OccupiesEveryMthBinAtTheDataPower) {
    const OfdmConfig cfg = config();
    const std::vector<Complex> segment = band_limited_repeat_base(cfg, 16);
    ASSERT_EQ(segment.size(), 16u);

    // Four periods make one n_fft-long block whose spectrum sits on bins ±4, ±8, ..., ±24.
    std::vector<Complex> block;
    for (int i = 0; i < 4; ++i) block.insert(block.end(), segment.begin(), segment.end());
    const std::vector<Complex> spectrum = fft(block);
    const std::vector<Complex> values = pseudo_random_unit_sequence(12, preamble_seed);
    const std::size_t order[] = {4, 60, 8, 56, 12, 52, 16, 48, 20, 44, 24, 40};
    double power = 0.0;
    for (const Complex& s : segment) power += norm(s);
    const float amplitude = spectrum[4].re / values[0].re;  // 64 · the gain applied to the segment
    for (std::size_t bin = 0; bin < 64; ++bin) {
        const std::size_t* slot = std::find(std::begin(order), std::end(order), bin);
        const Complex want = slot == std::end(order) ? Complex{} : values[static_cast<std::size_t>(slot - order)] * amplitude;
        EXPECT_NEAR(spectrum[bin].re, want.re, 2e-5f) << bin;
        EXPECT_NEAR(spectrum[bin].im, want.im, 2e-5f) << bin;
    }
    EXPECT_NEAR(power / 16.0, 4.0 * 52.0 / (64.0 * 64.0), 1e-7);

    // R = 2: no multiple of 32 up to 26, so the unscaled pseudo-random segment.
    EXPECT_EQ(band_limited_repeat_base(cfg, 2), pseudo_random_unit_sequence(2, preamble_seed));
    EXPECT_EQ(band_limited_repeat_base(cfg, 48), pseudo_random_unit_sequence(48, preamble_seed));  // 64 % 48 != 0
}

TEST(GenerateOfdmPreamble, RepeatsTheSegmentThenAppendsTheTrainingSymbol) {
    const OfdmConfig cfg = config(true, 2.0f);
    const auto preamble = generate_ofdm_preamble(cfg, PreambleParams{3, 16, TrainingShape{64, 16}});
    ASSERT_TRUE(preamble.has_value());
    ASSERT_EQ(preamble->size(), 3u * 16u + 80u);
    const std::vector<Complex> segment = band_limited_repeat_base(cfg, 16);
    for (std::size_t i = 0; i < 48; ++i) EXPECT_EQ((*preamble)[i], segment[i % 16] * 2.0f) << i;

    const std::span<const Complex> training = std::span(*preamble).subspan(48);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(training[i], training[64 + i]);
    const std::vector<Complex> bins = fft(training.subspan(16));
    const std::vector<Complex> x = pseudo_random_unit_sequence(64, training_seed);
    for (std::size_t bin = 0; bin < 64; ++bin) {
        const bool used = bin != 0 && (bin <= 26 || bin >= 38);
        const Complex want = used ? x[bin] * 2.0f : Complex{};
        EXPECT_NEAR(bins[bin].re, want.re, 1e-5f) << bin;
        EXPECT_NEAR(bins[bin].im, want.im, 1e-5f) << bin;
    }
}

TEST(GenerateOfdmPreamble, DegenerateLayouts) {
    const OfdmConfig cfg = config();
    EXPECT_TRUE(generate_ofdm_preamble(cfg, PreambleParams{0, 16, std::nullopt})->empty());
    EXPECT_EQ(generate_ofdm_preamble(cfg, PreambleParams{0, 16, TrainingShape{64, 16}})->size(), 80u);
    // A training FFT size of 0 adds nothing.
    EXPECT_EQ(generate_ofdm_preamble(cfg, PreambleParams{2, 16, TrainingShape{0, 0}})->size(), 32u);
    // One training size alone is ignored.
    EXPECT_EQ(*generate_ofdm_preamble_call(cfg, 2, 16, 64, std::nullopt), *generate_ofdm_preamble_call(cfg, 2, 16, std::nullopt, 16));
    EXPECT_EQ(generate_ofdm_preamble_call(cfg, 2, 16, 64, 16)->size(), 112u);
}

TEST(GenerateOfdmPreamble, RefusesLayoutsItCannotBuild) {
    const OfdmConfig cfg = config();
    EXPECT_EQ(error_message(generate_ofdm_preamble(cfg, PreambleParams{2, 16, TrainingShape{64, 65}}).error()),
              "generate_ofdm_preamble: training_cp_len (65) must not exceed training_n_fft (64)");
    EXPECT_EQ(error_message(generate_ofdm_preamble(cfg, PreambleParams{2, 16, TrainingShape{0, 1}}).error()),
              "generate_ofdm_preamble: training_cp_len (1) must not exceed training_n_fft (0)");
    EXPECT_EQ(error_message(generate_ofdm_preamble(cfg, PreambleParams{1, 1, TrainingShape{std::size_t{1} << 31, 0}}).error()),
              "generate_ofdm_preamble: training_n_fft (2147483648) exceeds the largest FFT size (2147483647)");
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    EXPECT_EQ(error_message(generate_ofdm_preamble(cfg, PreambleParams{huge, 4, std::nullopt}).error()),
              "generate_ofdm_preamble: preamble too long (num_repeats " + std::to_string(huge) +
                  " x repeat_len 4 + training 0 + 0)");
    EXPECT_FALSE(generate_ofdm_preamble(cfg, PreambleParams{1, huge, std::nullopt}).has_value());  // beyond memory
    EXPECT_FALSE(generate_ofdm_preamble(cfg, PreambleParams{2, huge, TrainingShape{64, 16}}).has_value());
}

// ---- The search ----------------------------------------------------------------------------

void expect_identical(const std::vector<OfdmSyncResult>& got, const std::vector<OfdmSyncResult>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].start_sample, want[i].start_sample) << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].cfo_hz), std::bit_cast<std::uint32_t>(want[i].cfo_hz)) << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(want[i].score)) << i;
        ASSERT_EQ(got[i].integer_cfo_bins, want[i].integer_cfo_bins) << i;
    }
}

struct ScanCase {
    std::size_t repeats, r;
    std::optional<TrainingShape> training;
    std::size_t len, search_start, search_end;
    enum { Plain, WithNaN, Huge } data;
};

class OfdmSyncAgainstLiteral : public testing::TestWithParam<ScanCase> {};

TEST_P(OfdmSyncAgainstLiteral, IsBitIdenticalOnRandomData) {
    const ScanCase c = GetParam();
    std::vector<Complex> iq = test::complex_noise(c.len, 0.08, c.len + c.r);
    // Power steps and a periodic stretch, so that scores spread and E_max is not the first offset.
    for (std::size_t i = c.len / 3; i < c.len / 2; ++i) iq[i] = iq[i] * 3.0f;
    for (std::size_t i = c.len / 2 + c.r; i < c.len / 2 + 6 * c.r && i < c.len; ++i) iq[i] = iq[i - c.r];
    if (c.data == ScanCase::WithNaN)
        for (std::size_t i = 17; i < c.len; i += c.len / 7) iq[i] = {NAN, 0.0f};
    if (c.data == ScanCase::Huge)
        for (std::size_t i = c.len / 4; i < c.len / 3; ++i) iq[i] = iq[i] * 1e12f;
    const PreambleParams params{c.repeats, c.r, c.training};
    const auto got = ofdm_sync(iq, params, c.search_start, c.search_end, fs);
    ASSERT_FALSE(got.empty());
    expect_identical(got, test::literal_ofdm_sync(iq, params, c.search_start, c.search_end, fs));
    for (const OfdmSyncResult& result : got) ASSERT_TRUE(result.score >= 0.0f && result.score <= 1.0f);
}

constexpr std::size_t all = std::numeric_limits<std::size_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Layouts, OfdmSyncAgainstLiteral,
    testing::Values(ScanCase{4, 16, TrainingShape{64, 16}, 40000, 0, all, ScanCase::Plain},
                    ScanCase{2, 5, std::nullopt, 3001, 7, 2000, ScanCase::Plain},
                    ScanCase{7, 3, TrainingShape{8, 2}, 1000, 0, all, ScanCase::Plain},
                    ScanCase{3, 1000, std::nullopt, 8000, 0, all, ScanCase::Plain},
                    ScanCase{4, 16, TrainingShape{16, 20}, 5000, 0, all, ScanCase::WithNaN},
                    ScanCase{4, 16, TrainingShape{64, 16}, 5000, 0, all, ScanCase::Huge}));

struct Burst {
    std::vector<Complex> iq;
    std::size_t start;
};

const PreambleParams layout{4, 16, TrainingShape{64, 16}};

// Silence, the preamble (4 x 16 with a 64/16 training symbol by default), then five data symbols.
Burst burst(const OfdmConfig& cfg, std::size_t silence, const PreambleParams& params = layout, float amplitude = 1.0f) {
    Burst b{std::vector<Complex>(silence), silence};
    const std::vector<Complex> preamble = *generate_ofdm_preamble(cfg, params);
    b.iq.insert(b.iq.end(), preamble.begin(), preamble.end());
    const std::vector<std::uint8_t> bits = test::random_bits(5 * cfg.bits_per_ofdm_symbol(), 3);
    const std::vector<Complex> data = OfdmMod::create(cfg)->modulate(bits);
    b.iq.insert(b.iq.end(), data.begin(), data.end());
    for (Complex& x : b.iq) x = x * amplitude;
    return b;
}

TEST(OfdmSync, FindsACleanPreambleFirstWithScoreOne) {
    for (const float amplitude : {1.0f, 1e12f}) {  // E² overflows single precision at 1e12
        const Burst b = burst(config(), 200, layout, amplitude);
        const auto results = ofdm_sync(b.iq, layout, 0, all, fs);
        ASSERT_FALSE(results.empty());
        EXPECT_EQ(results[0].start_sample, b.start);
        EXPECT_NEAR(results[0].score, 1.0f, 1e-5f);
        EXPECT_NEAR(results[0].cfo_hz, 0.0f, 1.0f);
        EXPECT_EQ(results[0].integer_cfo_bins, 0);
        // Silence gives no candidates: the first starts where the preamble's later segments begin.
        EXPECT_GE(std::min_element(results.begin(), results.end(),
                                   [](const auto& x, const auto& y) { return x.start_sample < y.start_sample; })
                      ->start_sample,
                  b.start - 63);
    }
}

TEST(OfdmSync, NeverExaminesTheLastOffset) {
    Burst b = burst(config(), 50);
    b.iq.resize(b.start + 144);  // the preamble ends the buffer: its start is the last offset
    for (const auto& result : ofdm_sync(b.iq, layout, 0, all, fs)) EXPECT_NE(result.start_sample, b.start);
    b.iq.push_back({});
    EXPECT_EQ(ofdm_sync(b.iq, layout, 0, all, fs)[0].start_sample, b.start);
}

class OfdmSyncCfo : public testing::TestWithParam<double> {};

TEST_P(OfdmSyncCfo, RecoversTheOffsetWithinTwoPercentOfABin) {
    const double f = GetParam() * fs;
    Burst b = burst(config(true), 120);
    for (std::size_t t = 0; t < b.iq.size(); ++t) {
        const double phase = 2.0 * M_PI * f * static_cast<double>(t) / fs;
        b.iq[t] = b.iq[t] * Complex{static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase))};
    }
    const auto results = ofdm_sync(b.iq, layout, 0, all, fs);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results[0].start_sample, b.start);
    const double bin = fs / 64.0;
    const double total = results[0].cfo_hz + results[0].integer_cfo_bins * bin;
    EXPECT_NEAR(total / bin, f / bin, 0.02);
    EXPECT_LE(std::abs(results[0].cfo_hz), fs / 32.0f * 1.0001f);
    for (std::size_t i = 5; i < results.size(); ++i) ASSERT_EQ(results[i].integer_cfo_bins, 0) << i;
}

INSTANTIATE_TEST_SUITE_P(Sweep, OfdmSyncCfo,
                         testing::Values(-0.45, -0.37, -0.2, -0.04, -0.013, 0.0, 0.007, 0.031, 0.1, 0.26, 0.45));

// With 32-sample segments (26 occupied bins of 32) the segment has no quiet stretch; the 16-sample
// segment of this plan ends in three weak samples, which flattens its peak towards earlier starts.
TEST(OfdmSync, FindsTheStartAtFiveDecibels) {
    const PreambleParams long_segments{4, 32, TrainingShape{64, 16}};
    int hits = 0;
    for (unsigned trial = 0; trial < 1000; ++trial) {
        Burst b = burst(config(true), 300, long_segments);
        test::add_noise(b.iq, test::per_carrier_noise_variance(5.0, 64), trial);
        const auto results = ofdm_sync(b.iq, long_segments, 0, all, fs);
        hits += !results.empty() && std::abs(static_cast<long>(results[0].start_sample) - static_cast<long>(b.start)) <= 2;
    }
    EXPECT_GE(hits, 990);  // 995 measured: at most twice the misses
}

TEST(OfdmSync, EqualScoresKeepStartOrderAndOnlyFiveGetWholeBins) {
    const std::vector<Complex> flat(300, {1.0f, 0.5f});
    const auto results = ofdm_sync(flat, PreambleParams{3, 8, TrainingShape{16, 4}}, 0, all, fs);
    ASSERT_EQ(results.size(), 300u - 44u);
    for (std::size_t i = 0; i < results.size(); ++i) {
        ASSERT_EQ(results[i].start_sample, i);
        ASSERT_EQ(results[i].score, 1.0f);
        if (i >= 5) {
            ASSERT_EQ(results[i].integer_cfo_bins, 0);
        }
    }
}

TEST(OfdmSync, SurvivesNotANumberSamples) {
    Burst b = burst(config(), 200);
    for (std::size_t i = 0; i < 200; i += 9) b.iq[i] = {NAN, NAN};
    for (std::size_t i = b.iq.size() - 100; i < b.iq.size(); i += 13) b.iq[i] = {0.0f, NAN};
    const auto results = ofdm_sync(b.iq, layout, 0, all, fs);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results[0].start_sample, b.start);
    for (const auto& result : results) ASSERT_FALSE(std::isnan(result.score) || std::isnan(result.cfo_hz));
}

TEST(OfdmSync, DegenerateInputsGiveNothing) {
    const Burst b = burst(config(), 100);
    EXPECT_TRUE(ofdm_sync(b.iq, PreambleParams{1, 16, std::nullopt}, 0, all, fs).empty());
    EXPECT_TRUE(ofdm_sync(b.iq, PreambleParams{4, 0, std::nullopt}, 0, all, fs).empty());
    EXPECT_TRUE(ofdm_sync(b.iq, layout, 0, all, 0.0f).empty());
    EXPECT_TRUE(ofdm_sync(b.iq, layout, 0, all, NAN).empty());
    EXPECT_TRUE(ofdm_sync(b.iq, layout, 50, 50, fs).empty());
    EXPECT_TRUE(ofdm_sync({}, layout, 0, all, fs).empty());
    EXPECT_TRUE(ofdm_sync(std::vector<Complex>(143), layout, 0, all, fs).empty());
    // Sizes that overflow find nothing instead of reading out of bounds.
    EXPECT_TRUE(ofdm_sync(b.iq, PreambleParams{all / 2, 4, std::nullopt}, 0, all, fs).empty());
    EXPECT_TRUE(ofdm_sync(b.iq, PreambleParams{4, 16, TrainingShape{all - 10, 20}}, 0, all, fs).empty());
    EXPECT_TRUE(ofdm_sync(b.iq, PreambleParams{2, all / 2 + 1, std::nullopt}, 0, all, fs).empty());

    // No training pair, half a pair or a training FFT of 0: no whole-bin search.
    for (const auto& params : {PreambleParams{4, 16, std::nullopt}, PreambleParams{4, 16, TrainingShape{0, 5}}})
        for (const auto& result : ofdm_sync(b.iq, params, 0, all, fs)) ASSERT_EQ(result.integer_cfo_bins, 0);
    EXPECT_EQ(ofdm_sync_call(b.iq, fs, 4, 16, 0, all, 64, std::nullopt), ofdm_sync(b.iq, PreambleParams{4, 16, std::nullopt}, 0, all, fs));
    EXPECT_EQ(ofdm_sync_call(b.iq, fs, 4, 16, 0, all, 64, 16), ofdm_sync(b.iq, layout, 0, all, fs));
}

}  // namespace
}  // namespace kavro
