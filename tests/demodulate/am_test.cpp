#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "support/analog_support.hpp"
#include "demodulate/am.hpp"
#include "modulate/am.hpp"

namespace {

using kavro::AmEnvelopeDemod;
using kavro::Complex;

TEST(MagnitudeEstimate, WithinBoundsAtEveryAngle) {
    double low = 1, high = 1;
    for (int k = 0; k < 7200; ++k) {
        const double theta = k * 2 * M_PI / 7200;
        for (const double radius : {0.01, 1.0, 300.0}) {
            const float est = kavro::magnitude_estimate(static_cast<float>(radius * std::cos(theta)),
                                                        static_cast<float>(radius * std::sin(theta)));
            low = std::min(low, est / radius);
            high = std::max(high, est / radius);
        }
    }
    EXPECT_GE(low, 1 - 0.053);
    EXPECT_LE(high, 1 + 0.027);
    EXPECT_EQ(kavro::magnitude_estimate(0, 0), 0.0f);
}

class AmRoundTrip : public testing::TestWithParam<bool> {};

// 50 % AM of a 1 kHz tone comes back as a 1 kHz tone of amplitude 0.5; the estimator of
// approximate mode reads a real carrier as 0.9482 of its magnitude.
TEST_P(AmRoundTrip, RecoversModulatingTone) {
    const bool approx = GetParam();
    const double fs = 48000;
    kavro::AmDsbMod mod(fs, 0, 1.0, 0.5);
    AmEnvelopeDemod demod(fs, 5000, approx);
    const auto audio = demod.process(mod.process(kavro::test::sine(72000, 1.0, 1000 / fs)));
    const double expected = approx ? 0.5 * 0.9482 : 0.5;
    EXPECT_NEAR(kavro::test::tone_amplitude(audio, 1000 / fs, 48000, 72000), expected, 0.02 * expected);
}

INSTANTIATE_TEST_SUITE_P(ExactAndApprox, AmRoundTrip, testing::Bool());

TEST(AmEnvelopeDemod, SteadyCarrierRisesThenDecaysToZero) {
    AmEnvelopeDemod demod(48000, 3000);
    const auto out = demod.process(kavro::test::complex_tone(96000, 0.8, 0.1));
    const auto peak = std::max_element(out.begin(), out.end());
    EXPECT_NEAR(*peak, 0.8, 0.1);
    EXPECT_LT(peak - out.begin(), 500);
    EXPECT_LT(std::abs(out.back()), 1e-3f);
}

class AmCarrierDrop : public testing::TestWithParam<bool> {};

// The filtered power overshoots below zero after an abrupt drop; that must not poison the output.
TEST_P(AmCarrierDrop, KeepsEveryLaterOutputFinite) {
    AmEnvelopeDemod demod(48000, 5000, GetParam());
    auto iq = kavro::test::complex_tone(2000, 1.0, 0.05);
    iq.resize(30000, Complex{0.0f, 0.0f});
    const auto out = demod.process(iq);
    for (std::size_t n = 0; n < out.size(); ++n) ASSERT_TRUE(std::isfinite(out[n])) << n;
    // The carrier comes back and is tracked again.
    const auto again = demod.process(kavro::test::complex_tone(200, 1.0, 0.05));
    EXPECT_GT(again.back(), 0.5f);
}

INSTANTIATE_TEST_SUITE_P(ExactAndApprox, AmCarrierDrop, testing::Bool());

}  // namespace
