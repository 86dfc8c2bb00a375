#include "multicarrier/fft_block.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "multicarrier/ifft_block.hpp"
#include "support/test_support.hpp"

namespace kavro {
namespace {

static_assert(BlockStage<FftBlock>);
static_assert(BlockStage<IfftBlock>);

// Direct DFT in double precision; sign -1 forward, +1 inverse (both unscaled).
std::vector<std::complex<double>> dft(const std::vector<Complex>& x, int sign) {
    const std::size_t n = x.size();
    std::vector<std::complex<double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t t = 0; t < n; ++t) {
            const double angle = sign * 2.0 * M_PI * static_cast<double>((k * t) % n) / static_cast<double>(n);
            out[k] += std::complex<double>(x[t].re, x[t].im) * std::polar(1.0, angle);
        }
    }
    return out;
}

TEST(FftBlock, ImpulseGivesFlatSpectrumAndBack) {
    FftBlock fft(4);
    IfftBlock ifft(4);
    const std::vector<Complex> impulse{{1, 0}, {0, 0}, {0, 0}, {0, 0}};
    std::vector<Complex> spectrum(4);
    ASSERT_EQ(fft.process(impulse, spectrum), 4u);
    EXPECT_EQ(spectrum, (std::vector<Complex>(4, {1, 0})));

    const std::vector<Complex> four{{4, 0}, {0, 0}, {0, 0}, {0, 0}};
    std::vector<Complex> time(4);
    ASSERT_EQ(ifft.process(four, time), 4u);
    EXPECT_EQ(time, (std::vector<Complex>(4, {1, 0})));
    EXPECT_EQ(ifft.scale(), 0.25f);
}

class FftAgainstDft : public testing::TestWithParam<std::size_t> {};

TEST_P(FftAgainstDft, MatchesTheDirectTransformBothWays) {
    const std::size_t n = GetParam();
    const std::vector<Complex> x = test::complex_noise(n, 2.0 / 3.0, n);
    FftBlock fft(n);
    IfftBlock ifft(n);
    std::vector<Complex> forward(n), inverse(n), round_trip(n);
    ASSERT_EQ(fft.process(x, forward), n);
    ASSERT_EQ(ifft.process(x, inverse), n);
    ASSERT_EQ(ifft.process(forward, round_trip), n);

    const auto want_forward = dft(x, -1);
    const auto want_inverse = dft(x, +1);
    const double tol = 1e-5 * static_cast<double>(n);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(forward[k].re, want_forward[k].real(), tol) << k;
        EXPECT_NEAR(forward[k].im, want_forward[k].imag(), tol) << k;
        EXPECT_NEAR(inverse[k].re, want_inverse[k].real() / n, 1e-5) << k;
        EXPECT_NEAR(inverse[k].im, want_inverse[k].imag() / n, 1e-5) << k;
        EXPECT_NEAR(round_trip[k].re, x[k].re, 1e-5) << k;
        EXPECT_NEAR(round_trip[k].im, x[k].im, 1e-5) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, FftAgainstDft, testing::Values(1, 2, 12, 17, 64, 2048));

TEST(FftBlock, ShortSlicesReturnZeroAndTouchNothing) {
    FftBlock fft(4);
    IfftBlock ifft(4);
    const Complex marker{7, -7};
    const std::vector<Complex> three(3, {1, 1});
    const std::vector<Complex> four(4, {1, 1});
    std::vector<Complex> out(4, marker);
    std::vector<Complex> short_out(3, marker);
    EXPECT_EQ(fft.process(three, out), 0u);
    EXPECT_EQ(fft.process(four, short_out), 0u);
    EXPECT_EQ(ifft.process(three, out), 0u);
    EXPECT_EQ(ifft.process(four, short_out), 0u);
    EXPECT_EQ(out, std::vector<Complex>(4, marker));
    EXPECT_EQ(short_out, std::vector<Complex>(3, marker));
}

TEST(FftBlock, LongSlicesUseOnlyTheFirstBlock) {
    std::vector<Complex> input(10, {0, 0});
    input[0] = {1, 0};
    input[4] = {100, 100};  // beyond the block: ignored
    std::vector<Complex> out(6, {9, 9});
    FftBlock fft(4);
    ASSERT_EQ(fft.process(input, out), 4u);
    EXPECT_EQ(out, (std::vector<Complex>{{1, 0}, {1, 0}, {1, 0}, {1, 0}, {9, 9}, {9, 9}}));
}

TEST(FftBlock, CopiesAndMovesKeepWorking) {
    const std::vector<Complex> x = test::complex_noise(64, 2.0 / 3.0, 3);
    FftBlock original(64);
    std::vector<Complex> want(64), copied_out(64), moved_out(64);
    original.process(x, want);
    FftBlock copy = original;
    copy.process(x, copied_out);
    FftBlock moved = std::move(original);
    moved.process(x, moved_out);
    EXPECT_EQ(copied_out, want);
    EXPECT_EQ(moved_out, want);
}

TEST(FftBlock, LengthZeroDoesNothing) {
    FftBlock fft(0);
    IfftBlock ifft(0);
    std::vector<Complex> in(2, {1, 1}), out(2, {5, 5});
    EXPECT_EQ(fft.process(in, out), 0u);
    EXPECT_EQ(ifft.process(in, out), 0u);
    EXPECT_EQ(out, std::vector<Complex>(2, {5, 5}));
}

}  // namespace
}  // namespace kavro
