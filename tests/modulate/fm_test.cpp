#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "modulate/fm.hpp"

namespace {

using kavro::Complex;
using kavro::FmPhaseAccumMod;

TEST(FmPhaseAccumMod, SilenceGivesGainTimesCarrier) {
    FmPhaseAccumMod mod(48000, 5000, 1200);
    mod.set_gain(0.75);
    const auto out = mod.process(std::vector<float>(3000, 0.0f));
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double phase = 2 * M_PI * 1200.0 / 48000.0 * static_cast<double>(n + 1);
        ASSERT_NEAR(out[n].re, 0.75 * std::cos(phase), 1e-4) << n;
        ASSERT_NEAR(out[n].im, 0.75 * std::sin(phase), 1e-4) << n;
    }
}

// Mean phase advance per sample, in hertz.
double frequency_hz(const std::vector<Complex>& s, double fs) {
    double sum = 0;
    for (std::size_t n = 1; n < s.size(); ++n)
        sum += std::arg(std::complex<double>(s[n].re, s[n].im) * std::conj(std::complex<double>(s[n - 1].re, s[n - 1].im)));
    return sum / static_cast<double>(s.size() - 1) * fs / (2 * M_PI);
}

TEST(FmPhaseAccumMod, ConstantInputShiftsFrequencyByDeviationTimesInput) {
    FmPhaseAccumMod mod(48000, 5000, 1000);
    EXPECT_NEAR(frequency_hz(mod.process(std::vector<float>(4000, 0.3f)), 48000), 1000 + 5000 * 0.3, 0.05);
    EXPECT_NEAR(frequency_hz(mod.process(std::vector<float>(4000, -0.5f)), 48000), 1000 - 5000 * 0.5, 0.05);
    mod.set_deviation(2000);
    EXPECT_NEAR(frequency_hz(mod.process(std::vector<float>(4000, -0.5f)), 48000), 1000 - 2000 * 0.5, 0.05);
}

TEST(FmPhaseAccumMod, KeepsUnitMagnitudeOverLongRuns) {
    FmPhaseAccumMod mod(48000, 5000, 0);
    std::vector<float> x(200000);
    for (std::size_t n = 0; n < x.size(); ++n) x[n] = static_cast<float>(std::sin(n * 0.001) + 0.3 * std::cos(n * 0.37));
    const auto out = mod.process(x);
    for (std::size_t n = 0; n < out.size(); n += 997) ASSERT_NEAR(std::hypot(out[n].re, out[n].im), 1.0, 1e-5) << n;
}

}  // namespace
