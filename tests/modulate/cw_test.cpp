#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "modulate/cw.hpp"

namespace {

using kavro::Complex;
using kavro::CwKeyedMod;

double magnitude(Complex s) { return std::hypot(s.re, s.im); }

TEST(CwKeyedMod, KeyDownRisesAsOneMinusAToTheN) {
    CwKeyedMod mod(48000, 700, 5, 5);
    mod.set_gain(0.5);
    const double a = mod.rise_coefficient();
    EXPECT_NEAR(a, std::exp(-1.0 / (0.005 * 48000)), 1e-7);
    const auto out = mod.process(std::vector<float>(1500, 1.0f));
    for (std::size_t n = 0; n < out.size(); ++n)
        ASSERT_NEAR(magnitude(out[n]), 0.5 * (1 - std::pow(a, n + 1)), 2e-5) << n;
}

TEST(CwKeyedMod, KeyUpFallsWithFallCoefficient) {
    CwKeyedMod mod(48000, 700, 1, 3);
    mod.process(std::vector<float>(5000, 1.0f));
    const auto out = mod.process(std::vector<float>(100, 0.0f));
    const double f = mod.fall_coefficient();
    EXPECT_NEAR(f, std::exp(-1.0 / (0.003 * 48000)), 1e-7);
    EXPECT_NEAR(magnitude(out[99]), std::pow(f, 100), 1e-4);
}

struct KeyCase {
    float key;
    float acts_as;
};

class CwKeyedModKey : public testing::TestWithParam<KeyCase> {};

TEST_P(CwKeyedModKey, IsLimitedToZeroOne) {
    CwKeyedMod a(8000, 1000, 2, 2), b = a;
    EXPECT_EQ(a.process(std::vector<float>(50, GetParam().key)), b.process(std::vector<float>(50, GetParam().acts_as)));
}

INSTANTIATE_TEST_SUITE_P(Keys, CwKeyedModKey, testing::Values(KeyCase{5.0f, 1.0f}, KeyCase{-3.0f, 0.0f}, KeyCase{0.4f, 0.4f}));

TEST(CwKeyedMod, NaNKeyPassesIntoEnvelope) {
    CwKeyedMod mod(8000, 1000, 2, 2);
    const auto out = mod.process(std::vector<float>{std::numeric_limits<float>::quiet_NaN(), 1.0f});
    EXPECT_TRUE(std::isnan(out[0].re));
    EXPECT_TRUE(std::isnan(out[1].re));
}

class CwKeyedModShortRise : public testing::TestWithParam<double> {};

// Rise or fall times below 0.1 ms, and NaN, act as 0.1 ms.
TEST_P(CwKeyedModShortRise, ActsAsTenthOfAMillisecond) {
    const CwKeyedMod reference(48000, 700, 0.1, 0.1);
    const CwKeyedMod mod(48000, 700, GetParam(), GetParam());
    EXPECT_EQ(mod.rise_coefficient(), reference.rise_coefficient());
    EXPECT_EQ(mod.fall_coefficient(), reference.fall_coefficient());
}

INSTANTIATE_TEST_SUITE_P(Times, CwKeyedModShortRise,
                         testing::Values(0.0, -2.0, 0.05, std::numeric_limits<double>::quiet_NaN()));

}  // namespace
