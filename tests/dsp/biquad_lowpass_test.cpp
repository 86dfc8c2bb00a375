#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "dsp/biquad_lowpass.hpp"

namespace {

using kavro::dsp::BiquadCoefficients;
using kavro::dsp::BiquadLowpass;
using kavro::dsp::design_biquad_lowpass;

struct ButterCase {
    float fs;
    float audio_bw_hz;
    double b0, b1, b2, a1, a2;  // scipy.signal.butter(2, 0.9 * audio_bw_hz / (fs / 2))
};

class BiquadDesign : public testing::TestWithParam<ButterCase> {};

// The single-precision design matches the double-precision Butterworth design. 1 − cos w0
// cancels for small w0, so the tolerance is relative to the largest coefficient of the set.
TEST_P(BiquadDesign, MatchesButterworthReference) {
    const ButterCase& r = GetParam();
    const BiquadCoefficients c = design_biquad_lowpass(r.fs, r.audio_bw_hz);
    const double ref[] = {r.b0, r.b1, r.b2, r.a1, r.a2};
    const double got[] = {c.b0, c.b1, c.b2, c.a1, c.a2};
    double scale = 0;
    for (double v : ref) scale = std::max(scale, std::abs(v));
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(got[i], ref[i], 1e-5 * scale) << "coefficient " << i;
    EXPECT_EQ(c.b2, c.b0);
}

INSTANTIATE_TEST_SUITE_P(
    ScipyButter, BiquadDesign,
    testing::Values(
        ButterCase{48000, 3000, 0.024827907338755242, 0.049655814677510485, 0.024827907338755242, -1.5074474041434491, 0.6067590334984702},
        ButterCase{48000, 500, 0.0008325380595262241, 0.0016650761190524482, 0.0008325380595262241, -1.9167412231576226, 0.9200713753957276},
        ButterCase{44100, 1000, 0.003764588430799516, 0.007529176861599032, 0.003764588430799516, -1.8190925691900384, 0.8341509229132364},
        ButterCase{8000, 1000, 0.08209609830282429, 0.16419219660564857, 0.08209609830282429, -1.0422022911929767, 0.3705866844042738},
        ButterCase{16000, 3000, 0.15813087622661348, 0.31626175245322696, 0.15813087622661348, -0.6043747713497499, 0.23689827625620385},
        ButterCase{8000, 2600, 0.3756953533531322, 0.7513907067062644, 0.3756953533531322, 0.3137526470710819, 0.1890287663414467},
        ButterCase{96000, 4000, 0.011857682643241156, 0.023715365286482312, 0.011857682643241156, -1.6692031429311929, 0.7166338735041575}));

// Across 0.05 < w0 < 2 against the closed-form bilinear Butterworth design in double precision,
// K = tan(w0/2): b0 = K²/(1 + √2·K + K²), a1 = 2(K² − 1)/(...), a2 = (1 − √2·K + K²)/(...).
TEST(BiquadLowpass, MatchesClosedFormButterworthAcrossBand) {
    for (double w0 = 0.051; w0 < 2.0; w0 += 0.0037) {
        const float fs = 48000;
        const auto bw = static_cast<float>(w0 * fs / (0.9 * 2 * M_PI));
        const double k = std::tan(0.9 * static_cast<double>(bw) * M_PI / fs);
        const double d = 1 + std::sqrt(2.0) * k + k * k;
        const double ref[] = {k * k / d, 2 * k * k / d, k * k / d, 2 * (k * k - 1) / d, (1 - std::sqrt(2.0) * k + k * k) / d};
        const BiquadCoefficients c = design_biquad_lowpass(fs, bw);
        const double got[] = {c.b0, c.b1, c.b2, c.a1, c.a2};
        const double scale = std::max({std::abs(ref[1]), std::abs(ref[3]), std::abs(ref[4])});
        for (int i = 0; i < 5; ++i) ASSERT_NEAR(got[i], ref[i], 1e-5 * scale) << "w0 " << w0 << " coefficient " << i;
    }
}

// The recurrence realises H(z) = (b0 + b1 z⁻¹ + b2 z⁻²) / (1 + a1 z⁻¹ + a2 z⁻²): compared with a
// direct-form I filter in double precision on noise.
TEST(BiquadLowpass, FiltersLikeDirectFormReference) {
    BiquadLowpass section(48000, 3000);
    const BiquadCoefficients c = section.coefficients();
    std::mt19937 rng(7);
    std::normal_distribution<float> noise;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (int n = 0; n < 4000; ++n) {
        const float x = noise(rng);
        const double y = c.b0 * x + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
        x2 = x1; x1 = x; y2 = y1; y1 = y;
        ASSERT_NEAR(section.process(x), y, 1e-5) << "sample " << n;
    }
}

}  // namespace
