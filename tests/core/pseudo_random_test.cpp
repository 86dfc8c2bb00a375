#include "core/pseudo_random.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kavro {
namespace {

// Reference sign masks from a model written with Python integers (xorshift 13/7/17, two steps
// per sample, the state rounded to 24 significant bits with ties to even before the test
// against 2^63): bit i set where sample i's component is negative.
struct SignMasks {
    std::uint64_t seed;
    std::uint64_t negative_re;
    std::uint64_t negative_im;
};

class PseudoRandomSequence : public testing::TestWithParam<SignMasks> {};

TEST_P(PseudoRandomSequence, MatchesTheIntegerModel) {
    const SignMasks& masks = GetParam();
    const std::vector<Complex> seq = pseudo_random_unit_sequence(64, masks.seed);
    ASSERT_EQ(seq.size(), 64u);
    for (std::size_t i = 0; i < 64; ++i) {
        const float re = (masks.negative_re >> i) & 1 ? -0.70710677f : 0.70710677f;
        const float im = (masks.negative_im >> i) & 1 ? -0.70710677f : 0.70710677f;
        EXPECT_EQ(seq[i], (Complex{re, im})) << i;
    }
    // Pure: a shorter call is a prefix of a longer one.
    const std::vector<Complex> prefix = pseudo_random_unit_sequence(5, masks.seed);
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), seq.begin()));
}

INSTANTIATE_TEST_SUITE_P(Seeds, PseudoRandomSequence,
                         testing::Values(SignMasks{preamble_seed, 0xacd7dbfdf3448dfbull, 0xc76f0882154b1270ull},
                                         SignMasks{training_seed, 0x3384dcf021f3ee61ull, 0x13993bdd2f12cb24ull}));

TEST(PseudoRandomSequence, ThresholdFollowsSinglePrecisionRounding) {
    EXPECT_EQ(unit_component(0x7FFFFFBFFFFFFFFFull), -0.70710677f);
    EXPECT_EQ(unit_component(0x7FFFFFC000000000ull), 0.70710677f);
    EXPECT_EQ(unit_component(0), -0.70710677f);
    EXPECT_EQ(unit_component(~0ull), 0.70710677f);
    EXPECT_TRUE(pseudo_random_unit_sequence(0, preamble_seed).empty());
}

}  // namespace
}  // namespace kavro
