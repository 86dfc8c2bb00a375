#include "codec/ldpc.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/crc.hpp"
#include "codec/ldpc_reference.hpp"
#include "codec/ldpc_tables.hpp"
#include "support/test_support.hpp"

namespace kavro::codec {
namespace {

using Word12 = std::array<std::uint8_t, 12>;
using Codeword = std::array<std::uint8_t, 22>;

bool bit_of(const std::uint8_t* bytes, std::size_t i) { return (bytes[i / 8] >> (7 - i % 8)) & 1; }
void set_bit(std::uint8_t* bytes, std::size_t i) { bytes[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8)); }

// The CRC as polynomial division, one message bit at a time.
std::uint16_t bitwise_crc14(const Word12& word) {
    std::uint32_t r = 0;
    for (std::size_t i = 0; i < 82; ++i) {
        const bool top = ((r >> 13) & 1) ^ bit_of(word.data(), i);
        r = (r << 1) & 0x3FFF;
        if (top) r ^= 0x2757 & 0x3FFF;
    }
    return static_cast<std::uint16_t>(r);
}

// Parity bit r is the parity of generator row r AND the message, bit by bit.
Codeword bitwise_encode(const Word12& message) {
    Codeword codeword{};
    for (std::size_t i = 0; i < 91; ++i)
        if (bit_of(message.data(), i)) set_bit(codeword.data(), i);
    for (std::size_t r = 0; r < 83; ++r) {
        int parity = 0;
        for (std::size_t i = 0; i < 91; ++i) parity ^= bit_of(ldpc_generator[r].data(), i) & bit_of(message.data(), i);
        if (parity) set_bit(codeword.data(), 91 + r);
    }
    return codeword;
}

std::array<std::uint8_t, 174> unpacked(const Codeword& codeword) {
    std::array<std::uint8_t, 174> bits{};
    for (std::size_t i = 0; i < 174; ++i) bits[i] = bit_of(codeword.data(), i);
    return bits;
}

Word12 from_bit_string(const std::string& bits) {
    Word12 word{};
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') set_bit(word.data(), i);
    return word;
}

Word12 random_message(std::uint64_t seed) {
    const auto bytes = test::random_bytes(12, seed);
    Word12 word{};
    std::memcpy(word.data(), bytes.data(), 12);
    word[11] &= 0xE0;  // bits 91-95 zero
    return word;
}

TEST(Ft8LdpcTables, PublishedTablesDescribeOneGraphThatTheGeneratorSatisfies) {
    const std::array<std::uint8_t, 12> g0{0x83, 0x29, 0xce, 0x11, 0xbf, 0x31, 0xea, 0xf5, 0x09, 0xf2, 0x7f, 0xc0};
    const std::array<std::uint8_t, 12> g82{0x60, 0x8c, 0xc8, 0x57, 0x59, 0x4b, 0xfb, 0xb5, 0x5d, 0x69, 0x60, 0x00};
    EXPECT_EQ(ldpc_generator[0], g0);
    EXPECT_EQ(ldpc_generator[82], g82);
    EXPECT_EQ(ldpc_check_vars[0], (std::array<std::uint8_t, 7>{4, 31, 59, 91, 92, 96, 153}));
    EXPECT_EQ(ldpc_check_vars[1], (std::array<std::uint8_t, 7>{5, 32, 60, 93, 115, 146, 0}));
    EXPECT_EQ(ldpc_check_vars[82], (std::array<std::uint8_t, 7>{17, 42, 75, 129, 170, 172, 0}));
    EXPECT_EQ(ldpc_var_checks[0], (std::array<std::uint8_t, 3>{16, 45, 73}));
    EXPECT_EQ(ldpc_var_checks[3], (std::array<std::uint8_t, 3>{1, 44, 45}));
    EXPECT_EQ(ldpc_var_checks[173], (std::array<std::uint8_t, 3>{42, 49, 57}));

    const std::set<std::size_t> seven{0,  4,  6,  9,  12, 13, 17, 19, 21, 25, 29, 34,
                                      38, 39, 44, 45, 50, 54, 59, 63, 67, 68, 71, 79};
    std::set<std::pair<std::size_t, std::size_t>> by_check, by_bit;
    for (std::size_t i = 0; i < 83; ++i) {
        EXPECT_EQ(ldpc_check_degree[i], seven.count(i) ? 7 : 6) << "check " << i;
        for (std::size_t k = 0; k < 7; ++k) {
            const std::size_t v = ldpc_check_vars[i][k];
            if (k < ldpc_check_degree[i]) by_check.insert({i + 1, v});
            else EXPECT_EQ(v, 0u);
        }
    }
    for (std::size_t n = 0; n < 174; ++n)
        for (const std::size_t c : ldpc_var_checks[n]) by_bit.insert({c, n + 1});
    EXPECT_EQ(by_check.size(), 522u);
    EXPECT_EQ(by_check, by_bit);

    // Each unit message's codeword, and random ones, satisfy every check and match the bitwise
    // generator model.
    for (std::size_t u = 0; u < 91 + 50; ++u) {
        Word12 message = u < 91 ? Word12{} : random_message(u);
        if (u < 91) set_bit(message.data(), u);
        Codeword codeword;
        ldpc_encode(message, codeword);
        ASSERT_EQ(codeword, bitwise_encode(message)) << "message " << u;
        const auto bits = unpacked(codeword);
        EXPECT_EQ(test::reference_count_errors(bits.data()), 0u) << "message " << u;
        EXPECT_EQ(ldpc_count_errors(bits), 0u);
    }
    Codeword zero;
    ldpc_encode(Word12{}, zero);
    EXPECT_EQ(zero, Codeword{});
}

TEST(Ft8Crc14, PublishedValuesAndThePolynomialDivision) {
    Word12 ones{};
    for (std::size_t i = 0; i < 77; ++i) set_bit(ones.data(), i);
    Word12 first{};
    set_bit(first.data(), 0);
    // CQ K1ABC FN31, with the CRC the WSJT-X encoder prints for it.
    const Word12 cq = from_bit_string("00000000000000000000000000100000010011011110111100011010100010100001011011001");
    EXPECT_EQ(crc14(Word12{}), 0);
    EXPECT_EQ(crc14(ones), 0x07B1);
    EXPECT_EQ(crc14(first), 0x2BF8);
    EXPECT_EQ(crc14(cq), 0x37C7);

    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        Word12 word = random_message(seed);
        word[9] &= 0xF8;
        word[10] = word[11] = 0;
        const std::uint16_t crc = crc14(word);
        ASSERT_EQ(crc, bitwise_crc14(word)) << "seed " << seed;
        put_crc14(word, crc);
        for (std::size_t i = 0; i < 14; ++i) EXPECT_EQ(bit_of(word.data(), 77 + i), (crc >> (13 - i)) & 1);
        EXPECT_EQ(get_crc14(word), crc);
    }
}

// Noisy words of random codewords over a range of signal-to-noise ratios (some beyond hope),
// with special values planted in a quarter of them.
std::vector<std::array<float, 174>> noisy_words(std::size_t count, std::uint64_t seed) {
    const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                              9.95f, -9.95f, 40.0f, -40.0f, 1e30f, -1e30f, 1e-40f};
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<std::array<float, 174>> words(count);
    for (std::size_t w = 0; w < count; ++w) {
        Codeword codeword;
        ldpc_encode(random_message(rng()), codeword);
        const auto bits = unpacked(codeword);
        const float ebn0_db = -2.0f + 7.0f * static_cast<float>(rng() % 1000) / 1000.0f;
        const float sigma2 = 1.0f / (2.0f * (91.0f / 174.0f) * std::pow(10.0f, ebn0_db / 10.0f));
        const float scale = rng() % 8 == 0 ? 20.0f : 1.0f;  // some words far beyond ±9.94
        // Half the words on a coarse grid, where messages repeat and sums cancel exactly, so
        // that a change in the order of any rounding step shows in the decisions.
        const float grid = rng() % 2 == 0 ? static_cast<float>(1 + rng() % 3) : 0.0f;
        for (std::size_t n = 0; n < 174; ++n) {
            const float y = (bits[n] ? -1.0f : 1.0f) + std::sqrt(sigma2) * normal(rng);
            words[w][n] = grid > 0.0f ? std::round(y * grid) : scale * 2.0f * y / sigma2;
        }
        if (rng() % 4 == 0)
            for (std::size_t k = 1 + rng() % 6; k > 0; --k)
                words[w][rng() % 174] = specials[rng() % std::size(specials)];
    }
    return words;
}

TEST(Ft8LdpcDecoder, EveryVariantMatchesTheLiteralModelBitForBit) {
    std::size_t converged = 0, failed_all = 0;
    for (const auto& llr : noisy_words(10000, 1741)) {
        std::array<std::uint8_t, 174> expected, decided;
        const std::size_t count = test::reference_decode_soft(llr.data(), expected.data());
        for (const SimdLevel level : simd_levels) {
            if (!simd_level_available(level)) continue;
            ASSERT_EQ(ldpc_decode_soft(llr, decided, level), count);
            ASSERT_EQ(decided, expected);
        }
        converged += count == 0;
        failed_all += count > 10;
    }
    // Both outcomes are well represented.
    EXPECT_GT(converged, 3000u);
    EXPECT_GT(failed_all, 1000u);
}

TEST(Ft8LdpcDecoder, ValidRawDecisionIsReturnedAsItIs) {
    Codeword codeword;
    ldpc_encode(random_message(7), codeword);
    const auto bits = unpacked(codeword);
    std::array<float, 174> llr;
    for (std::size_t n = 0; n < 174; ++n) llr[n] = bits[n] ? -10.0f : 10.0f;
    std::size_t zero_bit = 0;
    while (bits[zero_bit] != 0) ++zero_bit;

    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (const float planted : {10.0f, nan, inf}) {
        llr[zero_bit] = planted;  // NaN decides 0, as +10 and +inf do
        std::array<std::uint8_t, 174> hard{};
        EXPECT_EQ(ldpc_decode_soft(llr, hard), 0u);
        EXPECT_EQ(hard, bits);
        EXPECT_EQ(ldpc_decode_soft(llr, hard, SimdLevel::Portable), 0u);
        EXPECT_EQ(hard, bits);
    }
    // 0.0 and -0.0 decide 1: with every one of the codeword soft zero the raw decision is the
    // codeword (were zeros read as 0 it would be the all-zero codeword).
    for (const float zero : {0.0f, -0.0f}) {
        std::array<float, 174> zeros;
        for (std::size_t n = 0; n < 174; ++n) zeros[n] = bits[n] ? zero : 10.0f;
        std::array<std::uint8_t, 174> hard{};
        EXPECT_EQ(ldpc_decode_soft(zeros, hard), 0u);
        EXPECT_EQ(hard, bits);
    }
}

TEST(Ft8LdpcDecoder, SoftZerosCarryNothingAndDecideOne) {
    // Every message stays 0, so no iteration improves on the raw decision: all ones, which fails
    // the 24 checks of seven members.
    std::array<float, 174> zeros{};
    for (std::size_t n = 0; n < 174; n += 2) zeros[n] = -0.0f;
    std::array<std::uint8_t, 174> ones;
    ones.fill(1);
    for (const SimdLevel level : simd_levels) {
        if (!simd_level_available(level)) continue;
        std::array<std::uint8_t, 174> hard{};
        EXPECT_EQ(ldpc_decode_soft(zeros, hard, level), 24u);
        EXPECT_EQ(hard, ones);
    }
}

}  // namespace
}  // namespace kavro::codec
