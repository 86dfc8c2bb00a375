#include <gtest/gtest.h>

extern "C" {
#include <fec.h>
}

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/bit_packing.hpp"
#include "fec/chain/tx_chain.hpp"
#include "support/test_support.hpp"

namespace kavro {
void PrintTo(const fec::BlockPlan& p, std::ostream* os) {
    *os << "{" << p.payload_bytes << ", " << p.framed_bytes << ", " << p.outer_bits << ", " << p.outer_stage_bits << ", "
        << p.inner_bits << ", " << p.coded_bits << "}";
}
}  // namespace kavro

namespace {

using namespace kavro;
using Bytes = std::vector<std::uint8_t>;
using fec::CrcKind;
using fec::InnerFec;
using fec::InterleaverKind;
using fec::LdpcCode;
using fec::OuterFec;
using fec::PunctureRate;
using fec::ScramblerKind;
using fec::ScramblerPosition;
using fec::ScramblerSeed;

// The additive LFSR written out literally: per byte, bits 0..7 (least significant first), output
// register bit 0, then shift right and feed parity(register & poly) in at the top.
Bytes reference_lfsr_keystream(std::uint32_t poly, unsigned width, std::uint32_t seed, std::size_t n_bytes) {
    const std::uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1u;
    std::uint32_t reg = seed & mask;
    if (reg == 0) reg = 1;
    Bytes out(n_bytes, 0);
    for (auto& byte : out) {
        for (unsigned j = 0; j < 8; ++j) {
            reg &= mask;
            byte = static_cast<std::uint8_t>(byte | ((reg & 1u) << j));
            const std::uint32_t f = static_cast<std::uint32_t>(__builtin_parity(reg & poly));
            reg = ((f << (width - 1)) | (reg >> 1)) & mask;
        }
    }
    return out;
}

struct PlanCase {
    std::string name;
    std::size_t payload_len;
    CrcKind crc;
    OuterFec outer;
    InnerFec inner;
    InterleaverKind outer_interleaver;
    InterleaverKind inner_interleaver;
    fec::BlockPlan expected;
};

class BlockPlanExamples : public ::testing::TestWithParam<PlanCase> {};

TEST_P(BlockPlanExamples, SizesOfEveryStage) {
    const PlanCase& c = GetParam();
    fec::CodecCache cache;
    const fec::ChainSettings chain{.crc = c.crc,
                                   .outer = c.outer,
                                   .inner = c.inner,
                                   .outer_interleaver = c.outer_interleaver,
                                   .inner_interleaver = c.inner_interleaver};
    const fec::BlockPlan plan = fec::block_plan(c.payload_len, chain, cache);
    EXPECT_EQ(plan, c.expected);
    const fec::EncodedStages stages = fec::encode_chain_stages(test::random_bytes(c.payload_len, 5), chain, 0, cache);
    EXPECT_EQ(stages.outer_stage.size(), plan.outer_stage_bits);
    EXPECT_EQ(stages.coded.size(), plan.coded_bits);
}

const InnerFec kLdpc12 = InnerFec::ldpc(LdpcCode::N512R12);

INSTANTIATE_TEST_SUITE_P(
    Examples, BlockPlanExamples,
    ::testing::Values(
        // The 14-byte frame header: one n512r12 word.
        PlanCase{"header", 14, CrcKind::Crc16, {}, kLdpc12, {}, {}, {14, 16, 128, 128, 512, 512}},
        // Seven BCH(184, 120) blocks, six LDPC words.
        PlanCase{"bch_ldpc", 100, CrcKind::Crc32, OuterFec::bch(8), kLdpc12, {}, {}, {100, 104, 1288, 1288, 3072, 3072}},
        // DVB-T: two transport packets, RS(204, 188), I = 12 / M = 17 outer interleaver, K = 7 at
        // 2/3. The 408 bytes padded to 408 (a multiple of 12) plus 2244 flush bytes.
        PlanCase{"dvb_t", 376, CrcKind::None, OuterFec::reed_solomon(204, 16), InnerFec::conv_k7(PunctureRate::R23),
                 InterleaverKind::convolutional(12, 17), {},
                 {376, 376, 3264, 8 * (408 + 2244), (8 * (408 + 2244) + 6) / 2 * 3, (8 * (408 + 2244) + 6) / 2 * 3}},
        PlanCase{"empty_ldpc", 0, CrcKind::None, {}, kLdpc12, {}, {}, {0, 0, 0, 0, 0, 0}},
        PlanCase{"empty_k7_tail", 0, CrcKind::None, {}, InnerFec::conv_k7(PunctureRate::R12), {}, {}, {0, 0, 0, 0, 12, 12}},
        PlanCase{"empty_k7_tail_23", 0, CrcKind::None, {}, InnerFec::conv_k7(PunctureRate::R23), {}, {}, {0, 0, 0, 0, 9, 9}},
        // 13 bytes through RS(60, 50): one word; block interleavers round up to whole blocks.
        PlanCase{"rs_block", 11, CrcKind::Crc16, OuterFec::reed_solomon(60, 10), {}, InterleaverKind::block(7, 9),
                 InterleaverKind::block(16, 16), {11, 13, 480, 504, 504, 512}},
        // K = 5 at 3/4 over 128 bits: L = 132, 44 periods of 4; the 22 coded bytes padded to 24.
        PlanCase{"k5_34", 16, CrcKind::None, {}, InnerFec::conv_k5(PunctureRate::R34), {},
                 InterleaverKind::convolutional(3, 2), {16, 16, 128, 128, 176, 8 * (24 + 12)}},
        // K = 7 at 7/8 over 100 bits: L = 106, 15 periods of 8 plus X1 Y1 of the next.
        PlanCase{"k7_78", 10, CrcKind::None, {}, InnerFec::conv_k7(PunctureRate::R78), InterleaverKind::block(4, 25), {},
                 {10, 10, 80, 100, 122, 122}}),
    [](const auto& info) { return info.param.name; });

// After the inner code the coded bits are XORed with the LFSR keystream of ceil(n/8) zero bytes,
// unpacked most significant bit first.
TEST(EncodeChainStages, ScramblerAfterInnerXorsTheKeystreamInCodedBitOrder) {
    // The literal reference itself: poly 0x3, width 2, seed 1 gives 0x6D, 0xDB.
    EXPECT_EQ(reference_lfsr_keystream(0x3, 2, 1, 2), (Bytes{0x6D, 0xDB}));

    fec::CodecCache cache;
    const Bytes payload = test::random_bytes(57, 11);
    const InnerFec inner = InnerFec::conv_k5(PunctureRate::R56);  // an odd coded length
    const InterleaverKind inner_il = InterleaverKind::block(5, 3);
    fec::ChainSettings chain{.crc = CrcKind::Crc16,
                             .outer = OuterFec::bch(3),
                             .inner = inner,
                             .inner_interleaver = inner_il,
                             .position = ScramblerPosition::AfterInner};
    const fec::EncodedStages plain = fec::encode_chain_stages(payload, chain, 0, cache);
    ASSERT_NE(plain.coded.size() % 8, 0u);

    for (const auto& [seed_setting, per_frame_seed, seed] :
         {std::tuple{ScramblerSeed::fixed(0x2B5), 99u, 0x2B5u}, std::tuple{ScramblerSeed::per_frame(), 0xFFFF1234u, 0x1234u}}) {
        chain.scrambler = ScramblerKind::lfsr(0x6000, 15, seed_setting);
        const fec::EncodedStages scrambled = fec::encode_chain_stages(payload, chain, per_frame_seed, cache);
        EXPECT_EQ(scrambled.outer_stage, plain.outer_stage);
        const Bytes key_bits = fec::bytes_to_bits(reference_lfsr_keystream(0x6000, 15, seed, (plain.coded.size() + 7) / 8));
        ASSERT_EQ(scrambled.coded.size(), plain.coded.size());
        for (std::size_t i = 0; i < plain.coded.size(); ++i) {
            ASSERT_EQ(scrambled.coded[i], plain.coded[i] ^ key_bits[i]) << "coded bit " << i;
        }
    }
}

// Before the outer code the scrambler works on the framed bytes, CRC included.
TEST(EncodeChainStages, ScramblerBeforeOuterWorksOnTheFramedBytes) {
    fec::CodecCache cache;
    const Bytes payload = test::random_bytes(40, 12);
    const ScramblerKind lfsr = ScramblerKind::lfsr(0x48, 7, ScramblerSeed::fixed(0x5D));
    const fec::EncodedStages scrambled = fec::encode_chain_stages(
        payload, {.crc = CrcKind::Crc32, .scrambler = lfsr, .position = ScramblerPosition::BeforeOuter}, 0, cache);
    const fec::EncodedStages unscrambled = fec::encode_chain_stages(
        payload, {.crc = CrcKind::Crc32, .position = ScramblerPosition::BeforeOuter}, 0, cache);
    Bytes expected = fec::bits_to_bytes(unscrambled.coded);
    const Bytes key = reference_lfsr_keystream(0x48, 7, 0x5D, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] ^= key[i];
    EXPECT_EQ(fec::bits_to_bytes(scrambled.coded), expected);

    // The DVB-T energy dispersal also acts on the bytes only, and not after the inner code.
    const fec::EncodedStages dvb = fec::encode_chain_stages(
        payload,
        {.crc = CrcKind::Crc32, .scrambler = ScramblerKind::dvb_t(), .position = ScramblerPosition::BeforeOuter}, 0,
        cache);
    const Bytes dvb_bytes = fec::bits_to_bytes(dvb.coded);
    EXPECT_EQ(dvb_bytes[0] ^ fec::bits_to_bytes(unscrambled.coded)[0], 0x03);
    const fec::EncodedStages dvb_after = fec::encode_chain_stages(
        payload,
        {.crc = CrcKind::Crc32, .scrambler = ScramblerKind::dvb_t(), .position = ScramblerPosition::AfterInner}, 0,
        cache);
    EXPECT_EQ(dvb_after.coded, unscrambled.coded);
}

// Reed-Solomon blocks are cut from the framed bytes, the last one zero-padded, each followed by
// its parity; checked against libfec's encoder.
TEST(EncodeChainStages, ReedSolomonBlocksMatchLibfec) {
    fec::CodecCache cache;
    const Bytes payload = test::random_bytes(400, 13);  // 404 framed bytes: 3 words of RS(204, 188)
    const fec::EncodedStages stages = fec::encode_chain_stages(
        payload,
        {.crc = CrcKind::Crc32, .outer = OuterFec::reed_solomon(204, 16), .position = ScramblerPosition::BeforeOuter},
        0, cache);
    const Bytes coded = fec::bits_to_bytes(stages.coded);
    ASSERT_EQ(coded.size(), 3u * 204);

    Bytes framed = payload;
    framed.resize(3 * 188, 0);
    const Bytes with_crc = fec::bits_to_bytes(
        fec::encode_chain_stages(payload, {.crc = CrcKind::Crc32, .position = ScramblerPosition::BeforeOuter}, 0, cache)
            .coded);
    std::copy(with_crc.begin(), with_crc.end(), framed.begin());

    void* rs = init_rs_char(8, 0x11D, 0, 1, 16, 255 - 204);
    ASSERT_NE(rs, nullptr);
    for (std::size_t w = 0; w < 3; ++w) {
        Bytes parity(16);
        encode_rs_char(rs, framed.data() + w * 188, parity.data());
        EXPECT_TRUE(std::equal(framed.begin() + w * 188, framed.begin() + (w + 1) * 188, coded.begin() + w * 204)) << w;
        EXPECT_TRUE(std::equal(parity.begin(), parity.end(), coded.begin() + w * 204 + 188)) << w;
    }
    free_rs_char(rs);
}

TEST(EncodeChainStages, RefusedLfsrIsAnInternalFaultAtEitherPosition) {
    fec::CodecCache cache;
    for (const auto position : {ScramblerPosition::BeforeOuter, ScramblerPosition::AfterInner}) {
        try {
            fec::encode_chain_stages({},
                                     {.crc = CrcKind::None,
                                      .scrambler = ScramblerKind::lfsr(0x1FF, 1, ScramblerSeed::fixed(1)),
                                      .position = position},
                                     0, cache);
            ADD_FAILURE() << "no fault";
        } catch (const InternalFault& fault) {
            EXPECT_STREQ(fault.what(), "LFSR width must be in 2..=32");
        }
        EXPECT_THROW(fec::encode_chain_stages({},
                                              {.crc = CrcKind::None,
                                               .scrambler = ScramblerKind::lfsr(0x100, 8, ScramblerSeed::per_frame()),
                                               .position = position},
                                              0, cache),
                     InternalFault);
    }
}

}  // namespace
