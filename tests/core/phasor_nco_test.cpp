#include <gtest/gtest.h>

#include <cmath>

#include "core/phasor_nco.hpp"

TEST(PhasorNco, QuarterRateCarrierTurnsByQuarterCycles) {
    kavro::PhasorNco nco(2000.0, 8000.0);
    const kavro::Complex expected[] = {{0, 1}, {-1, 0}, {0, -1}, {1, 0}};
    for (const auto& e : expected) {
        const auto p = nco.next();
        EXPECT_NEAR(p.re, e.re, 1e-6);
        EXPECT_NEAR(p.im, e.im, 1e-6);
    }
}

// A literal oscillator: rotate by the step every sample, rescale to unit length at sample counts
// 1024, 2048, ...; the step and every product are the single-precision expressions.
TEST(PhasorNco, MatchesLiteralRotationWithRenormalisationEvery1024Samples) {
    const float theta = (static_cast<float>(1234.5) * 6.2831855f) / static_cast<float>(48000.0);
    const float c = std::cos(theta), s = std::sin(theta);
    kavro::PhasorNco nco(1234.5, 48000.0);
    float re = 1.0f, im = 0.0f;
    for (int n = 1; n <= 5000; ++n) {
        const float r = re * c - im * s;
        im = im * c + re * s;
        re = r;
        if (n % 1024 == 0) {
            const float k = 1.0f / std::sqrt(re * re + im * im);
            re *= k;
            im *= k;
        }
        const auto p = nco.next();
        ASSERT_EQ(p.re, re) << n;
        ASSERT_EQ(p.im, im) << n;
    }
}
