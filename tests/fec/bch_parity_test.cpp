#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fec/bch.hpp"
#include "fec/bch_parity.hpp"

namespace {

using Bits = std::vector<std::uint8_t>;

// The systematic encoder written out as the bit-serial division register it replaces.
Bits serial_parity(const kavro::fec::Bch& code, const Bits& message) {
    const auto gen = code.generator();
    const std::size_t d = code.deg();
    Bits r(d, 0);
    for (const std::uint8_t b : message) {
        const std::uint8_t f = r[0] ^ b;
        for (std::size_t j = 0; j + 1 < d; ++j) r[j] = r[j + 1] ^ (gen[j + 1] & f);
        r[d - 1] = f & gen[d];
    }
    return r;
}

class BchParityByCapability : public ::testing::TestWithParam<std::size_t> {};

// The table-driven parity equals the serial division, and recognises exactly the codewords.
TEST_P(BchParityByCapability, MatchesSerialDivision) {
    const std::size_t t = GetParam();
    const auto full = kavro::fec::Bch::shortened(255, t);
    ASSERT_TRUE(full.has_value());
    const auto code = kavro::fec::Bch::shortened(120 + full->deg(), t);  // 120 message bits
    ASSERT_TRUE(code.has_value());
    const kavro::fec::BchParity fast(code->k(), code->generator());
    std::mt19937 rng(static_cast<unsigned>(t));
    for (int trial = 0; trial < 20; ++trial) {
        Bits message(code->k());
        for (auto& bit : message) bit = static_cast<std::uint8_t>(trial == 0 ? 0 : rng() & 1u);
        Bits word = message;
        word.resize(code->n());
        fast.parity(message, std::span<std::uint8_t>(word).subspan(code->k()));
        const Bits expected = serial_parity(*code, message);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), word.begin() + static_cast<std::ptrdiff_t>(code->k())));
        EXPECT_TRUE(fast.is_codeword(word));
        word[rng() % word.size()] ^= 1;
        EXPECT_FALSE(fast.is_codeword(word));
    }
}

INSTANTIATE_TEST_SUITE_P(AllCapabilities, BchParityByCapability, ::testing::Range<std::size_t>(1, 20));

}  // namespace
