#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "dsp/fast_atan2.hpp"

namespace {

using kavro::dsp::fast_atan2;

struct AngleCase {
    float re, im;
    float angle;
};

class FastAtan2Points : public testing::TestWithParam<AngleCase> {};

// Real part first: fast_atan2(re, im) is the angle of re + j·im.
TEST_P(FastAtan2Points, GivesExactAngleOnAxesAndDiagonal) {
    const AngleCase& c = GetParam();
    EXPECT_NEAR(fast_atan2(c.re, c.im), c.angle, 1e-6f);
}

constexpr float pi = std::numbers::pi_v<float>;
INSTANTIATE_TEST_SUITE_P(Points, FastAtan2Points,
                         testing::Values(AngleCase{1, 1, pi / 4}, AngleCase{0, 1, pi / 2}, AngleCase{-1, 0, pi},
                                         AngleCase{0, -1, -pi / 2}, AngleCase{0, 0, 0}, AngleCase{1, 0, 0},
                                         AngleCase{-1, -1, -3 * pi / 4}, AngleCase{-2, 2, 3 * pi / 4}));

TEST(FastAtan2, NegativeRealAxisGivesPlusPi) {
    EXPECT_EQ(fast_atan2(-1.0f, 0.0f), pi);
    EXPECT_EQ(fast_atan2(-1.0f, -0.0f), pi);
}

TEST(FastAtan2, WithinApproximationErrorAllAround) {
    double worst = 0;
    for (int k = -1800; k <= 1800; ++k) {
        const double theta = k * M_PI / 1800;
        for (const double radius : {1e-3, 1.0, 7e4}) {
            const float re = static_cast<float>(radius * std::cos(theta));
            const float im = static_cast<float>(radius * std::sin(theta));
            const float got = fast_atan2(re, im);
            ASSERT_GE(got, -pi);  // −π only where the float arctangent rounds there too
            ASSERT_LE(got, pi);
            double err = std::abs(got - std::atan2(static_cast<double>(im), static_cast<double>(re)));
            err = std::min(err, 2 * M_PI - err);  // ±π are the same angle
            worst = std::max(worst, err);
        }
    }
    EXPECT_LT(worst, 0.0016);
    EXPECT_GT(worst, 0.001);  // the approximation, not a library arctangent
}

}  // namespace
