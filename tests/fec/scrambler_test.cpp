#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/bit_packing.hpp"
#include "fec/scrambler.hpp"
#include "support/test_support.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kavro::fec::LfsrError;
using kavro::fec::PnScrambler;
using kavro::fec::ScramblerKind;
using kavro::fec::ScramblerSeed;

PnScrambler make(std::uint32_t poly, std::uint32_t width, std::uint32_t seed) {
    auto s = PnScrambler::create(poly, width, seed);
    EXPECT_TRUE(s.has_value());
    return *s;
}

Bytes keystream_bytes(const PnScrambler& s, std::size_t n) {
    Bytes bytes(n, 0);
    s.scramble(bytes);
    return bytes;
}

// A literal one-bit-per-step model of the register, for comparison with the byte-wise kernel.
Bytes reference_keystream_lsb_first(std::uint32_t poly, std::uint32_t width, std::uint32_t reg,
                                    std::size_t n_bytes) {
    const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
    Bytes out(n_bytes, 0);
    for (std::size_t i = 0; i < 8 * n_bytes; ++i) {
        out[i / 8] |= static_cast<std::uint8_t>((reg & 1u) << (i % 8));
        unsigned parity = 0;
        for (std::uint32_t t = reg & poly; t != 0; t >>= 1) parity ^= t & 1u;
        reg = static_cast<std::uint32_t>(((std::uint64_t{parity} << (width - 1)) | (reg >> 1)) & mask);
    }
    return out;
}

TEST(PnScrambler, WidthTwoExample) {
    // Keystream period 3 (1, 0, 1, 1, 0, 1, ...), least significant bit first.
    EXPECT_EQ(keystream_bytes(make(0x3, 2, 1), 2), (Bytes{0x6D, 0xDB}));
}

struct LfsrCase {
    std::uint32_t poly, width, seed;
};

class PnScramblerSettings : public ::testing::TestWithParam<LfsrCase> {};

TEST_P(PnScramblerSettings, MatchesBitwiseModelAndIsAnInvolution) {
    const auto [poly, width, seed] = GetParam();
    const PnScrambler s = make(poly, width, seed);
    EXPECT_EQ(keystream_bytes(s, 64), reference_keystream_lsb_first(poly, width, s.state(), 64));

    const Bytes data = kavro::test::random_bytes(257, seed);
    Bytes work = data;
    s.scramble(work);
    EXPECT_NE(work, data);
    s.scramble(work);  // each call restarts from the seed
    EXPECT_EQ(work, data);
}

INSTANTIATE_TEST_SUITE_P(Registers, PnScramblerSettings,
                         ::testing::Values(LfsrCase{0x3, 2, 1}, LfsrCase{0x6000, 15, 0x4A80},
                                           LfsrCase{0x11D, 9, 0x1FF}, LfsrCase{0xA3000001u, 32, 0xDEADBEEFu},
                                           LfsrCase{0x80000001u, 32, 0xFFFFFFFFu}));

TEST(PnScrambler, SeedReducedToWidthAndZeroBecomesOne) {
    const Bytes one = keystream_bytes(make(0x9, 4, 1), 16);
    EXPECT_EQ(keystream_bytes(make(0x9, 4, 0), 16), one);
    EXPECT_EQ(keystream_bytes(make(0x9, 4, 0x30), 16), one);  // low four bits are zero
    EXPECT_EQ(keystream_bytes(make(0x9, 4, 0x31), 16), one);
    EXPECT_EQ(make(0x1, 32, 0x80000000u).state(), 0x80000000u);
}

struct BadSetting {
    std::uint32_t poly, width;
    LfsrError error;
    const char* message;
};

class PnScramblerRejects : public ::testing::TestWithParam<BadSetting> {};

TEST_P(PnScramblerRejects, WithItsMessage) {
    const auto s = PnScrambler::create(GetParam().poly, GetParam().width, 1);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error(), GetParam().error);
    EXPECT_EQ(error_message(s.error()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PnScramblerRejects,
    ::testing::Values(BadSetting{0x3, 1, LfsrError::WidthOutOfRange, "LFSR width must be in 2..=32"},
                      BadSetting{0x3, 0, LfsrError::WidthOutOfRange, "LFSR width must be in 2..=32"},
                      // The width is checked first, even when the taps are too wide as well.
                      BadSetting{0xFFFFFFFFu, 1, LfsrError::WidthOutOfRange, "LFSR width must be in 2..=32"},
                      BadSetting{0x3, 33, LfsrError::WidthOutOfRange, "LFSR width must be in 2..=32"},
                      BadSetting{0x10, 4, LfsrError::TapsTooWide, "LFSR taps must fit in `width` bits"},
                      BadSetting{0x80000000u, 31, LfsrError::TapsTooWide, "LFSR taps must fit in `width` bits"}));

TEST(PnScrambler, CodedBitKeystreamIsThePackedKeystreamMsbFirst) {
    const PnScrambler s = make(0x3, 2, 1);
    // Byte keystream 0x6D 0xDB unpacked most significant bit first, first 13 bits.
    const Bytes expected = {0, 1, 1, 0, 1, 1, 0, 1, 1, 1, 0, 1, 1};
    Bytes key(13);
    s.keystream_bits(key);
    EXPECT_EQ(key, expected);

    // Coded bits XOR keystream, against pack -> scramble -> unpack.
    const Bytes coded = {1, 1, 0, 0, 1, 0, 1, 0, 0, 0, 1, 1, 1};
    Bytes xored = coded;
    s.scramble_bits(xored);
    for (std::size_t i = 0; i < coded.size(); ++i) EXPECT_EQ(xored[i], coded[i] ^ expected[i]) << i;
    Bytes packed = kavro::fec::pack_bits_padded(coded);
    s.scramble(packed);
    const Bytes unpacked = kavro::fec::bytes_to_bits(packed);
    EXPECT_EQ(xored, Bytes(unpacked.begin(), unpacked.begin() + 13));
}

TEST(PnScrambler, SoftValuesFlipExactlyWhereTheKeystreamIsOne) {
    const PnScrambler s = make(0x6000, 15, 0x1234);
    constexpr std::size_t n = 203;
    // The coded-bit keystream reads the literal model's bytes most significant bit first.
    const Bytes bytes = reference_keystream_lsb_first(0x6000, 15, 0x1234, (n + 7) / 8);
    Bytes key(n);
    for (std::size_t i = 0; i < n; ++i) key[i] = (bytes[i / 8] >> (7 - i % 8)) & 1u;
    std::vector<float> llrs(n);
    for (std::size_t i = 0; i < n; ++i) llrs[i] = 0.5f + static_cast<float>(i);
    std::vector<float> flipped = llrs;
    s.flip_llr_signs(flipped);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(flipped[i], key[i] ? -llrs[i] : llrs[i]) << i;
}

TEST(ScrambleBytes, DvbTSettingGivesTheEnergyDispersalSequence) {
    Bytes bytes(8, 0);
    kavro::fec::scramble_bytes(ScramblerKind::dvb_t(), 0, bytes);
    EXPECT_EQ(bytes, (Bytes{0x03, 0xF6, 0x08, 0x34, 0x30, 0xB8, 0xA3, 0x93}));
}

TEST(ScrambleBytes, LfsrSeedSources) {
    const auto run = [](const ScramblerKind& kind, std::uint32_t per_frame_seed) {
        Bytes bytes(40, 0);
        kavro::fec::scramble_bytes(kind, per_frame_seed, bytes);
        return bytes;
    };
    const Bytes seeded = keystream_bytes(make(0x6000, 15, 0x1234), 40);
    EXPECT_EQ(run(ScramblerKind::lfsr(0x6000, 15, ScramblerSeed::fixed(0x1234)), 0x777), seeded);
    EXPECT_EQ(run(ScramblerKind::lfsr(0x6000, 15, ScramblerSeed::per_frame()), 0x1234), seeded);
    EXPECT_NE(run(ScramblerKind::lfsr(0x6000, 15, ScramblerSeed::per_frame()), 0x1235), seeded);
    EXPECT_EQ(run(ScramblerKind::lfsr(0x6000, 15, ScramblerSeed::fixed(0)), 0),
              run(ScramblerKind::lfsr(0x6000, 15, ScramblerSeed::fixed(1)), 0));
    EXPECT_EQ(run(ScramblerKind::none(), 5), Bytes(40, 0));
}

class ScrambleBytesTwice : public ::testing::TestWithParam<ScramblerKind> {};

TEST_P(ScrambleBytesTwice, RestoresTheInput) {
    const Bytes data = kavro::test::random_bytes(333, 11);
    Bytes work = data;
    kavro::fec::scramble_bytes(GetParam(), 0xBEEF, work);
    if (GetParam().kind != ScramblerKind::Kind::None) {
        EXPECT_NE(work, data);
    }
    kavro::fec::scramble_bytes(GetParam(), 0xBEEF, work);
    EXPECT_EQ(work, data);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScrambleBytesTwice,
                         ::testing::Values(ScramblerKind::none(), ScramblerKind::dvb_t(),
                                           ScramblerKind::lfsr(0x3, 2, ScramblerSeed::fixed(1)),
                                           ScramblerKind::lfsr(0x48, 7, ScramblerSeed::per_frame())));

TEST(ScrambleBytes, InvalidLfsrSettingIsAnInternalFault) {
    const auto fault_text = [](const ScramblerKind& kind) -> std::string {
        Bytes bytes(4, 0);
        try {
            kavro::fec::scramble_bytes(kind, 0, bytes);
        } catch (const kavro::InternalFault& fault) {
            return fault.what();
        }
        return "no fault";
    };
    EXPECT_EQ(fault_text(ScramblerKind::lfsr(0xFF, 1, ScramblerSeed::fixed(1))), "LFSR width must be in 2..=32");
    EXPECT_EQ(fault_text(ScramblerKind::lfsr(0x3, 33, ScramblerSeed::fixed(1))), "LFSR width must be in 2..=32");
    EXPECT_EQ(fault_text(ScramblerKind::lfsr(0x100, 8, ScramblerSeed::fixed(1))),
              "LFSR taps must fit in `width` bits");
}

TEST(CodedBitScrambling, HardAndSoftAgree) {
    const auto kind = ScramblerKind::lfsr(0x3, 2, ScramblerSeed::per_frame());
    // Coded bits XOR keystream 0,1,1,0,1,1,0,1 | 1,1,0,1,1 (0x6D 0xDB most significant bit first).
    Bytes coded = {1, 1, 0, 0, 1, 0, 1, 0, 0, 0, 1, 1, 1};
    kavro::fec::scramble_coded_bits(kind, 1, coded);
    EXPECT_EQ(coded, (Bytes{1, 0, 1, 0, 0, 1, 1, 1, 1, 1, 1, 0, 0}));

    // The receiver's sign flips turn the LLRs of the scrambled bits into those of the original.
    const Bytes original = kavro::test::random_bytes(1001, 3);
    Bytes sent(original.size());
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = original[i] & 1u;
    const Bytes clear = sent;
    const auto lfsr = ScramblerKind::lfsr(0x6000, 15, ScramblerSeed::fixed(0x4A80));
    kavro::fec::scramble_coded_bits(lfsr, 0, sent);
    std::vector<float> llrs(sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) llrs[i] = (sent[i] ? -1.0f : 1.0f) * (1.0f + static_cast<float>(i % 7));
    kavro::fec::descramble_llrs(lfsr, 0, llrs);
    for (std::size_t i = 0; i < clear.size(); ++i) ASSERT_EQ(llrs[i] <= 0.0f, clear[i] == 1) << i;

    // Only the LFSR acts on coded bits.
    for (const auto& other : {ScramblerKind::none(), ScramblerKind::dvb_t()}) {
        Bytes bits = clear;
        kavro::fec::scramble_coded_bits(other, 0, bits);
        EXPECT_EQ(bits, clear);
        std::vector<float> soft = {1.0f, -2.0f, 3.0f};
        kavro::fec::descramble_llrs(other, 0, soft);
        EXPECT_EQ(soft, (std::vector<float>{1.0f, -2.0f, 3.0f}));
    }
}

}  // namespace
