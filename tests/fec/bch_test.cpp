#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/bch.hpp"
#include "support/test_support.hpp"

namespace {

using kavro::fec::Bch;
using kavro::fec::BchError;

// The 120-bit code of capability t, built as the codec cache builds it.
Bch message120(std::size_t t) {
    const auto probe = Bch::shortened(255, t);
    if (!probe) ADD_FAILURE() << "t " << t << ": " << error_message(probe.error());
    auto code = Bch::shortened(120 + probe->deg(), t);
    if (!code) ADD_FAILURE() << "t " << t << ": " << error_message(code.error());
    return *std::move(code);
}

std::vector<std::uint8_t> codeword(const Bch& bch, const std::vector<std::uint8_t>& message) {
    std::vector<std::uint8_t> word = message;
    const auto parity = bch.encode(message);
    word.insert(word.end(), parity.begin(), parity.end());
    return word;
}

void flip(std::mt19937& rng, std::vector<std::uint8_t>& word, std::size_t count) {
    std::vector<std::size_t> positions(word.size());
    for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
    std::shuffle(positions.begin(), positions.end(), rng);
    for (std::size_t i = 0; i < count; ++i) word[positions[i]] ^= 1;
}

TEST(Bch, CodeSizesForA120BitMessage) {
    const std::size_t expected_deg[20] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 68, 76,
                                          84, 92, 100, 108, 116, 124, 124, 124, 132};
    for (std::size_t t = 1; t <= 19; ++t) {
        const Bch bch = message120(t);
        EXPECT_EQ(bch.deg(), expected_deg[t]) << "t " << t;
        EXPECT_EQ(bch.n(), 120 + expected_deg[t]) << "t " << t;
        EXPECT_EQ(bch.k(), 120u);
        EXPECT_EQ(bch.t(), t);
    }
    const auto too_long = Bch::shortened(120 + 140, 20);
    ASSERT_FALSE(too_long.has_value());
    EXPECT_EQ(too_long.error(), BchError::bad_length(260));
}

TEST(Bch, GeneratorsMatchTheClassicTables) {
    // Generators of the length-255 narrow-sense codes, octal, highest power first.
    const std::pair<std::size_t, std::uint64_t> classic[] = {{1, 0435}, {2, 0267543}, {3, 0156720665}};
    for (const auto& [t, octal] : classic) {
        const auto bch = Bch::shortened(255, t);
        ASSERT_TRUE(bch.has_value());
        std::uint64_t value = 0;
        for (const std::uint8_t bit : bch->generator()) value = value << 1 | bit;
        EXPECT_EQ(value, octal) << "t " << t;
    }
}

class BchCorrects : public testing::TestWithParam<std::size_t> {};

TEST_P(BchCorrects, UpToTFlipsWithTheRightCount) {
    const std::size_t t = GetParam();
    const Bch bch = message120(t);
    std::mt19937 rng(static_cast<unsigned>(100 + t));
    EXPECT_EQ(bch.encode(std::vector<std::uint8_t>(120, 0)), std::vector<std::uint8_t>(bch.deg(), 0));
    for (std::size_t errors = 0; errors <= t; ++errors)
        for (int trial = 0; trial < 20; ++trial) {
            const auto message = kavro::test::random_bits(120, rng());
            auto word = codeword(bch, message);
            flip(rng, word, errors);
            const auto decoded = bch.decode(word);
            ASSERT_TRUE(decoded.has_value()) << errors << " flips, trial " << trial;
            EXPECT_EQ(decoded->message, message);
            EXPECT_EQ(decoded->flipped, errors);
        }
}

TEST_P(BchCorrects, OneFlipTooManyNeverClaimsTheSentMessage) {
    const std::size_t t = GetParam();
    const Bch bch = message120(t);
    std::mt19937 rng(static_cast<unsigned>(200 + t));
    for (int trial = 0; trial < 50; ++trial) {
        const auto message = kavro::test::random_bits(120, rng());
        auto word = codeword(bch, message);
        flip(rng, word, t + 1);
        const auto received = word;
        const auto decoded = bch.decode_in_place(word);
        if (!decoded) {
            EXPECT_EQ(word, received) << "a refused word is left as received";
            continue;
        }
        EXPECT_FALSE(t == 8) << "t = 8 must refuse, trial " << trial;
        EXPECT_NE(std::vector<std::uint8_t>(word.begin(), word.begin() + 120), message);
        EXPECT_LE(*decoded, t);
    }
}

INSTANTIATE_TEST_SUITE_P(Capabilities, BchCorrects, testing::Values(1, 2, 3, 5, 8, 12, 16, 19));

TEST(Bch, ErrorLocatedOutsideTheShortenedWordIsRefused) {
    // A full-length codeword that is zero but for one message bit before the last 128 bits and
    // its parity: to BCH(128, 120) its last 128 bits look like one flip in the implied zeros.
    const auto full = Bch::shortened(255, 1);
    const auto shortened = Bch::shortened(128, 1);
    ASSERT_TRUE(full && shortened);
    std::vector<std::uint8_t> message(247, 0);
    message[50] = 1;
    const auto word255 = codeword(*full, message);
    std::vector<std::uint8_t> word(word255.end() - 128, word255.end());
    const auto received = word;
    EXPECT_FALSE(shortened->decode_in_place(word).has_value());
    EXPECT_EQ(word, received);
}

TEST(Bch, RefusesImpossibleDesigns) {
    const std::pair<std::pair<std::size_t, std::size_t>, BchError> cases[] = {
        {{256, 8}, BchError::bad_length(256)},
        {{64, 8}, BchError::bad_length(64)},
        {{255, 0}, BchError::design_too_large(0)},
        {{255, 128}, BchError::design_too_large(128)},
        {{255, std::size_t{1} << 40}, BchError::design_too_large(std::size_t{1} << 40)},
        {{300, 128}, BchError::bad_length(300)},
    };
    for (const auto& [args, error] : cases) {
        const auto bch = Bch::shortened(args.first, args.second);
        ASSERT_FALSE(bch.has_value()) << args.first << ", " << args.second;
        EXPECT_EQ(bch.error(), error) << args.first << ", " << args.second;
    }
    // t = 127 covers every non-zero exponent but 0: the generator is 1 + x + ... + x^254.
    const auto widest = Bch::shortened(255, 127);
    ASSERT_TRUE(widest.has_value());
    EXPECT_EQ(widest->deg(), 254u);
    EXPECT_EQ(error_message(BchError::bad_length(260)), "BadLength(260)");
    EXPECT_EQ(error_message(BchError::design_too_large(128)), "DesignTooLarge(128)");
}

TEST(Bch, WrongSizesAreInternalFaults) {
    const Bch bch = message120(8);
    EXPECT_THROW(bch.encode(std::vector<std::uint8_t>(119)), kavro::InternalFault);
    EXPECT_THROW((void)bch.decode(std::vector<std::uint8_t>(183)), kavro::InternalFault);
}

}  // namespace
