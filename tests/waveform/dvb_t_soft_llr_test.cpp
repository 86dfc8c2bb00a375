#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "modulate/dvb_t_frame.hpp"
#include "support/test_support.hpp"
#include "waveform/dvb_t_soft_llr.hpp"

namespace {

using kavro::Complex;
using kavro::waveform::dvb_t_soft_llr;
using kavro::waveform::dvb_t_soft_llr_into;

// The DVB-T mapping as the standard tabulates it: per axis, index bits (most significant first)
// to level, with I taking y0 y2 y4 and Q taking y1 y3 y5.
std::vector<int> axis_levels(unsigned b) {
    if (b == 2) return {1, -1};
    if (b == 4) return {3, 1, -3, -1};
    return {7, 5, 1, 3, -7, -5, -1, -3};
}

double model_scale(unsigned b) { return 1.0 / std::sqrt(2.0 * ((1 << b) - 1) / 3.0); }

Complex model_point(unsigned b, unsigned value) {  // value bit (b-1-i) is y_i
    const unsigned h = b / 2;
    unsigned i_index = 0, q_index = 0;
    for (unsigned k = 0; k < h; ++k) {
        i_index = (i_index << 1) | ((value >> (b - 1 - 2 * k)) & 1u);
        q_index = (q_index << 1) | ((value >> (b - 2 - 2 * k)) & 1u);
    }
    const auto levels = axis_levels(b);
    const float s = static_cast<float>(model_scale(b));
    return {s * static_cast<float>(levels[i_index]), s * static_cast<float>(levels[q_index])};
}

// Max-log LLR by enumerating all 2^b points in the plane, in double precision.
std::vector<double> model_llrs(unsigned b, Complex y) {
    std::vector<double> out(b);
    for (unsigned bit = 0; bit < b; ++bit) {
        double d0 = INFINITY, d1 = INFINITY;
        for (unsigned v = 0; v < (1u << b); ++v) {
            const Complex p = model_point(b, v);
            const double dr = double(y.re) - p.re, di = double(y.im) - p.im;
            const double d = dr * dr + di * di;
            if ((v >> (b - 1 - bit)) & 1u) d1 = std::min(d1, d);
            else d0 = std::min(d0, d);
        }
        out[bit] = d1 - d0;
    }
    return out;
}

class SoftLlrByOrder : public ::testing::TestWithParam<unsigned> {};

TEST_P(SoftLlrByOrder, EveryPointDecidesBackToItsBits) {
    const unsigned b = GetParam();
    const auto order = b == 2 ? kavro::ConstellationOrder::Qpsk
                              : (b == 4 ? kavro::ConstellationOrder::Qam16 : kavro::ConstellationOrder::Qam64);
    for (unsigned v = 0; v < (1u << b); ++v) {
        // The transmitter's own mapping of these bits is the standard's point.
        std::vector<std::uint8_t> bits(b);
        for (unsigned bit = 0; bit < b; ++bit) bits[bit] = (v >> (b - 1 - bit)) & 1u;
        Complex sent{};
        kavro::map_dvb_t_cells(order, bits, std::span<Complex>(&sent, 1));
        ASSERT_EQ(sent, model_point(b, v)) << "b " << b << " value " << v;
        const auto llrs = dvb_t_soft_llr(sent, b);
        ASSERT_TRUE(llrs);
        ASSERT_EQ(llrs->size(), b);
        for (unsigned bit = 0; bit < b; ++bit) {
            const unsigned sent = (v >> (b - 1 - bit)) & 1u;
            EXPECT_EQ((*llrs)[bit] <= 0.0f ? 1u : 0u, sent) << "b " << b << " value " << v << " bit " << bit;
            EXPECT_NE((*llrs)[bit], 0.0f);
        }
    }
}

TEST_P(SoftLlrByOrder, MatchesMaxLogOverThePlaneAtRandomCells) {
    const unsigned b = GetParam();
    std::mt19937 rng(b);
    std::uniform_real_distribution<float> u(-1.3f, 1.3f);
    std::vector<float> into(b + 3, -99.0f);
    for (int trial = 0; trial < 2000; ++trial) {
        const Complex y{u(rng), u(rng)};
        const auto llrs = dvb_t_soft_llr(y, b);
        ASSERT_TRUE(llrs);
        const auto model = model_llrs(b, y);
        for (unsigned bit = 0; bit < b; ++bit) EXPECT_NEAR((*llrs)[bit], model[bit], 1e-5) << trial;
        ASSERT_TRUE(dvb_t_soft_llr_into(y, b, into));
        for (unsigned bit = 0; bit < b; ++bit) EXPECT_EQ(into[bit], (*llrs)[bit]);
        EXPECT_EQ(into[b], -99.0f);  // nothing written past the cell's values
    }
}

TEST_P(SoftLlrByOrder, EveryWholeSymbolVariantMatchesCellByCell) {
    const unsigned b = GetParam();
    std::vector<Complex> cells = kavro::test::complex_noise(37, 0.98, 9);
    cells[3] = {NAN, 0.2f};
    cells[9] = {INFINITY, -INFINITY};
    cells[20] = {0.0f, -0.0f};
    for (const kavro::SimdLevel level : kavro::simd_levels) {
        if (!kavro::simd_level_available(level)) continue;
        const int v = static_cast<int>(level);
        std::vector<float> out(cells.size() * b + 1, -99.0f);
        ASSERT_TRUE(kavro::waveform::dvb_t_soft_llr_cells(cells, b, out, level));
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const auto one = dvb_t_soft_llr(cells[c], b);
            for (unsigned bit = 0; bit < b; ++bit)
                EXPECT_EQ(std::bit_cast<std::uint32_t>(out[c * b + bit]), std::bit_cast<std::uint32_t>((*one)[bit]))
                    << "variant " << v << " cell " << c;
        }
        EXPECT_EQ(out.back(), -99.0f);
        std::vector<float> short_out(cells.size() * b - 1);
        EXPECT_FALSE(kavro::waveform::dvb_t_soft_llr_cells(cells, b, short_out, level));
        EXPECT_FALSE(kavro::waveform::dvb_t_soft_llr_cells(cells, 8, out, level));

        // Weighted: each value times its cell's weight, one rounding.
        std::vector<float> weights(cells.size());
        for (std::size_t c = 0; c < cells.size(); ++c) weights[c] = c % 5 == 0 ? 0.0f : 0.37f * static_cast<float>(c);
        ASSERT_TRUE(kavro::waveform::dvb_t_soft_llr_weighted_cells(cells, weights, b, out, level));
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const auto one = dvb_t_soft_llr(cells[c], b);
            for (unsigned bit = 0; bit < b; ++bit)
                EXPECT_EQ(std::bit_cast<std::uint32_t>(out[c * b + bit]),
                          std::bit_cast<std::uint32_t>((*one)[bit] * weights[c]))
                    << "variant " << v << " cell " << c;
        }
        weights.pop_back();
        EXPECT_FALSE(kavro::waveform::dvb_t_soft_llr_weighted_cells(cells, weights, b, out, level));
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, SoftLlrByOrder, ::testing::Values(2u, 4u, 6u));

TEST(SoftLlr, PublishedValues) {
    const float r2 = 1.0f / std::sqrt(2.0f), r10 = 1.0f / std::sqrt(10.0f);
    const auto qpsk = dvb_t_soft_llr({r2, -r2}, 2);
    ASSERT_TRUE(qpsk);
    EXPECT_NEAR((*qpsk)[0], 2.0f, 1e-5f);
    EXPECT_NEAR((*qpsk)[1], -2.0f, 1e-5f);

    const auto qam16 = dvb_t_soft_llr({3.0f * r10, 3.0f * r10}, 4);
    ASSERT_TRUE(qam16);
    EXPECT_NEAR((*qam16)[0], 1.6f, 1e-5f);  // I bit 0
    EXPECT_NEAR((*qam16)[2], 0.4f, 1e-5f);  // I bit 1

    // Halfway between +3 and +1 (indices 00 and 01): the second I bit is undecided, the first is not.
    const auto half = dvb_t_soft_llr({2.0f * r10, 3.0f * r10}, 4);
    ASSERT_TRUE(half);
    EXPECT_NEAR((*half)[2], 0.0f, 1e-6f);
    EXPECT_GT((*half)[0], 0.0f);
}

TEST(SoftLlr, OtherSizesGiveNothing) {
    std::array<float, 8> out{};
    for (std::size_t b : {0u, 1u, 3u, 8u}) {
        EXPECT_FALSE(dvb_t_soft_llr({0.1f, 0.2f}, b)) << b;
        EXPECT_FALSE(dvb_t_soft_llr_into({0.1f, 0.2f}, b, out)) << b;
    }
    std::array<float, 3> short_out{};
    EXPECT_FALSE(dvb_t_soft_llr_into({0.1f, 0.2f}, 4, short_out));
    const auto nan = dvb_t_soft_llr({std::numeric_limits<float>::quiet_NaN(), 0.0f}, 6);
    ASSERT_TRUE(nan);
}

}  // namespace
