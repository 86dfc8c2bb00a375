#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/analog_support.hpp"
#include "demodulate/fm.hpp"
#include "modulate/fm.hpp"

namespace {

using kavro::FmQuadratureDemod;

class FmQuadratureDemodTone : public testing::TestWithParam<double> {};

// The phase step of 0.1309 rad per sample reads as about 0.1324 through the fast arctangent.
TEST_P(FmQuadratureDemodTone, SettlesToPhaseStepOverDeviation) {
    const double hz = GetParam();
    FmQuadratureDemod demod(48000, 5000, 3000);
    const auto out = demod.process(kavro::test::complex_tone(4800, 1.0, hz / 48000));
    EXPECT_NEAR(out.back(), (hz > 0 ? 1 : -1) * 2.647e-5, 0.002e-5);
}

INSTANTIATE_TEST_SUITE_P(PlusMinus, FmQuadratureDemodTone, testing::Values(1000.0, -1000.0));

// dev_hz below 1 (or NaN) scales by 1.
class FmQuadratureDemodSmallDeviation : public testing::TestWithParam<double> {};

TEST_P(FmQuadratureDemodSmallDeviation, ActsAsOneHertz) {
    const auto iq = kavro::test::complex_tone(500, 1.0, 0.01);
    EXPECT_EQ(FmQuadratureDemod(48000, GetParam(), 3000).process(iq), FmQuadratureDemod(48000, 1.0, 3000).process(iq));
}

INSTANTIATE_TEST_SUITE_P(Deviations, FmQuadratureDemodSmallDeviation,
                         testing::Values(0.0, -100.0, 0.25, std::numeric_limits<double>::quiet_NaN()));

// Modulating x = 0.5·sin(2π·1000·n/fs) and discriminating gives back 2π·x/fs (the deviation
// cancels; no fs/2π factor).
TEST(FmQuadratureDemod, RoundTripRecoversModulation) {
    const double fs = 48000;
    kavro::FmPhaseAccumMod mod(fs, 5000, 0);
    FmQuadratureDemod demod(fs, 5000, 5000);
    const auto out = demod.process(mod.process(kavro::test::sine(24000, 0.5, 1000 / fs)));
    const double expected = 2 * M_PI * 0.5 / fs;
    EXPECT_NEAR(kavro::test::tone_amplitude(out, 1000 / fs, 4800, 24000), expected, 0.02 * expected);
    // No DC and little distortion from the arctangent approximation.
    EXPECT_LT(std::abs(kavro::test::tone(out, 0, 4800, 24000).re), 0.01 * expected);
    EXPECT_LT(kavro::test::tone_amplitude(out, 3000 / fs, 4800, 24000), 0.02 * expected);
}

}  // namespace
