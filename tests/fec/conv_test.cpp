#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/conv.hpp"
#include "support/test_support.hpp"

namespace {

using kavro::fec::ConvKind;
using kavro::fec::PunctureRate;
using kavro::fec::ViterbiDecoder;

using Bits = std::vector<std::uint8_t>;

constexpr PunctureRate kRates[] = {PunctureRate::R12, PunctureRate::R23, PunctureRate::R34, PunctureRate::R56,
                                   PunctureRate::R78};
constexpr double kRateValue[] = {1.0 / 2, 2.0 / 3, 3.0 / 4, 5.0 / 6, 7.0 / 8};

using kavro::test::random_bits;

// The decoder as first described: full trellis of 16-bit predecessors, the correlation metric
// maximised state by state in increasing order, the first of equal candidates kept, unreached
// states skipped, and a trace back from state 0. A state that no candidate reaches keeps the
// first of its two predecessors.
Bits reference_viterbi(const std::vector<float>& soft, unsigned k, unsigned g0, unsigned g1) {
    const unsigned states = 1u << (k - 1);
    const std::size_t steps = soft.size() / 2;
    const float unreached = std::bit_cast<float>(0xFEFFFFFFu);
    std::vector<float> metric(states, unreached), next(states);
    metric[0] = 0.0f;
    std::vector<std::uint16_t> pred(steps * states);
    for (std::size_t t = 0; t < steps; ++t) {
        const float l0 = soft[2 * t], l1 = soft[2 * t + 1];
        const float bm[4] = {l0 + l1, l0 - l1, l1 - l0, -l0 - l1};
        std::fill(next.begin(), next.end(), unreached);
        for (unsigned s = 0; s < states; ++s)
            pred[t * states + s] = static_cast<std::uint16_t>((s << 1) & (states - 1));
        for (unsigned s = 0; s < states; ++s) {
            if (!(metric[s] > unreached)) continue;
            for (unsigned b = 0; b < 2; ++b) {
                const unsigned w = s | (b << (k - 1));
                const unsigned label = (std::popcount(w & g1) & 1) | ((std::popcount(w & g0) & 1) << 1);
                const unsigned ns = w >> 1;
                const float cand = metric[s] + bm[label];
                if (cand > next[ns]) {
                    next[ns] = cand;
                    pred[t * states + ns] = static_cast<std::uint16_t>(s);
                }
            }
        }
        metric.swap(next);
    }
    Bits out(steps);
    unsigned state = 0;
    for (std::size_t t = steps; t-- > 0;) {
        out[t] = static_cast<std::uint8_t>((state >> (k - 2)) & 1);
        state = pred[t * states + state];
    }
    return out;
}

Bits run_decoder(ConvKind kind, const std::vector<float>& soft, kavro::SimdLevel level) {
    ViterbiDecoder decoder(kind);
    Bits out(soft.size() / 2);
    decoder.decode(soft, out, level);
    return out;
}

TEST(ConvEncode, ImpulseResponses) {
    const Bits one{1};
    // K = 7 (171, 133): out0 1111001, out1 1011011, sent as pairs.
    EXPECT_EQ(kavro::fec::conv_encode(one, ConvKind::K7, PunctureRate::R12),
              (Bits{1, 1, 1, 0, 1, 1, 1, 1, 0, 0, 0, 1, 1, 1}));
    // K = 5 (25, 23): pairs (1,1) (0,0) (1,0) (0,1) (1,1).
    EXPECT_EQ(kavro::fec::conv_encode(one, ConvKind::K5, PunctureRate::R12), (Bits{1, 1, 0, 0, 1, 0, 0, 1, 1, 1}));
    EXPECT_EQ(kavro::fec::conv_encode({}, ConvKind::K7, PunctureRate::R12), Bits(12, 0));
    EXPECT_EQ(kavro::fec::conv_encode({}, ConvKind::K7, PunctureRate::R23), Bits(9, 0));
}

TEST(ConvEncode, CodedLengths) {
    const std::size_t k7_100[] = {212, 159, 142, 128, 122};
    for (std::size_t r = 0; r < 5; ++r)
        EXPECT_EQ(kavro::fec::conv_coded_length(100, ConvKind::K7, kRates[r]), k7_100[r]) << "rate " << r;
    std::mt19937_64 rng(5);
    for (const ConvKind kind : {ConvKind::K5, ConvKind::K7})
        for (const PunctureRate rate : kRates)
            for (const std::size_t length : {0, 1, 2, 3, 7, 50, 101}) {
                const Bits coded = kavro::fec::conv_encode(random_bits(rng, length), kind, rate);
                EXPECT_EQ(coded.size(), kavro::fec::conv_coded_length(length, kind, rate));
            }
}

TEST(ConvEncode, PuncturingKeepsTheGatedMotherBitsInOrder) {
    std::mt19937_64 rng(6);
    const Bits message = random_bits(rng, 40);
    const Bits mother = kavro::fec::conv_encode(message, ConvKind::K7, PunctureRate::R12);
    // 3/4: X1 Y1 Y2 X3 per period of three inputs.
    const Bits punctured = kavro::fec::conv_encode(message, ConvKind::K7, PunctureRate::R34);
    Bits expected;
    for (std::size_t i = 0; i < mother.size() / 2; ++i) {
        if (i % 3 != 1) expected.push_back(mother[2 * i]);
        if (i % 3 != 2) expected.push_back(mother[2 * i + 1]);
    }
    EXPECT_EQ(punctured, expected);
    // Depuncturing puts every value back in its slot and leaves punctured slots at 0.
    std::vector<float> llr(punctured.size());
    for (std::size_t i = 0; i < llr.size(); ++i) llr[i] = punctured[i] ? -1.0f - i : 1.0f + i;
    const auto soft = kavro::fec::conv_depuncture(llr, ConvKind::K7, PunctureRate::R34, message.size());
    ASSERT_EQ(soft.size(), mother.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < mother.size() / 2; ++i) {
        EXPECT_EQ(soft[2 * i], i % 3 != 1 ? llr[next++] : 0.0f);
        EXPECT_EQ(soft[2 * i + 1], i % 3 != 2 ? llr[next++] : 0.0f);
    }
    // Too few values: the missing slots stay 0.
    const auto short_soft = kavro::fec::conv_depuncture({llr.data(), 5}, ConvKind::K7, PunctureRate::R34, 40);
    EXPECT_EQ(std::count(short_soft.begin(), short_soft.end(), 0.0f), static_cast<long>(short_soft.size() - 5));
}

struct CodeRate {
    ConvKind kind;
    std::size_t rate;
};

std::string code_rate_name(const testing::TestParamInfo<CodeRate>& info) {
    static const char* names[] = {"r12", "r23", "r34", "r56", "r78"};
    return std::string(info.param.kind == ConvKind::K5 ? "k5_" : "k7_") + names[info.param.rate];
}

class ConvAllRates : public testing::TestWithParam<CodeRate> {};

TEST_P(ConvAllRates, NoiselessRoundTrip) {
    const auto [kind, r] = GetParam();
    std::mt19937_64 rng(10 + r);
    for (const std::size_t length : {0, 1, 13, 500}) {
        const Bits message = random_bits(rng, length);
        const Bits coded = kavro::fec::conv_encode(message, kind, kRates[r]);
        std::vector<float> llr(coded.size());
        for (std::size_t i = 0; i < coded.size(); ++i) llr[i] = coded[i] ? -0.5f : 0.5f;
        EXPECT_EQ(kavro::fec::conv_decode(llr, kind, kRates[r], length), message) << "length " << length;
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, ConvAllRates,
                         testing::Values(CodeRate{ConvKind::K5, 0}, CodeRate{ConvKind::K5, 1}, CodeRate{ConvKind::K5, 2},
                                         CodeRate{ConvKind::K5, 3}, CodeRate{ConvKind::K5, 4}, CodeRate{ConvKind::K7, 0},
                                         CodeRate{ConvKind::K7, 1}, CodeRate{ConvKind::K7, 2}, CodeRate{ConvKind::K7, 3},
                                         CodeRate{ConvKind::K7, 4}),
                         code_rate_name);

class ViterbiMatchesReference : public testing::TestWithParam<ConvKind> {};

TEST_P(ViterbiMatchesReference, OnRandomInputsTiesIncluded) {
    const ConvKind kind = GetParam();
    const unsigned k = kind == ConvKind::K5 ? 5 : 7;
    const unsigned g0 = kind == ConvKind::K5 ? 025 : 0171, g1 = kind == ConvKind::K5 ? 023 : 0133;
    std::mt19937_64 rng(77 + k);
    std::normal_distribution<float> gauss(0.0f, 2.0f);
    std::uniform_int_distribution<int> small(-2, 2);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t steps = 1 + rng() % 700;
        std::vector<float> soft(2 * steps);
        for (auto& x : soft) {
            switch (trial % 3) {
            case 0: x = gauss(rng); break;                              // continuous
            case 1: x = static_cast<float>(small(rng)); break;          // many exact ties
            default: x = (rng() % 4 == 0) ? 0.0f : gauss(rng); break;  // punctured-like zeros
            }
        }
        const Bits want = reference_viterbi(soft, k, g0, g1);
        for (const auto level : kavro::simd_levels) {
            if (!kavro::simd_level_available(level)) continue;
            ASSERT_EQ(run_decoder(kind, soft, level), want) << "trial " << trial << ", level " << static_cast<int>(level);
        }
    }
    // Decoding twice with one decoder gives the same bits (no state survives a call).
    ViterbiDecoder decoder(kind);
    std::vector<float> soft(400);
    for (auto& x : soft) x = static_cast<float>(small(rng));
    Bits first(200), second(200), other(500);
    decoder.decode(soft, first);
    decoder.decode(std::vector<float>(1000, 1.0f), other);
    decoder.decode(soft, second);
    EXPECT_EQ(first, second);
}

TEST_P(ViterbiMatchesReference, NonFiniteAndHugeSoftValuesGiveBits) {
    const ConvKind kind = GetParam();
    const unsigned k = kind == ConvKind::K5 ? 5 : 7;
    const unsigned g0 = kind == ConvKind::K5 ? 025 : 0171, g1 = kind == ConvKind::K5 ? 023 : 0133;
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), 3e38f, -3e38f, 1.0f, -1.0f, 0.0f};
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<float> soft(2 * (1 + rng() % 200));
        for (auto& x : soft) x = specials[rng() % std::size(specials)];
        if (trial == 0) std::fill(soft.begin(), soft.end(), std::numeric_limits<float>::quiet_NaN());
        const Bits want = reference_viterbi(soft, k, g0, g1);
        for (const auto level : kavro::simd_levels) {
            if (!kavro::simd_level_available(level)) continue;
            const Bits bits = run_decoder(kind, soft, level);
            ASSERT_EQ(bits.size(), soft.size() / 2);
            for (const auto b : bits) ASSERT_LE(b, 1);
            EXPECT_EQ(bits, want) << "trial " << trial << ", level " << static_cast<int>(level);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, ViterbiMatchesReference, testing::Values(ConvKind::K5, ConvKind::K7),
                         [](const auto& info) { return std::string(info.param == ConvKind::K5 ? "k5" : "k7"); });

struct BerCase {
    ConvKind kind;
    std::size_t rate;
    double ebn0_db;
    double max_ber;
};

std::string ber_case_name(const testing::TestParamInfo<BerCase>& info) {
    return code_rate_name({{info.param.kind, info.param.rate}, info.index});
}

class ConvBitErrorRate : public testing::TestWithParam<BerCase> {};

TEST_P(ConvBitErrorRate, OverAwgn) {
    const BerCase& bc = GetParam();
    const PunctureRate rate = kRates[bc.rate];
    // BPSK, bit 0 -> +1, sigma^2 = 1 / (2 R Eb/N0), LLR = 2 y / sigma^2.
    const double sigma2 = kavro::test::bpsk_noise_variance(kRateValue[bc.rate], bc.ebn0_db);
    std::mt19937_64 rng(31 * bc.rate + static_cast<unsigned>(bc.kind));
    std::normal_distribution<double> noise(0.0, std::sqrt(sigma2));
    constexpr std::size_t kFrameBits = 4000, kFrames = 100;
    std::size_t errors = 0;
    for (std::size_t f = 0; f < kFrames; ++f) {
        const Bits message = random_bits(rng, kFrameBits);
        const Bits coded = kavro::fec::conv_encode(message, bc.kind, rate);
        std::vector<float> llr(coded.size());
        for (std::size_t i = 0; i < coded.size(); ++i)
            llr[i] = static_cast<float>(2.0 * ((coded[i] ? -1.0 : 1.0) + noise(rng)) / sigma2);
        const Bits decoded = kavro::fec::conv_decode(llr, bc.kind, rate, kFrameBits);
        for (std::size_t i = 0; i < kFrameBits; ++i) errors += decoded[i] != message[i];
    }
    const double ber = static_cast<double>(errors) / static_cast<double>(kFrameBits * kFrames);
    RecordProperty("bit_error_rate", std::to_string(ber));
    EXPECT_LT(ber, bc.max_ber);
}

INSTANTIATE_TEST_SUITE_P(Codes, ConvBitErrorRate,
                         testing::Values(BerCase{ConvKind::K7, 0, 4.0, 7.5e-5}, BerCase{ConvKind::K7, 2, 5.0, 6.5e-5},
                                         BerCase{ConvKind::K7, 4, 5.0, 3.3e-4}, BerCase{ConvKind::K5, 0, 4.0, 2.5e-4}),
                         ber_case_name);

// A receiver weights down the soft values of faded carriers; a stretch of them, 10^4 to 10^6 times
// weaker than the rest but as clean, must still decide its bits. Wherever it starts (steps 1,000
// or 143,000 here) it meets the metrics grown since they were last taken back, so they must be
// taken back often.
TEST(Viterbi, WeakSoftValuesStillDecide) {
    struct Stretch {
        std::size_t bits, weak_from;
        double scale;
    };
    for (const Stretch& stretch :
         {Stretch{150000, 143000, 1e-4}, Stretch{150000, 143000, 1e-6}, Stretch{3000, 1000, 1e-5}}) {
        SCOPED_TRACE(stretch.weak_from);
        SCOPED_TRACE(stretch.scale);
        const double sigma2 = kavro::test::bpsk_noise_variance(0.5, 7.0);
        std::mt19937_64 rng(41);
        std::normal_distribution<double> noise(0.0, std::sqrt(sigma2));
        const Bits message = random_bits(rng, stretch.bits);
        const Bits coded = kavro::fec::conv_encode(message, ConvKind::K7, PunctureRate::R12);
        std::vector<float> llr(coded.size());
        for (std::size_t i = 0; i < coded.size(); ++i) {
            const double scale = i >= 2 * stretch.weak_from && i < 2 * (stretch.weak_from + 1000) ? stretch.scale : 1.0;
            llr[i] = static_cast<float>(scale * 2.0 * ((coded[i] ? -1.0 : 1.0) + noise(rng)) / sigma2);
        }
        for (const auto level : kavro::simd_levels) {
            if (!kavro::simd_level_available(level)) continue;
            const auto mother = kavro::fec::conv_depuncture(llr, ConvKind::K7, PunctureRate::R12, stretch.bits);
            const Bits decoded = run_decoder(ConvKind::K7, mother, level);
            std::size_t errors = 0;
            for (std::size_t i = 0; i < stretch.bits; ++i) errors += decoded[i] != message[i];
            EXPECT_LE(errors, 2u) << "level " << static_cast<int>(level);
        }
    }
}

TEST(Viterbi, OddSoftLengthIsAnInternalFault) {
    ViterbiDecoder decoder(ConvKind::K7);
    Bits out(2);
    EXPECT_THROW(decoder.decode(std::vector<float>(5), out), kavro::InternalFault);
}

}  // namespace
