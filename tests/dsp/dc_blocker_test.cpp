#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dsp/dc_blocker.hpp"

namespace {

using kavro::dsp::DcBlocker;

struct RCase {
    float fs;
    float r;
};

class DcBlockerCoefficient : public testing::TestWithParam<RCase> {};

TEST_P(DcBlockerCoefficient, IsOneMinusFourPiOverFsWithinLimits) {
    EXPECT_FLOAT_EQ(DcBlocker(GetParam().fs).r(), GetParam().r);
}

INSTANTIATE_TEST_SUITE_P(SampleRates, DcBlockerCoefficient,
                         testing::Values(RCase{48000, 0.9997382f}, RCase{8000, 0.99842918f},
                                         RCase{192000, 0.9999f},  // limited from above
                                         RCase{12.0f, 0.0f},      // below 4π: limited from below
                                         RCase{-5.0f, 0.9999f}));

TEST(DcBlocker, NaNSampleRateLeavesNaNCoefficient) {
    EXPECT_TRUE(std::isnan(DcBlocker(std::numeric_limits<float>::quiet_NaN()).r()));
}

TEST(DcBlocker, PassesFirstSampleAndRemovesSteadyLevel) {
    DcBlocker blocker(48000);
    EXPECT_EQ(blocker.process(0.75f), 0.75f);
    float y = 0;
    for (int n = 0; n < 48000; ++n) y = blocker.process(0.75f);
    EXPECT_LT(std::abs(y), 1e-4f);
    // y = R·y1 + (x − x1) one step further.
    const float r = blocker.r();
    EXPECT_EQ(blocker.process(1.0f), r * y + (1.0f - 0.75f));
}

}  // namespace
