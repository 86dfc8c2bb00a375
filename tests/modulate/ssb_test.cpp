#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/analog_support.hpp"
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

// At IF 0 the output is the audio through two Butterworth sections (scipy.signal.butter(2,
// 2700 / 24000)), filtered here in double precision, carried by the RF phasor.
TEST(SsbPhasingMod, ZeroIfCarriesLowPassedAudioOnEitherSideband) {
    const auto audio = kavro::test::sine(3000, 1.0, 0.01);
    SsbPhasingMod usb(48000, 3000, 0, 2000, true), lsb(48000, 3000, 0, 2000, false);
    const auto out = usb.process(audio);
    EXPECT_EQ(out, lsb.process(audio));
    const double b[] = {0.024827907338755242, 0.049655814677510485, 0.024827907338755242}, a1 = -1.5074474041434491, a2 = 0.6067590334984702;
    double x1[2] = {}, x2[2] = {}, y1[2] = {}, y2[2] = {};
    for (std::size_t n = 0; n < audio.size(); ++n) {
        double v = audio[n];
        for (int s = 0; s < 2; ++s) {
            const double y = b[0] * v + b[1] * x1[s] + b[2] * x2[s] - a1 * y1[s] - a2 * y2[s];
            x2[s] = x1[s], x1[s] = v, y2[s] = y1[s], y1[s] = y, v = y;
        }
        const double phase = 2 * M_PI * 2000.0 / 48000.0 * static_cast<double>(n + 1);
        ASSERT_NEAR(out[n].re, v * std::cos(phase), 1e-4) << n;
        ASSERT_NEAR(out[n].im, v * std::sin(phase), 1e-4) << n;
    }
}

}  // namespace
