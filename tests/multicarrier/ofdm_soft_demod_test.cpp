#include "multicarrier/ofdm_soft_demod.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support/test_support.hpp"

namespace kavro {
namespace {

static_assert(BlockStage<OfdmSoftDemod>);

std::vector<float> demap(ConstellationOrder order, std::vector<Complex> cells) {
    OfdmSoftDemod demod(cells.size(), order);
    std::vector<float> llrs(demod.output_block_size());
    EXPECT_EQ(demod.process(cells, llrs), llrs.size());
    return llrs;
}

TEST(OfdmSoftDemod, KnownValues) {
    EXPECT_EQ(demap(ConstellationOrder::Bpsk, {{0.5f, 9.0f}}), (std::vector<float>{2.0f}));
    const std::vector<float> qpsk = demap(ConstellationOrder::Qpsk, {{0.25f, -0.5f}});
    EXPECT_FLOAT_EQ(qpsk[0], 1.4142135f);
    EXPECT_FLOAT_EQ(qpsk[1], -2.828427f);

    const std::vector<float> qam16 = demap(ConstellationOrder::Qam16, {{0.9486833f, 0.0f}});
    EXPECT_NEAR(qam16[0], -1.6f, 1e-6f);
    EXPECT_NEAR(qam16[1], 0.4f, 1e-6f);

    const std::vector<float> qam64 = demap(ConstellationOrder::Qam64, {{0.3f, -0.7f}});
    const float want[] = {-0.1852f, -0.2011f, 0.0053f, 0.7247f, 0.0511f, -0.1394f};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(qam64[static_cast<std::size_t>(i)], want[i], 1e-4f) << i;
}

TEST(OfdmSoftDemod, ShortSlicesWriteNothing) {
    OfdmSoftDemod demod(3, ConstellationOrder::Qam16);
    const std::vector<Complex> cells(3, {0.1f, 0.2f});
    std::vector<float> llrs(11, 5.0f);
    EXPECT_EQ(demod.process(cells, llrs), 0u);
    std::vector<float> room(12, 5.0f);
    EXPECT_EQ(demod.process(std::span(cells).first(2), room), 0u);
    EXPECT_EQ(room, std::vector<float>(12, 5.0f));
    EXPECT_EQ(llrs, std::vector<float>(11, 5.0f));
}

// Literal max-log rule over every level of the axis.
float reference_axis_llr(QamOrder order, float y, unsigned bit) {
    const QamGrayLevels table(order);
    const unsigned h = qam_bits_per_axis(order);
    float one = std::numeric_limits<float>::infinity(), zero = one;
    for (unsigned g = 0; g < qam_levels_per_axis(order); ++g) {
        const float d = (y - table.levels[g]) * (y - table.levels[g]);
        float& side = ((g >> (h - 1 - bit)) & 1u) ? one : zero;
        side = std::fmin(side, d);
    }
    return one - zero;
}

class SoftAgainstHard : public testing::TestWithParam<ConstellationOrder> {};

TEST_P(SoftAgainstHard, SignsAgreeWithTheSlicerAndQamMatchesTheLiteralRule) {
    const ConstellationOrder order = GetParam();
    const unsigned k = bits_per_cell(order);
    std::mt19937 rng(static_cast<unsigned>(order) + 11);
    std::uniform_real_distribution<float> u(-1.3f, 1.3f);
    std::vector<Complex> cells(100000);
    for (Complex& c : cells) c = {u(rng), u(rng)};

    std::vector<float> llrs(cells.size() * k);
    soft_demap_cells(order, cells, llrs);
    std::vector<std::uint8_t> bits(cells.size() * k);
    slice_cells(order, cells, bits);
    std::size_t disagreements = 0;
    for (std::size_t i = 0; i < llrs.size(); ++i) disagreements += (llrs[i] > 0.0f) != (bits[i] == 0);
    EXPECT_EQ(disagreements, 0u);

    if (k < 4) return;
    const auto qam = static_cast<QamOrder>(static_cast<unsigned>(order) - 2);
    const unsigned h = k / 2;
    for (std::size_t c = 0; c < 2000; ++c) {
        for (unsigned j = 0; j < h; ++j) {
            ASSERT_EQ(llrs[c * k + j], reference_axis_llr(qam, cells[c].re, j));
            ASSERT_EQ(llrs[c * k + h + j], reference_axis_llr(qam, cells[c].im, j));
        }
    }
    if (order == ConstellationOrder::Qam256) {
        const auto axis = qam_axis_soft_llr(cells[0].re);
        for (unsigned j = 0; j < 4; ++j) EXPECT_EQ(axis[j], llrs[j]);
    }
}

INSTANTIATE_TEST_SUITE_P(AllOrders, SoftAgainstHard,
                         testing::Values(ConstellationOrder::Bpsk, ConstellationOrder::Qpsk, ConstellationOrder::Qam16,
                                         ConstellationOrder::Qam64, ConstellationOrder::Qam256));

TEST(EvmDb, ReferenceAndDegenerateCases) {
    const std::vector<std::uint8_t> bits{0, 0, 1, 0, 1, 1, 0, 1};
    std::vector<Complex> points(2);
    map_cells(ConstellationOrder::Qam16, bits, points);
    EXPECT_EQ(evm_db(ConstellationOrder::Qam16, points, bits, 1), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(evm_db(ConstellationOrder::Qam16, std::vector<Complex>(2), bits, 1), 0.0f);

    // Half-amplitude cells: error power a quarter of the reference, -6.02 dB, over more cells than
    // the reference points are mapped at a time.
    const std::vector<std::uint8_t> many_bits = test::random_bits(4 * 601, 5);
    std::vector<Complex> half(601);
    map_cells(ConstellationOrder::Qam16, many_bits, half);
    for (Complex& c : half) c = c * 0.5f;
    EXPECT_NEAR(*evm_db(ConstellationOrder::Qam16, half, many_bits, 1), -6.0206f, 1e-3f);

    const std::vector<Complex> bpsk(48, {1, 0});
    EXPECT_FALSE(evm_db(ConstellationOrder::Bpsk, bpsk, std::vector<std::uint8_t>(47), 1).has_value());
    EXPECT_EQ(evm_db(ConstellationOrder::Bpsk, bpsk, std::vector<std::uint8_t>(49, 1), 1),
              static_cast<float>(10.0 * std::log10(4.0)));
    EXPECT_FALSE(evm_db(ConstellationOrder::Bpsk, std::span(bpsk).first(3), bits, 0).has_value());
    EXPECT_FALSE(evm_db(ConstellationOrder::Bpsk, {}, bits, 1).has_value());
}

}  // namespace
}  // namespace kavro
