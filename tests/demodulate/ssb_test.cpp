#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/analog_support.hpp"
#include "demodulate/ssb.hpp"

namespace {

class SsbProductDemodSideband : public testing::TestWithParam<double> {};

// Tones 1 kHz above and below the beat-frequency oscillator both come out as 1 kHz audio.
TEST_P(SsbProductDemodSideband, FoldsToneOntoAudioOffset) {
    const double fs = 48000;
    kavro::SsbProductDemod demod(fs, 10000, 3000);
    const auto audio = demod.process(kavro::test::complex_tone(48000, 1.0, GetParam() / fs));
    const auto level = [&](double hz) { return kavro::test::tone_amplitude(audio, hz / fs, 24000, 48000); };
    EXPECT_NEAR(level(1000), 1.0, 0.02);
    for (const double other : {500.0, 2000.0, 3000.0}) EXPECT_LT(level(other), 0.01) << other;
}

INSTANTIATE_TEST_SUITE_P(AboveAndBelow, SsbProductDemodSideband, testing::Values(11000.0, 9000.0));

// A carrier exactly at the beat frequency beats down to a constant (cos of one step, about 0.26),
// which the DC blocker removes.
TEST(SsbProductDemod, CarrierAtTheBeatFrequencyDecaysToZero) {
    const double fs = 48000;
    kavro::SsbProductDemod demod(fs, 10000, 3000);
    const auto audio = demod.process(kavro::test::complex_tone(96000, 1.0, 10000 / fs));
    EXPECT_LT(std::abs(audio.back()), 1e-3);
}

}  // namespace
