#include "dsp/fir_filter.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "dsp/fir_design.hpp"
#include "support/test_support.hpp"

namespace kavro::dsp {
namespace {

// The filter as a running delay line: prime with the first M samples, then push x[i + M] (0 past
// the end) and take the sum over k of h[k] times the k-th most recent sample.
std::vector<Complex> delay_line_reference(const std::vector<float>& taps, const std::vector<Complex>& x) {
    const std::size_t n = taps.size(), m = (n - 1) / 2, len = x.size();
    std::vector<Complex> delay(n);
    std::size_t pos = 0;
    auto push = [&](Complex v) {
        delay[pos] = v;
        Complex acc{};
        for (std::size_t k = 0; k < n; ++k) {
            const Complex d = delay[(pos + n - k) % n];
            acc = acc + Complex{taps[k] * d.re, taps[k] * d.im};
        }
        pos = (pos + 1) % n;
        return acc;
    };
    auto at = [&](std::size_t i) { return i < len ? x[i] : Complex{}; };
    for (std::size_t i = 0; i < m; ++i) push(at(i));
    std::vector<Complex> y(len);
    for (std::size_t i = 0; i < len; ++i) y[i] = push(at(i + m));
    return y;
}

class CentredFilter : public testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(CentredFilter, EqualsTheDelayLineBitForBit) {
    const auto [num_taps, len] = GetParam();
    const std::vector<float> taps = kaiser_lowpass(num_taps, 0.21f, 55.0f);
    const std::vector<Complex> x = test::complex_noise(len, 2.0, num_taps * 1000 + len);
    std::vector<Complex> y = x;
    filter_centred_in_place(taps, y);
    EXPECT_EQ(y, delay_line_reference(taps, x));
}

INSTANTIATE_TEST_SUITE_P(Sizes, CentredFilter,
                         testing::Values(std::pair<std::size_t, std::size_t>{3, 1}, std::pair<std::size_t, std::size_t>{3, 2},
                                         std::pair<std::size_t, std::size_t>{47, 5},
                                         std::pair<std::size_t, std::size_t>{47, 1000},
                                         std::pair<std::size_t, std::size_t>{31, 37},
                                         std::pair<std::size_t, std::size_t>{101, 64}));

TEST(CentredFilter, SingleSampleSeesOnlyTheCentreTap) {
    const std::vector<float> taps{0.25f, 0.5f, 0.25f};
    std::vector<Complex> x{{2.0f, -4.0f}};
    filter_centred_in_place(taps, x);
    EXPECT_EQ(x[0], (Complex{1.0f, -2.0f}));
    std::vector<Complex> empty;
    filter_centred_in_place(taps, empty);
    EXPECT_TRUE(empty.empty());
}

}  // namespace
}  // namespace kavro::dsp
