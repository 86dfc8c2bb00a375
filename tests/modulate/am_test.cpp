#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "modulate/am.hpp"

namespace {

using kavro::AmDsbMod;
using kavro::Complex;

TEST(AmDsbMod, UnmodulatedCarrierStartsOneStepInAndFollowsGain) {
    AmDsbMod mod(48000, 3000, 1.0, 0.0);
    const std::vector<float> zeros(2000, 0.0f);
    const auto out = mod.process(zeros);
    EXPECT_NEAR(std::atan2(out[0].im, out[0].re), 2 * M_PI * 3000 / 48000, 1e-6);
    for (const Complex& s : out) ASSERT_NEAR(std::hypot(s.re, s.im), 1.0, 5e-5);
    mod.set_gain(2.0);
    for (const Complex& s : mod.process(zeros)) ASSERT_NEAR(std::hypot(s.re, s.im), 2.0, 1e-4);
}

struct ClampCase {
    float x;
    bool clamp;
    float envelope;  // signed: the output is envelope × carrier phasor
};

class AmDsbModEnvelope : public testing::TestWithParam<ClampCase> {};

TEST_P(AmDsbModEnvelope, IsLevelPlusIndexTimesInputClampedOnRequest) {
    const ClampCase& c = GetParam();
    AmDsbMod mod(48000, 0, 0.5, 1.0);  // carrier phasor stays 1 + 0j
    mod.set_clamp(c.clamp);
    const std::vector<float> x{c.x};
    const Complex out = mod.process(x)[0];
    if (std::isnan(c.envelope)) {
        EXPECT_TRUE(std::isnan(out.re));
    } else {
        EXPECT_EQ(out.re, c.envelope);
        EXPECT_EQ(out.im, 0.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, AmDsbModEnvelope,
                         testing::Values(ClampCase{2.0f, false, 2.5f}, ClampCase{2.0f, true, 1.0f},
                                         ClampCase{-4.0f, true, -1.0f}, ClampCase{-4.0f, false, -3.5f},
                                         ClampCase{0.25f, true, 0.75f},
                                         ClampCase{std::numeric_limits<float>::quiet_NaN(), true,
                                                   std::numeric_limits<float>::quiet_NaN()}));

}  // namespace
