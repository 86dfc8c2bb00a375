#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../dsp/analog_test_support.hpp"
#include "modulate/ssb.hpp"

namespace {

using kavro::Complex;
using kavro::SsbPhasingMod;
using kavro::test::tone_amplitude;

class SsbPhasingModSideband : public testing::TestWithParam<bool> {};

// A 1000 Hz tone with audio_if_hz 1500 leaves at +500 Hz (usb) or −500 Hz (lsb); its image at
// ±2500 Hz and the opposite sideband are well down.
TEST_P(SsbPhasingModSideband, PlacesToneOnItsSidebandWithImageSuppressed) {
    const bool usb = GetParam();
    const double fs = 48000;
    SsbPhasingMod mod(fs, 1500, 1500, 0, usb);
    const auto out = mod.process(kavro::test::sine(48000, 1.0, 1000 / fs));
    const double sign = usb ? 1 : -1;
    const auto level = [&](double hz) { return tone_amplitude(std::span<const Complex>(out), hz / fs, 4800, 48000); };
    const double wanted = level(sign * 500);
    EXPECT_NEAR(wanted, 0.5, 0.02);
    EXPECT_LT(level(sign * 2500), wanted * std::pow(10.0, -18.0 / 20));
    EXPECT_LT(level(-sign * 500), wanted * 1e-3);
    EXPECT_LT(level(-sign * 2500), wanted * 1e-3);
}

INSTANTIATE_TEST_SUITE_P(UsbAndLsb, SsbPhasingModSideband, testing::Bool());

TEST(SsbPhasingMod, ZeroBandwidthGivesSilence) {
    SsbPhasingMod mod(48000, 0, 1500, 3000, true);
    for (const Complex& s : mod.process(kavro::test::sine(3000, 1.0, 0.02))) {
        ASSERT_EQ(s.re, 0.0f);
        ASSERT_EQ(s.im, 0.0f);
    }
}

TEST(SsbPhasingMod, ZeroIfCarriesLowPassedAudioOnEitherSideband) {
    const auto audio = kavro::test::sine(3000, 1.0, 0.01);
    SsbPhasingMod usb(48000, 3000, 0, 2000, true), lsb(48000, 3000, 0, 2000, false);
    EXPECT_EQ(usb.process(audio), lsb.process(audio));
}

}  // namespace
