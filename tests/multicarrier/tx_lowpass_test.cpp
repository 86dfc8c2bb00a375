#include "multicarrier/tx_lowpass.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kavro {
namespace {

constexpr std::uint32_t k_occupied = 27;  // band edge 27/64 = 0.421875

TEST(TxLowpassSizing, SuggestedTapsFillTheUnoccupiedBand) {
    EXPECT_EQ(tx_lowpass_suggested_taps(60.0f, k_occupied, 64), 47u);  // 46.35 rounded up
    EXPECT_EQ(tx_lowpass_suggested_taps(50.0f, k_occupied, 64), 39u);  // 37.44 rounded up, made odd
    // Below 21 dB (and NaN, -inf) sizes as 21 dB: ceil(13 / (0.078125 * 14.36)) = 12 -> 13.
    EXPECT_EQ(tx_lowpass_suggested_taps(15.0f, k_occupied, 64), 13u);
    EXPECT_EQ(tx_lowpass_suggested_taps(NAN, k_occupied, 64), 13u);
    EXPECT_EQ(tx_lowpass_suggested_taps(-INFINITY, k_occupied, 64), 13u);
    // A full band keeps a gap of 0.0001 and never drops below 3 taps.
    EXPECT_EQ(tx_lowpass_suggested_taps(21.0f, 0, 0), 3u);
    EXPECT_EQ(tx_lowpass_suggested_taps(60.0f, 32, 64), 36213u);
    // Out-of-range lengths saturate instead of wrapping.
    EXPECT_EQ(tx_lowpass_suggested_taps(INFINITY, k_occupied, 64), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(tx_lowpass_suggested_taps(3e38f, 32, 64), std::numeric_limits<std::uint64_t>::max());
}

TEST(TxLowpassSizing, CutoffSitsHalfATransitionAboveTheEdgeWhenItFits) {
    EXPECT_EQ(tx_lowpass_cutoff(31, 60.0f, k_occupied, 64), 0.4609375f);  // ΔF ≈ 0.11681 does not fit
    const float transition = 52.0f / (14.36f * 47.0f);
    EXPECT_NEAR(transition, 0.077046f, 1e-6);
    EXPECT_EQ(tx_lowpass_cutoff(47, 60.0f, k_occupied, 64), 0.421875f + transition / 2.0f);
    EXPECT_NEAR(tx_lowpass_cutoff(47, 60.0f, k_occupied, 64), 0.460398f, 1e-6);
    // 15 dB and NaN size like 21 dB; n_fft 0 counts as 1.
    EXPECT_EQ(tx_lowpass_cutoff(47, 15.0f, k_occupied, 64), tx_lowpass_cutoff(47, 21.0f, k_occupied, 64));
    EXPECT_EQ(tx_lowpass_cutoff(47, NAN, k_occupied, 64), tx_lowpass_cutoff(47, 21.0f, k_occupied, 64));
    EXPECT_EQ(tx_lowpass_cutoff(47, 60.0f, 0, 0), tx_lowpass_cutoff(47, 60.0f, 0, 1));
}

TEST(TxLowpassSizing, GroupDelay) {
    for (std::size_t n : {0, 1, 2, 3}) EXPECT_EQ(tx_lowpass_group_delay(n), 1u);
    EXPECT_EQ(tx_lowpass_group_delay(4), 2u);
    EXPECT_EQ(tx_lowpass_group_delay(5), 2u);
    EXPECT_EQ(tx_lowpass_group_delay(31), 15u);
}

TEST(TxLowpassSizing, GuardBudget) {
    EXPECT_TRUE(tx_lowpass_fits_guard(15, 0, 16, std::nullopt));  // 7 <= 8
    EXPECT_FALSE(tx_lowpass_fits_guard(15, 0, 16, 4));            // slack 4
    EXPECT_FALSE(tx_lowpass_fits_guard(15, 0, 16, 20));           // slack 0
    EXPECT_TRUE(tx_lowpass_fits_guard(15, 1, 16, 8));
    EXPECT_FALSE(tx_lowpass_fits_guard(15, 2, 16, 8));
    const std::size_t huge = std::numeric_limits<std::size_t>::max();
    EXPECT_FALSE(tx_lowpass_fits_guard(huge, huge, huge, std::nullopt));
    EXPECT_FALSE(tx_lowpass_fits_guard(3, huge, 16, std::nullopt));
}

TEST(TxLowpassApply, PassesAConstantAwayFromTheEnds) {
    const TxLowpass lowpass{31, 0.1f, 60.0f};
    std::vector<Complex> x(200, {0.5f, -0.25f});
    lowpass.apply(x);
    for (std::size_t i = 15; i < 185; ++i) {
        EXPECT_NEAR(x[i].re, 0.5f, 1e-5) << i;
        EXPECT_NEAR(x[i].im, -0.25f, 1e-5) << i;
    }
    // At the ends the taps that reach past the buffer see zeros: only the centre tap and one
    // side of the response remain, summing to 0.60006 in
    // scipy.signal.firwin(31, 0.2, window=("kaiser", 0.1102 * (60 - 8.7))).
    const double one_side = 0.6000573739803434;
    EXPECT_NEAR(x[0].re, 0.5 * one_side, 1e-6);
    EXPECT_NEAR(x[199].im, -0.25 * one_side, 1e-6);
}

TEST(TxLowpassApply, SingleSampleTakesTheCentreTap) {
    // One sample designs three taps; the centre one of scipy.signal.firwin(3, 0.5,
    // window=("kaiser", 0.5842 * 19**0.4 + 0.07886 * 19)) is 0.84147.
    const TxLowpass lowpass{1, 0.25f, 40.0f};
    std::vector<Complex> x{{1.0f, 2.0f}};
    lowpass.apply(x);
    EXPECT_NEAR(x[0].re, 0.8414708, 1e-6);
    EXPECT_NEAR(x[0].im, 2 * 0.8414708, 2e-6);
}

}  // namespace
}  // namespace kavro
