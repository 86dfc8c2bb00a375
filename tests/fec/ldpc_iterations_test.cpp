#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fec/ldpc_codes.hpp"

namespace {

using kavro::fec::Ldpc;
using kavro::fec::LdpcDecodeRule;

// An n512r12 word at Eb/N0 1.5 dB (seed 264) that a row-by-row sum-product decoder first
// satisfies at its fiftieth iteration: a decoder that stops one iteration early loses it.
TEST(LdpcIterations, WordThatConvergesAtTheFiftiethIterationDecodes) {
    const Ldpc ldpc = Ldpc::build(kavro::fec::LdpcCode::N512R12);
    std::mt19937_64 rng(264);
    std::vector<std::uint8_t> message(256);
    for (auto& b : message) b = static_cast<std::uint8_t>(rng() & 1);
    const auto codeword = ldpc.encode(message);
    const double sigma2 = 1.0 / (2.0 * 0.5 * std::pow(10.0, 1.5 / 10.0));
    std::normal_distribution<double> noise(0.0, std::sqrt(sigma2));
    std::vector<float> llr(codeword.size());
    for (std::size_t i = 0; i < llr.size(); ++i)
        llr[i] = static_cast<float>(2.0 * ((codeword[i] ? -1.0 : 1.0) + noise(rng)) / sigma2);
    const auto decoded = ldpc.decode(llr, LdpcDecodeRule{LdpcDecodeRule::Kind::SumProduct, 0.0f});
    EXPECT_TRUE(decoded.converged);
    EXPECT_EQ(decoded.message, message);
}

}  // namespace
