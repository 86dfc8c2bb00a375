#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "modulate/pm.hpp"

namespace {

using kavro::Complex;
using kavro::PmDirectPhaseMod;

class PmDirectPhaseModGain : public testing::TestWithParam<double> {};

TEST_P(PmDirectPhaseModGain, MagnitudeIsAbsoluteGain) {
    PmDirectPhaseMod mod(48000, 2.5, 7000);
    mod.set_gain(GetParam());
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> any(-20, 20);
    std::vector<float> x(3000);
    for (float& v : x) v = any(rng);
    for (const Complex& s : mod.process(x)) ASSERT_NEAR(std::hypot(s.re, s.im), std::abs(GetParam()), 2e-5 * (1 + std::abs(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Gains, PmDirectPhaseModGain, testing::Values(1.0, 0.25, -3.0, 0.0));

// At rf_hz 0 each sample is gain·e^(j·kp·x) by itself: nothing accumulates.
TEST(PmDirectPhaseMod, BasebandSampleIsGainTimesPhasorOfKpX) {
    PmDirectPhaseMod mod(48000, 0.8, 0);
    mod.set_gain(1.5);
    const std::vector<float> x{0.0f, 1.0f, -2.0f, 0.5f};
    auto out = mod.process(x);
    mod.set_sensitivity(-0.4);
    const auto more = mod.process(x);
    out.insert(out.end(), more.begin(), more.end());
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double phase = (n < 4 ? 0.8 : -0.4) * x[n % 4];
        EXPECT_NEAR(out[n].re, 1.5 * std::cos(phase), 1e-6);
        EXPECT_NEAR(out[n].im, 1.5 * std::sin(phase), 1e-6);
    }
}

}  // namespace
