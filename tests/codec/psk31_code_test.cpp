#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "codec/psk31.hpp"
#include "support/test_support.hpp"

namespace {

using kavro::codec::qpsk31_phase_steps;
using kavro::codec::StreamingViterbi;
using kavro::codec::viterbi_decode;

constexpr float kUnreached = 1.7014117e38f;

// The code written out from its generators: first bit b ^ s2 ^ s0, second b ^ s1 ^ s0, with s3
// the bit one symbol back and s0 the bit four back.
struct LiteralEncoder {
    unsigned state = 0;
    unsigned step(unsigned b) {
        const unsigned s0 = state & 1u, s1 = (state >> 1) & 1u, s2 = (state >> 2) & 1u;
        const unsigned index = ((b ^ s2 ^ s0) << 1) | (b ^ s1 ^ s0);
        state = (b << 3) | (state >> 1);
        return index;
    }
};

std::vector<float> rotations_of(const std::vector<std::uint8_t>& bits) {
    LiteralEncoder enc;
    std::vector<float> soft;
    for (const auto b : bits) {
        const kavro::Complex r = qpsk31_phase_steps[enc.step(b & 1u)];
        soft.push_back(r.re);
        soft.push_back(r.im);
    }
    return soft;
}

// The decoder as the trellis describes it: one state at a time, predecessors recorded as states,
// a branch adding its rotation's distance from the pair counted from the nearest rotation's (half
// squared distances), a pair whose squared magnitude overflows taken as (0, 0), metrics
// renormalised after every 256th pair and before a pair whose distances sum to under 2^-16 of
// the usable pairs' sums since the last renormalisation added up.
struct LiteralViterbi {
    std::array<float, 16> m{};
    std::vector<std::array<std::uint8_t, 16>> columns;
    std::uint64_t count = 0;
    float lift = 0.0f;

    LiteralViterbi() {
        m.fill(kUnreached);
        m[0] = 0.0f;
    }

    static unsigned emitted(unsigned s) { return ((s ^ (s >> 1)) & 1u) | (((s ^ (s >> 2)) & 1u) << 1); }

    // |z - r|² / 2 = (|z|² + 1) / 2 - Re(z r*): by rotation, the best correlation less its own.
    static std::array<float, 4> distances(float re, float im) {
        std::array<float, 4> correlation, d;
        for (unsigned i = 0; i < 4; ++i) correlation[i] = re * qpsk31_phase_steps[i].re + im * qpsk31_phase_steps[i].im;
        const float best = *std::max_element(correlation.begin(), correlation.end());
        for (unsigned i = 0; i < 4; ++i) d[i] = best - correlation[i];
        return d;
    }

    void acs(float re, float im, std::array<std::uint8_t, 16>& pred) {
        if (!std::isfinite(re * re + im * im)) re = im = 0.0f;
        const std::array<float, 4> d = distances(re, im);
        std::array<float, 16> next;
        next.fill(kUnreached);
        for (unsigned s = 0; s < 16; ++s) {
            if (!(m[s] < kUnreached)) continue;
            for (unsigned b = 0; b < 2; ++b) {
                const unsigned t = (s >> 1) | (b << 3);
                const float c = m[s] + d[b ? emitted(s) ^ 3u : emitted(s)];
                if (c < next[t]) {
                    next[t] = c;
                    pred[t] = static_cast<std::uint8_t>(s);
                }
            }
        }
        m = next;
    }

    void renormalise() {
        float low = kUnreached;
        for (float v : m) low = v < low ? v : low;
        if (low > 0.0f)
            for (float& v : m)
                if (v < kUnreached) v -= low;
        lift = 0.0f;
    }

    void feed(float re, float im) {
        const std::array<float, 4> d = distances(re, im);
        const float sum = (d[0] + d[1]) + (d[2] + d[3]);
        if (sum * 65536.0f < lift) renormalise();
        if (std::isfinite(re * re + im * im)) lift += sum;
        std::array<std::uint8_t, 16> pred{};
        acs(re, im, pred);
        columns.push_back(pred);
        if (count % 256 == 255) renormalise();
        ++count;
    }

    unsigned best() const {
        unsigned b = 0;
        for (unsigned s = 1; s < 16; ++s)
            if (m[s] < m[b]) b = s;
        return b;
    }

    // The bit of the symbol 32 back from the newest, as the streaming decoder gives it.
    std::uint8_t streaming_bit() const {
        unsigned s = best();
        for (std::size_t k = 0; k < 32; ++k) s = columns[columns.size() - 1 - k][s];
        return static_cast<std::uint8_t>(s >> 3);
    }

    std::vector<std::uint8_t> batch_bits() const {
        std::vector<std::uint8_t> bits(columns.size());
        unsigned s = best();
        for (std::size_t k = columns.size(); k-- > 0;) {
            bits[k] = static_cast<std::uint8_t>(s >> 3);
            s = columns[k][s];
        }
        return bits;
    }
};

TEST(Qpsk31Code, EncoderIndicesFromPublishedExamples) {
    struct Case {
        std::vector<std::uint8_t> bits;
        std::vector<unsigned> indices;
    };
    const Case cases[] = {
        {{1, 1, 0, 1, 0, 0, 1}, {3, 3, 2, 0, 2, 1, 2}},
        {{1, 1, 1, 1, 1, 1}, {3, 3, 1, 0, 3, 3}},
        {{0, 0, 0, 0}, {0, 0, 0, 0}},
        {{3, 2, 255}, {3, 0, 1}},  // only bit 0 counts
    };
    for (const Case& c : cases) {
        std::uint8_t state = 0;
        std::vector<unsigned> got;
        for (const auto b : c.bits) {
            const auto step = kavro::codec::qpsk31_encode_step(state, b);
            got.push_back(step.rotation);
            state = step.next_state;
        }
        EXPECT_EQ(got, c.indices);
    }
}

TEST(Qpsk31Code, SinglePairsAndEmptyInput) {
    struct Case {
        std::vector<float> soft;
        std::vector<std::uint8_t> bits;
    };
    const Case cases[] = {
        {{1.0f, 0.0f}, {0}}, {{-1.0f, 0.0f}, {1}}, {{0.0f, 1.0f}, {0}}, {{}, {}}, {{0.5f}, {}}, {{-1.0f, 0.0f, 7.0f}, {1}},
    };
    for (const Case& c : cases) EXPECT_EQ(viterbi_decode(c.soft), c.bits);
}

// Pairs that exercise every path of the decoders: noisy rotations, values drawn from a small grid
// (exact ties between branches), long runs (renormalisation), and non-finite or huge pairs.
std::vector<float> hard_pairs(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.6f);
    const float grid[] = {-1.0f, 0.0f, 1.0f, 0.5f, -0.5f};
    const float odd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), 1e20f, 1e5f, 3e18f, 1e30f};
    LiteralEncoder enc;
    std::vector<float> soft;
    for (int k = 0; k < 3000; ++k) {
        const kavro::Complex r = qpsk31_phase_steps[enc.step(rng() & 1u)];
        const unsigned kind = rng() % 100;
        if (kind < 20) {
            soft.push_back(grid[rng() % 5]);
            soft.push_back(grid[rng() % 5]);
        } else if (kind < 22) {
            soft.push_back(odd[rng() % 7]);
            soft.push_back(rng() % 2 ? r.im : odd[rng() % 7]);
        } else {
            soft.push_back(r.re + noise(rng));
            soft.push_back(r.im + noise(rng));
        }
    }
    return soft;
}

TEST(Qpsk31Code, FastDecodersEqualLiteralReference) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        const std::vector<float> soft = hard_pairs(seed);
        LiteralViterbi ref;
        StreamingViterbi streaming;
        for (std::size_t k = 0; k < soft.size() / 2; ++k) {
            ref.feed(soft[2 * k], soft[2 * k + 1]);
            const std::optional<std::uint8_t> bit = streaming.feed_symbol(soft[2 * k], soft[2 * k + 1]);
            for (unsigned s = 0; s < 16; ++s)
                ASSERT_EQ(std::bit_cast<std::uint32_t>(streaming.metrics()[s]), std::bit_cast<std::uint32_t>(ref.m[s]))
                    << "seed " << seed << " pair " << k << " state " << s;
            ASSERT_EQ(bit.has_value(), k >= 32);
            if (bit) {
                ASSERT_EQ(*bit, ref.streaming_bit()) << "pair " << k;
            }
        }
        EXPECT_EQ(viterbi_decode(soft), ref.batch_bits());
    }
}

// Both butterfly kernels against the literal step on reached metrics, ties included.
TEST(Qpsk31Code, ButterflyKernelsEqualLiteralStep) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 2000; ++trial) {
        LiteralViterbi ref;
        for (float& v : ref.m) v = static_cast<float>(rng() % 8) * 0.5f;  // many equal candidates
        const float re = static_cast<float>(static_cast<int>(rng() % 5) - 2) * 0.5f;
        const float im = static_cast<float>(static_cast<int>(rng() % 5) - 2) * 0.5f;
        const std::array<float, 4> d = LiteralViterbi::distances(re, im);
        const std::array<float, 16> before = ref.m;
        std::array<std::uint8_t, 16> pred{};
        ref.acs(re, im, pred);
        for (const kavro::SimdLevel level : kavro::simd_levels) {
            if (!kavro::simd_level_available(level)) continue;
            std::array<float, 16> metrics = before;
            const std::uint16_t bits = kavro::codec::qpsk31_butterflies(metrics, d, level);
            EXPECT_EQ(metrics, ref.m);
            for (unsigned t = 0; t < 16; ++t) EXPECT_EQ(((t & 7u) << 1) | ((bits >> t) & 1u), pred[t]);
        }
    }
}

TEST(Qpsk31Code, NoiselessBitsComeBackAndStreamWithDelay) {
    const auto bits = kavro::test::random_bits(100000, 7);
    const auto soft = rotations_of(bits);
    EXPECT_EQ(viterbi_decode(soft), bits);
    StreamingViterbi streaming;
    std::size_t wrong = 0;
    for (std::size_t k = 0; k < bits.size(); ++k) {
        const auto bit = streaming.feed_symbol(soft[2 * k], soft[2 * k + 1]);
        ASSERT_EQ(bit.has_value(), k >= 32);
        if (bit) wrong += *bit != bits[k - 32];
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(Qpsk31Code, RenormalisesOnEvery256thPair) {
    StreamingViterbi v;
    // Random pairs follow no path of the code, so the smallest metric grows and falls back to 0
    // only when renormalised.
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    float previous = 0.0f;
    for (std::size_t k = 0; k < 600; ++k) {
        v.feed_symbol(uniform(rng), uniform(rng));
        const auto& m = v.metrics();
        const float low = *std::min_element(m.begin(), m.end());
        if ((k + 1) % 256 == 0) {
            EXPECT_GT(previous, 0.0f) << "pair " << k;
            EXPECT_EQ(low, 0.0f) << "pair " << k;
        } else {
            EXPECT_GE(low, previous) << "pair " << k;
        }
        previous = low;
    }
}

std::vector<std::uint8_t> decode_streaming(const std::vector<float>& soft) {
    StreamingViterbi v;
    std::vector<std::uint8_t> out;
    for (std::size_t k = 0; k < soft.size() / 2 + 32; ++k) {
        const bool tail = k >= soft.size() / 2;
        if (auto b = v.feed_symbol(tail ? 0.0f : soft[2 * k], tail ? 0.0f : soft[2 * k + 1])) out.push_back(*b);
    }
    return out;
}

// One unusable pair is an erasure. One strong pair, or a burst of them on rotations no path
// follows (as a crash leaves in the demodulator's decision feedback), costs only bits within a
// few constraint lengths of it.
TEST(Qpsk31Code, StrongPairsCostLittle) {
    const auto bits = kavro::test::random_bits(2000, 11);
    const std::size_t at = 1030;  // 240 pairs before the next renormalisation every 256th
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case {
        float re, im;
        std::size_t burst;
    };
    const Case cases[] = {{nan, 0.0f, 1}, {inf, inf, 1}, {1e20f, 0.0f, 1}, {1e5f, 1e5f, 1}, {0.0f, 1e12f, 8}};
    std::mt19937_64 rng(4);
    for (const Case& c : cases) {
        auto soft = rotations_of(bits);
        for (std::size_t k = 0; k < c.burst; ++k) {
            const kavro::Complex r = qpsk31_phase_steps[rng() % 4];
            soft[2 * (at + k)] = k == 0 ? c.re : r.re * c.im;
            soft[2 * (at + k) + 1] = k == 0 ? c.im : r.im * c.im;
        }
        for (const auto& decoded : {viterbi_decode(soft), decode_streaming(soft)}) {
            ASSERT_EQ(decoded.size(), bits.size());
            for (std::size_t k = 0; k < bits.size(); ++k) {
                if (k + 16 < at || k >= at + c.burst + 16) {
                    ASSERT_EQ(decoded[k], bits[k]) << "pair (" << c.re << ", " << c.im << ") bit " << k;
                }
            }
        }
    }
}

// Rotations plus complex Gaussian noise at Es = 1.
double bit_error_rate(double es_n0_db, std::uint64_t seed) {
    const std::size_t n = 200000;
    const auto bits = kavro::test::random_bits(n, seed);
    auto soft = rotations_of(bits);
    const auto noise = kavro::test::complex_noise(n, std::pow(10.0, -es_n0_db / 10.0), seed + 1);
    for (std::size_t k = 0; k < n; ++k) {
        soft[2 * k] += noise[k].re;
        soft[2 * k + 1] += noise[k].im;
    }
    const auto decoded = viterbi_decode(soft);
    std::size_t wrong = 0;
    for (std::size_t k = 0; k < n; ++k) wrong += decoded[k] != bits[k];
    return static_cast<double>(wrong) / static_cast<double>(n);
}

TEST(Qpsk31Code, BitErrorRateInNoise) {
    EXPECT_LE(bit_error_rate(3.0, 100), 3e-3);
    EXPECT_LE(bit_error_rate(4.0, 200), 5e-4);
}

}  // namespace
