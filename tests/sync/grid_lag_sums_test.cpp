#include <gtest/gtest.h>

#include <complex>
#include <cstddef>
#include <tuple>
#include <vector>

#include "support/test_support.hpp"
#include "sync/grid_lag_sums.hpp"

namespace {

using namespace kavro;

// Each grid point's sums against the same sums formed directly in double, for stretches shorter
// than eight samples, of exactly eight and of eight and some more.
TEST(GridLagSums, MatchTheSumsFormedDirectly) {
    using Shape = std::tuple<std::size_t, std::size_t, std::size_t>;  // lag, grid step, stretch
    for (const auto& [r, step, len] : {Shape{16, 8, 8}, Shape{5, 3, 7}, Shape{32, 16, 19}}) {
        const std::size_t count = 37;
        const auto s = test::complex_noise((count - 1) * step + len + r, 1.0, r + len);
        std::vector<float> re(count), im(count), energy(count);
        grid_lag_sums(s.data(), r, step, len, count, re.data(), im.data(), energy.data());
        for (std::size_t k = 0; k < count; ++k) {
            std::complex<double> lag{};
            double power = 0.0;
            for (std::size_t n = 0; n < len; ++n) {
                const std::complex<double> a(s[k * step + n].re, s[k * step + n].im);
                const std::complex<double> b(s[k * step + n + r].re, s[k * step + n + r].im);
                lag += std::conj(a) * b;
                power += std::norm(b);
            }
            EXPECT_NEAR(re[k], lag.real(), 1e-5) << r << " " << k;
            EXPECT_NEAR(im[k], lag.imag(), 1e-5) << r << " " << k;
            EXPECT_NEAR(energy[k], power, 1e-5) << r << " " << k;
        }
    }
}

}  // namespace
