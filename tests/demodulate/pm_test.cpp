#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/analog_support.hpp"
#include "demodulate/pm.hpp"
#include "modulate/pm.hpp"

namespace {

TEST(PmQuadratureDemod, SettlesToKTimesPhaseStep) {
    kavro::PmQuadratureDemod demod(48000, 2.0, 3000);
    EXPECT_NEAR(demod.process(kavro::test::complex_tone(4800, 1.0, 1000.0 / 48000)).back(), 0.2647, 0.0002);
}

// The detector reads phase steps, so a phase ramp kp·x with x rising by 0.01 per sample comes
// back as k times the arctangent approximation at kp·0.01: with r = tan 0.03,
// atan r ≈ (π/4)·r − r·(r − 1)·(0.2447 + 0.0663·r).
TEST(PmQuadratureDemod, ReadsPhaseRampOfModulator) {
    kavro::PmDirectPhaseMod mod(48000, 3.0, 0);
    kavro::PmQuadratureDemod demod(48000, 0.5, 3000);
    std::vector<float> ramp(4800);
    for (std::size_t n = 0; n < ramp.size(); ++n) ramp[n] = 0.01f * static_cast<float>(n % 2000);
    const auto out = demod.process(mod.process(ramp));
    const double r = std::tan(0.03);
    const double expected = 0.5 * (M_PI / 4 * r - r * (r - 1) * (0.2447 + 0.0663 * r));
    EXPECT_NEAR(expected, 0.5 * 0.03, 0.5 * 0.03 * 0.03);
    EXPECT_NEAR(out[1999], expected, 1e-4 * expected);
    EXPECT_NEAR(out[4799], expected, 1e-4 * expected);
}

}  // namespace
