#include "dsp/fir_design.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace kavro::dsp {
namespace {

TEST(FirDesign, BesselI0) {
    EXPECT_EQ(bessel_i0(0.0f), 1.0f);
    EXPECT_NEAR(bessel_i0(1.0f), 1.2660658777520082, 1e-6);
    EXPECT_NEAR(bessel_i0(5.65326f), 49.048469575463876, 5e-5);
}

TEST(FirDesign, KaiserBetaAtFiftyDecibelsTakesTheLowerFormula) {
    EXPECT_NEAR(kaiser_beta(50.0f), 4.533514120981248, 2e-6);  // scipy.signal.kaiser_beta(50.0)
}

struct DesignCase {
    std::size_t num_taps;
    float cutoff;
    float stopband_db;
    std::vector<double> reference;  // scipy.signal.firwin in double precision, same β and cutoff
};

class KaiserLowpass : public testing::TestWithParam<DesignCase> {};

TEST_P(KaiserLowpass, MatchesTheDoublePrecisionDesign) {
    const DesignCase& c = GetParam();
    const std::vector<float> taps = kaiser_lowpass(c.num_taps, c.cutoff, c.stopband_db);
    ASSERT_EQ(taps.size(), c.reference.size());
    for (std::size_t i = 0; i < taps.size(); ++i) EXPECT_NEAR(taps[i], c.reference[i], 1e-6) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Designs, KaiserLowpass,
    testing::Values(
        DesignCase{47, 0.460398f, 60.0f,
                   {-1.499304228e-04, 3.851444045e-04, -7.652002388e-04, 1.293709959e-03, -1.940204863e-03,
                    2.630341973e-03,  -3.240396580e-03, 3.598054378e-03, -3.490873830e-03, 2.682805420e-03,
                    -9.379493580e-04, -1.950520110e-03, 6.129436517e-03, -1.165665349e-02, 1.847815619e-02,
                    -2.641508733e-02, 3.516355197e-02,  -4.430861077e-02, 5.335209428e-02, -6.175201571e-02,
                    6.896969463e-02,  -7.451948475e-02, 7.801542116e-02,  9.208570331e-01, 7.801542116e-02,
                    -7.451948475e-02, 6.896969463e-02,  -6.175201571e-02, 5.335209428e-02, -4.430861077e-02,
                    3.516355197e-02,  -2.641508733e-02, 1.847815619e-02,  -1.165665349e-02, 6.129436517e-03,
                    -1.950520110e-03, -9.379493580e-04, 2.682805420e-03,  -3.490873830e-03, 3.598054378e-03,
                    -3.240396580e-03, 2.630341973e-03,  -1.940204863e-03, 1.293709959e-03, -7.652002388e-04,
                    3.851444045e-04,  -1.499304228e-04}},
        DesignCase{15, 0.2f, 40.0f,
                   {3.939880893e-03, 1.430809416e-02, 2.631605241e-09, -4.588021066e-02, -4.740645772e-02,
                    8.284950312e-02, 2.929464958e-01, 3.984853835e-01, 2.929464958e-01, 8.284950312e-02,
                    -4.740645772e-02, -4.588021066e-02, 2.631605241e-09, 1.430809416e-02, 3.939880893e-03}},
        // Below 21 dB there is no window: a truncated sinc normalised to unity DC gain (4 taps -> 5).
        DesignCase{4, 0.1f, 15.0f,
                   {1.726089489e-01, 2.133563958e-01, 2.280693108e-01, 2.133563958e-01, 1.726089489e-01}}));

// Peak stop-band level of the 47-tap, 60 dB design past its transition band: Kaiser's length
// formula is approximate, so the design lands near -54 dB rather than at the target.
TEST(KaiserLowpassResponse, StopbandStaysWellDown) {
    const std::vector<float> taps = kaiser_lowpass(47, 0.3f, 60.0f);
    const double transition = (60.0 - 8.0) / (14.36 * 47.0);
    double worst = 0.0;
    for (double f = 0.3 + transition / 2 + 0.005; f <= 0.5; f += 0.0005) {
        std::complex<double> h = 0.0;
        for (std::size_t i = 0; i < taps.size(); ++i) h += static_cast<double>(taps[i]) * std::polar(1.0, -2 * M_PI * f * i);
        worst = std::max(worst, std::abs(h));
    }
    EXPECT_LT(20.0 * std::log10(worst), -50.0);
    double dc = 0.0;
    for (float h : taps) dc += h;
    EXPECT_NEAR(dc, 1.0, 1e-6);
}

}  // namespace
}  // namespace kavro::dsp
