#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/reed_solomon.hpp"
#include "support/test_support.hpp"

extern "C" {
#include <fec.h>
}

namespace {

using kavro::fec::ReedSolomon;
using kavro::fec::RsError;

ReedSolomon make_rs(std::size_t n, std::size_t n_parity) {
    auto rs = ReedSolomon::construct(n, n_parity);
    if (!rs) ADD_FAILURE() << "construct(" << n << ", " << n_parity << "): " << error_message(rs.error());
    return *std::move(rs);
}

std::vector<std::uint8_t> codeword(const ReedSolomon& rs, const std::vector<std::uint8_t>& message) {
    std::vector<std::uint8_t> word = message;
    const auto parity = rs.encode(message);
    word.insert(word.end(), parity.begin(), parity.end());
    return word;
}

// Adds `count` non-zero errors at distinct random positions.
void corrupt(std::mt19937& rng, std::vector<std::uint8_t>& word, std::size_t count) {
    std::vector<std::size_t> positions(word.size());
    for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
    std::shuffle(positions.begin(), positions.end(), rng);
    std::uniform_int_distribution<int> value(1, 255);
    for (std::size_t i = 0; i < count; ++i) word[positions[i]] ^= static_cast<std::uint8_t>(value(rng));
}

class LibfecRs {
public:
    LibfecRs(int n_parity, int pad) : rs_(init_rs_char(8, 0x11d, 0, 1, n_parity, pad)) {}
    ~LibfecRs() { free_rs_char(rs_); }
    std::vector<std::uint8_t> parity(std::vector<std::uint8_t> message, std::size_t n_parity) const {
        std::vector<std::uint8_t> out(n_parity);
        encode_rs_char(rs_, message.data(), out.data());
        return out;
    }

private:
    void* rs_;
};

TEST(ReedSolomon, Rs204MatchesAnIndependentImplementation) {
    const ReedSolomon rs = make_rs(204, 16);
    EXPECT_EQ(rs.k(), 188u);
    const LibfecRs oracle(16, 51);
    // The parity of the message 0..0 1 is x^16 mod g(x): the generator below its leading term.
    std::vector<std::uint8_t> unit(188, 0);
    unit.back() = 1;
    const auto unit_parity = oracle.parity(unit, 16);
    ASSERT_EQ(rs.generator().size(), 17u);
    EXPECT_EQ(rs.generator()[16], 1);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(rs.generator()[i], unit_parity[15 - i]) << i;

    std::mt19937 rng(204);
    for (int trial = 0; trial < 50; ++trial) {
        const auto message = kavro::test::random_bytes(188, rng());
        ASSERT_EQ(rs.encode(message), oracle.parity(message, 16)) << "trial " << trial;
    }
    EXPECT_EQ(rs.encode(std::vector<std::uint8_t>(188, 0)), std::vector<std::uint8_t>(16, 0));
}

struct CorrectCase {
    std::size_t n;
    std::size_t n_parity;
};

class RsCorrects : public testing::TestWithParam<CorrectCase> {};

TEST_P(RsCorrects, UpToHalfTheParityAnywhereWithTheRightCount) {
    const auto [n, n_parity] = GetParam();
    const ReedSolomon rs = make_rs(n, n_parity);
    std::mt19937 rng(static_cast<unsigned>(n * 1000 + n_parity));
    for (std::size_t errors = 0; errors <= n_parity / 2; ++errors)
        for (int trial = 0; trial < 20; ++trial) {
            const auto message = kavro::test::random_bytes(rs.k(), rng());
            auto word = codeword(rs, message);
            corrupt(rng, word, errors);
            const auto decoded = rs.decode(word);
            ASSERT_TRUE(decoded.has_value()) << errors << " errors, trial " << trial;
            EXPECT_EQ(decoded->message, message);
            EXPECT_EQ(decoded->corrected, errors);
            ASSERT_TRUE(rs.decode_in_place(word).has_value());
            EXPECT_EQ(word, codeword(rs, message));
        }
}

INSTANTIATE_TEST_SUITE_P(Codes, RsCorrects,
                         testing::Values(CorrectCase{204, 16}, CorrectCase{255, 32}, CorrectCase{255, 2},
                                         CorrectCase{60, 10}, CorrectCase{20, 4}, CorrectCase{3, 2}),
                         [](const auto& info) {
                             return "n" + std::to_string(info.param.n) + "p" + std::to_string(info.param.n_parity);
                         });

TEST(ReedSolomon, BeyondCapabilityNeverClaimsTheSentMessage) {
    const ReedSolomon rs = make_rs(204, 16);
    std::mt19937 rng(910);
    int refused = 0;
    for (std::size_t errors : {9u, 10u})
        for (int trial = 0; trial < 100; ++trial) {
            const auto message = kavro::test::random_bytes(rs.k(), rng());
            auto word = codeword(rs, message);
            corrupt(rng, word, errors);
            const auto received = word;
            const auto decoded = rs.decode_in_place(word);
            if (!decoded) {
                EXPECT_EQ(decoded.error().kind, RsError::Kind::Uncorrectable);
                EXPECT_EQ(word, received) << "a refused word is left as received";
                ++refused;
                continue;
            }
            // A mis-correction lands on another codeword.
            const std::vector<std::uint8_t> got(word.begin(), word.begin() + 188);
            EXPECT_NE(got, message);
            EXPECT_EQ(word, codeword(rs, got));
        }
    EXPECT_GE(refused, 195);
}

TEST(ReedSolomon, ErrorLocatedOutsideAShortenedWordIsRefused) {
    // A full-length codeword that is zero except in one byte before the last 20 and in its parity:
    // its last 20 bytes look to RS(20, 4) like one error in the implied leading zeros.
    const ReedSolomon full = make_rs(255, 4);
    const ReedSolomon shortened = make_rs(20, 4);
    std::vector<std::uint8_t> message(251, 0);
    message[100] = 0x5A;
    const auto word255 = codeword(full, message);
    std::vector<std::uint8_t> word(word255.end() - 20, word255.end());
    const auto received = word;
    const auto decoded = shortened.decode_in_place(word);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind, RsError::Kind::Uncorrectable);
    EXPECT_EQ(word, received);
}

TEST(ReedSolomon, SingleParityByteDetectsButCannotCorrect) {
    const ReedSolomon rs = make_rs(10, 1);
    std::vector<std::uint8_t> word = codeword(rs, std::vector<std::uint8_t>(9, 7));
    EXPECT_EQ(rs.decode(word)->corrected, 0u);
    word[3] ^= 1;
    EXPECT_FALSE(rs.decode(word).has_value());
}

TEST(ReedSolomon, ParityFreeCodePassesWordsThrough) {
    const ReedSolomon rs = make_rs(12, 0);
    EXPECT_EQ(rs.k(), 12u);
    const std::vector<std::uint8_t> message{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_TRUE(rs.encode(message).empty());
    const auto decoded = rs.decode(message);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->message, message);
    EXPECT_EQ(decoded->corrected, 0u);
}

TEST(ReedSolomon, RefusesImpossibleLengths) {
    for (const auto& [n, n_parity] : {std::pair<std::size_t, std::size_t>{0, 0}, {256, 16}, {300, 16}, {10, 10}, {4, 9}}) {
        const auto rs = ReedSolomon::construct(n, n_parity);
        ASSERT_FALSE(rs.has_value()) << n << ", " << n_parity;
        EXPECT_EQ(rs.error(), RsError::bad_length(n, n_parity));
    }
    EXPECT_EQ(error_message(RsError::bad_length(300, 16)), "BadLength(300, 16)");
    EXPECT_EQ(error_message(RsError::uncorrectable(9)), "Uncorrectable(9)");
}

TEST(ReedSolomon, WrongSizesAreInternalFaults) {
    const ReedSolomon rs = make_rs(204, 16);
    EXPECT_THROW(rs.encode(std::vector<std::uint8_t>(187)), kavro::InternalFault);
    EXPECT_THROW((void)rs.decode(std::vector<std::uint8_t>(203)), kavro::InternalFault);
}

}  // namespace
