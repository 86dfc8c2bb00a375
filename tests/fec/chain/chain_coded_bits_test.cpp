#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fec/chain/tx_chain.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;
using Bytes = std::vector<std::uint8_t>;

fec::EncodedStages encode(const Bytes& payload, const fec::OuterFec& outer, const fec::InnerFec& inner) {
    fec::CodecCache cache;
    return fec::encode_chain_stages(payload, {.crc = fec::CrcKind::None, .outer = outer, .inner = inner}, 0, cache);
}

// 320 one bits fill the first 256-bit LDPC message and 64 bits of the second, whose other 192
// bits are zero padding; the words are systematic, message first.
TEST(ChainCodedBits, LdpcWordsCarryTheBitsThenZeroPadding) {
    const fec::EncodedStages stages =
        encode(Bytes(40, 0xFF), fec::OuterFec::none(), fec::InnerFec::ldpc(fec::LdpcCode::N512R12));
    ASSERT_EQ(stages.coded.size(), 1024u);
    for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(stages.coded[i], 1) << i;
    for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(stages.coded[512 + i], i < 64 ? 1 : 0) << i;
}

// BCH t = 2 over 120-bit blocks: each block is its message bits (most significant first, the last
// block zero-padded) followed by the remainder of m(x)·x^16 divided by the generator 0267543
// (octal), computed here one bit at a time.
TEST(ChainCodedBits, BchBlocksAreMessageThenBitSerialRemainder) {
    const Bytes payload = test::random_bytes(20, 41);
    const fec::EncodedStages stages = encode(payload, fec::OuterFec::bch(2), fec::InnerFec::none());
    ASSERT_EQ(stages.coded.size(), 2 * 136u);
    std::vector<std::uint8_t> bits(240, 0);
    for (std::size_t i = 0; i < 160; ++i) bits[i] = (payload[i / 8] >> (7 - i % 8)) & 1u;
    for (std::size_t block = 0; block < 2; ++block) {
        std::uint32_t reg = 0;
        for (std::size_t i = 0; i < 120; ++i) {
            const std::uint8_t bit = bits[120 * block + i];
            ASSERT_EQ(stages.coded[136 * block + i], bit) << block << " " << i;
            const bool feedback = (bit ^ (reg >> 15)) & 1u;
            reg = (reg << 1) & 0xFFFFu;
            if (feedback) reg ^= 0267543u & 0xFFFFu;
        }
        for (std::size_t j = 0; j < 16; ++j) ASSERT_EQ(stages.coded[136 * block + 120 + j], (reg >> (15 - j)) & 1u) << block << " " << j;
    }
}

}  // namespace
