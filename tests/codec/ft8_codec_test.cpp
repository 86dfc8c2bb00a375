#include "codec/ft8.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

#include "codec/crc.hpp"
#include "codec/ft4.hpp"
#include "codec/ldpc.hpp"
#include "support/ft8_support.hpp"
#include "support/test_support.hpp"

namespace kavro {
namespace {

struct SoftCase {
    double ebn0_db;
    double min_decoded;
};

class Ft8SoftDecoding : public ::testing::TestWithParam<SoftCase> {};

// BPSK over AWGN: y = 1 - 2b + n with σ² = 1 / (2 R Eb/N0), soft value 2y / σ².
TEST_P(Ft8SoftDecoding, DecodesMostWordsAndNeverAWrongPayload) {
    const auto [ebn0_db, min_decoded] = GetParam();
    const double sigma2 = 1.0 / (2.0 * (91.0 / 174.0) * std::pow(10.0, ebn0_db / 10.0));
    std::mt19937_64 rng(174091);
    constexpr int trials = 2000;
    int decoded = 0;
    for (int t = 0; t < trials; ++t) {
        const codec::Payload payload = test::random_ft8_payload(rng());
        std::array<std::uint8_t, 12> word{};
        std::copy(payload.begin(), payload.end(), word.begin());
        codec::put_crc14(word, codec::crc14(word));
        std::array<std::uint8_t, 22> codeword;
        codec::ldpc_encode(word, codeword);
        std::array<std::uint8_t, 174> bits;
        for (std::size_t n = 0; n < 174; ++n) bits[n] = (codeword[n / 8] >> (7 - n % 8)) & 1;
        const std::vector<float> soft = test::bpsk_llrs(bits, sigma2, rng());
        std::array<float, 174> llr;
        std::copy(soft.begin(), soft.end(), llr.begin());
        const auto result = codec::Ft8Codec::decode_soft(llr);
        ASSERT_TRUE(result.has_value());
        if (*result) {
            ASSERT_EQ(**result, payload) << "trial " << t;
            ++decoded;
        }
    }
    EXPECT_GE(decoded, min_decoded * trials) << decoded << " of " << trials;
}

INSTANTIATE_TEST_SUITE_P(EbN0, Ft8SoftDecoding, ::testing::Values(SoftCase{3.0, 0.95}, SoftCase{2.0, 0.75}));

}  // namespace
}  // namespace kavro
