#include <gtest/gtest.h>

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
