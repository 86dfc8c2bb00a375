#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/analog_support.hpp"
#include "demodulate/cw.hpp"

namespace {

using kavro::CwEnvelopeDemod;

TEST(CwEnvelopeDemod, ConstantCarrierRisesAsOneMinusAToTheNTimesGain) {
    CwEnvelopeDemod demod(8000, 700, 50);
    demod.set_gain(3.0);
    const double a = demod.smoothing_coefficient();
    EXPECT_NEAR(a, std::exp(-2 * M_PI * 50 / 8000), 1e-7);
    const auto out = demod.process(kavro::test::complex_tone(2000, 1.0, 0.0875));
    for (std::size_t n = 0; n < out.size(); ++n) ASSERT_NEAR(out[n], 3.0 * (1 - std::pow(a, n + 1)), 3e-5) << n;
}

class CwEnvelopeDemodNarrow : public testing::TestWithParam<double> {};

TEST_P(CwEnvelopeDemodNarrow, BandwidthBelowOneHertzActsAsOne) {
    EXPECT_EQ(CwEnvelopeDemod(48000, 700, GetParam()).smoothing_coefficient(),
              CwEnvelopeDemod(48000, 700, 1.0).smoothing_coefficient());
}

INSTANTIATE_TEST_SUITE_P(Bandwidths, CwEnvelopeDemodNarrow,
                         testing::Values(0.0, -10.0, 0.5, std::numeric_limits<double>::quiet_NaN()));

}  // namespace
