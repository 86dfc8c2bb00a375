#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/bit_packing.hpp"
#include "fec/interleaver.hpp"
#include "support/test_support.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace kavro::fec;

// Soft values tagged with their own position, so a de-interleaver's output names the received
// position each value came from.
std::vector<float> position_tags(std::size_t n) {
    std::vector<float> tags(n);
    for (std::size_t i = 0; i < n; ++i) tags[i] = static_cast<float>(i);
    return tags;
}

// Checks that the soft de-interleaver maps received values back onto the transmitted bits.
void expect_soft_inverse(const Bytes& sent, const Bytes& on_air, const std::vector<float>& sources) {
    ASSERT_GE(sources.size(), sent.size());
    std::set<float> seen;
    for (std::size_t j = 0; j < sources.size(); ++j) {
        const auto from = static_cast<std::size_t>(sources[j]);
        ASSERT_LT(from, on_air.size());
        ASSERT_TRUE(seen.insert(sources[j]).second) << "position used twice: " << from;
        ASSERT_EQ(on_air[from], j < sent.size() ? sent[j] : 0) << j;
    }
}

TEST(BlockInterleaver, WritesRowsReadsColumns) {
    EXPECT_EQ(block_interleave_bits(Bytes{0, 1, 2, 3, 4, 5}, 2, 3), (Bytes{0, 3, 1, 4, 2, 5}));
    // Seven inputs: a second block holding input 6 and five zero pads.
    EXPECT_EQ(block_interleave_bits(Bytes{1, 2, 3, 4, 5, 6, 7}, 2, 3),
              (Bytes{1, 4, 2, 5, 3, 6, 7, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(block_interleave_bits(Bytes{}, 2, 3).empty());
}

TEST(BlockInterleaver, TrailingPartialGroupPassesUnchanged) {
    const Bytes rx = {0, 3, 1, 4, 2, 5, 9, 8, 7};
    EXPECT_EQ(block_deinterleave_bits(rx, 2, 3), (Bytes{0, 1, 2, 3, 4, 5, 9, 8, 7}));
    const std::vector<float> soft = {0, 3, 1, 4, 2, 5, 9, 8, 7};
    EXPECT_EQ(block_deinterleave_llrs(soft, 2, 3), (std::vector<float>{0, 1, 2, 3, 4, 5, 9, 8, 7}));
}

TEST(ConvInterleaver, OneByteThroughTwoBranches) {
    const Bytes bits = bytes_to_bits(Bytes{0xC5});
    EXPECT_EQ(conv_interleave_bits(bits, 2, 1), bytes_to_bits(Bytes{0xC5, 0, 0, 0}));
}

TEST(ConvInterleaver, FlushLength) {
    EXPECT_EQ(conv_interleaver_flush_bytes(12, 17), 2244u);
    EXPECT_EQ(conv_interleaver_flush_bytes(1, 17), 0u);
    // 100 bytes padded to 108 (a multiple of 12), plus the flush.
    EXPECT_EQ(conv_interleave_bits(kavro::test::random_bits(800, 1), 12, 17).size(), 8u * (108 + 2244));
}

TEST(ConvInterleaver, StatefulFeedDelaysBranchJByJTimesIM) {
    constexpr std::size_t I = 5, M = 3;
    std::mt19937 rng(3);
    Bytes input(400);
    for (auto& b : input) b = static_cast<std::uint8_t>(1 + rng() % 255);

    ConvInterleaver interleaver(I, M);
    Bytes out;
    std::size_t at = 0;
    for (const std::size_t len : {0u, 1u, 4u, 33u, 2u, 360u}) {
        const Bytes chunk = interleaver.feed(std::span(input).subspan(at, len));
        ASSERT_EQ(chunk.size(), len);
        out.insert(out.end(), chunk.begin(), chunk.end());
        at += len;
    }
    EXPECT_EQ(interleaver.position(), input.size());

    Bytes expected(input.size(), 0);  // the FIFOs start zero-filled
    for (std::size_t i = 0; i < input.size(); ++i) {
        const std::size_t to = i + (i % I) * I * M;
        if (to < expected.size()) expected[to] = input[i];
    }
    EXPECT_EQ(out, expected);
}

TEST(ConvDeinterleaver, ShortOrRaggedReceiveSide) {
    // 40 bits with I = 2, M = 1: 5 bytes padded to 6, plus 2 flush bytes on the air.
    const Bytes sent = kavro::test::random_bits(40, 9);
    Bytes on_air = conv_interleave_bits(sent, 2, 1);
    ASSERT_EQ(on_air.size(), 64u);

    // A ragged bit count is packed with zero padding rather than refused.
    on_air.resize(61);
    const Bytes hard = conv_deinterleave_bits(on_air, 2, 1);
    ASSERT_EQ(hard.size(), 48u);
    EXPECT_EQ(Bytes(hard.begin(), hard.begin() + 40), sent);
    // The soft form keeps whole groups of eight only: 7 groups, 5 after the flush.
    EXPECT_EQ(conv_deinterleave_llrs(std::vector<float>(61, 1.0f), 2, 1).size(), 40u);

    // Nothing beyond the flush: no output, and no fault.
    EXPECT_TRUE(conv_deinterleave_bits(Bytes(16, 0), 2, 1).empty());
    EXPECT_TRUE(conv_deinterleave_llrs(std::vector<float>(23, 0.0f), 2, 1).empty());
    EXPECT_TRUE(conv_deinterleave_bytes(Bytes(2244, 0), 12, 17).empty());
}

TEST(Interleavers, ZeroDimensionsAreInternalFaults) {
    const auto fault_text = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const kavro::InternalFault& fault) {
            return fault.what();
        }
        return "no fault";
    };
    const Bytes bits(16, 1);
    EXPECT_EQ(fault_text([] { ConvInterleaver(0, 17); }), "convolutional interleaver dimensions must be nonzero");
    EXPECT_EQ(fault_text([] { ConvInterleaver(12, 0); }), "convolutional interleaver dimensions must be nonzero");
    EXPECT_EQ(fault_text([&] { conv_deinterleave_bits(bits, 0, 3); }),
              "convolutional interleaver dimensions must be nonzero");
    EXPECT_EQ(fault_text([&] { block_interleave_bits(bits, 0, 3); }), "interleaver dimensions must be nonzero");
    EXPECT_EQ(fault_text([&] { block_deinterleave_llrs(std::vector<float>(4), 3, 0); }),
              "interleaver dimensions must be nonzero");
}

using Kind = kavro::fec::InterleaverKind;

class InterleaverSetting : public ::testing::TestWithParam<Kind> {};

TEST_P(InterleaverSetting, PredictedSizeAndRoundTrip) {
    const Kind kind = GetParam();
    for (const std::size_t n : {0u, 1u, 8u, 77u, 1024u, 3001u}) {
        const Bytes sent = kavro::test::random_bits(n, static_cast<unsigned>(n + 5));
        const Bytes on_air = interleave_bits(kind, sent);
        ASSERT_EQ(on_air.size(), interleaved_bit_count(kind, n)) << n;
        // The inverse returns the data with the transmit padding (zero bits) still attached.
        Bytes padded = sent;
        padded.resize(kind.kind == Kind::Kind::Convolutional
                          ? on_air.size() - 8 * conv_interleaver_flush_bytes(kind.branches, kind.depth)
                          : on_air.size(),
                      0);
        EXPECT_EQ(deinterleave_bits(kind, on_air), padded) << n;
        const auto sources = deinterleave_llrs(kind, position_tags(on_air.size()));
        ASSERT_EQ(sources.size(), padded.size());
        expect_soft_inverse(sent, on_air, sources);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, InterleaverSetting,
                         ::testing::Values(Kind::none(), Kind::block(1, 1), Kind::block(2, 3), Kind::block(12, 17),
                                           Kind::block(17, 12), Kind::block(64, 1), Kind::convolutional(12, 17),
                                           Kind::convolutional(2, 1), Kind::convolutional(5, 3),
                                           Kind::convolutional(1, 4)));

TEST(InterleavedBitCount, ToleratesZeroSizes) {
    // Sizes are predicted without building anything, so zero dimensions need no fault here.
    EXPECT_EQ(interleaved_bit_count(Kind::block(0, 3), 77), 77u);
    EXPECT_EQ(interleaved_bit_count(Kind::convolutional(0, 17), 77), 80u);
    EXPECT_EQ(interleaved_bit_count(Kind::convolutional(3, 0), 77), 96u);
    EXPECT_EQ(interleaved_bit_count(Kind::convolutional(12, 17), 8 * 188), 8u * (192 + 2244));
}

}  // namespace
