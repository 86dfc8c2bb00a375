#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/ldpc_check_math.hpp"
#include "fec/ldpc_codes.hpp"
#include "support/test_support.hpp"

namespace {

using kavro::fec::Ldpc;
using kavro::fec::LdpcCode;
using kavro::fec::LdpcDecodeRule;
using kavro::fec::LdpcDecoded;

constexpr LdpcDecodeRule kSumProduct{LdpcDecodeRule::Kind::SumProduct, 0.0f};
constexpr LdpcDecodeRule kMinSum{LdpcDecodeRule::Kind::MinSum, 0.0f};
constexpr LdpcDecodeRule kScaledMinSum{LdpcDecodeRule::Kind::ScaledMinSum, 0.75f};

struct CodeCase {
    LdpcCode code;
    const char* name;
    std::size_t n, k;
    std::size_t row_message_columns;
    std::array<std::array<std::uint16_t, 3>, 3> first_rows;
};

const CodeCase kCodes[] = {
    {LdpcCode::N512R12, "n512r12", 512, 256, 3, {{{41, 100, 196}, {58, 104, 151}, {14, 86, 124}}}},
    {LdpcCode::N576R23, "n576r23", 576, 384, 6, {{{37, 64, 133}, {13, 123, 178}, {49, 167, 177}}}},
    {LdpcCode::N512R34, "n512r34", 512, 384, 9, {{{59, 71, 102}, {57, 74, 85}, {4, 34, 113}}}},
};

using kavro::test::random_bits;

// BPSK over AWGN at Eb/N0 for a code of the given rate, drawn from the test's stream.
std::vector<float> awgn_llrs(std::mt19937_64& rng, const std::vector<std::uint8_t>& bits, double rate,
                             double ebn0_db) {
    return kavro::test::bpsk_llrs(rng, bits, kavro::test::bpsk_noise_variance(rate, ebn0_db));
}

using V4 = float __attribute__((vector_size(16)));

// The check node's exponential and logarithm on one value.
float exp_of(float z) { return kavro::fec::check_math::exp_nonpositive(V4{z, z, z, z})[0]; }
float log_of(float w) { return kavro::fec::check_math::log_at_least_one(V4{w, w, w, w})[0]; }

// Belief propagation as first described: check-major per-edge messages, flooding schedule,
// the rules written out one row and one edge at a time.
LdpcDecoded reference_decode(const Ldpc& code, const std::vector<float>& llr, LdpcDecodeRule rule) {
    const std::size_t n = code.n(), k = code.k(), m = code.m();
    std::vector<std::size_t> row_start(m + 1, 0);
    for (std::size_t r = 0; r < m; ++r) row_start[r + 1] = row_start[r] + code.check_vars(r).size();
    const auto edge = [&](std::size_t c, std::size_t t) { return row_start[code.var_checks(c)[t]] + code.var_edge_pos(c)[t]; };
    const auto failed_of = [&](const std::vector<std::uint8_t>& bits) { return code.failed_checks(bits); };

    std::vector<std::uint8_t> hard(n);
    for (std::size_t i = 0; i < n; ++i) hard[i] = llr[i] <= 0.0f;
    std::size_t best_failed = failed_of(hard);
    std::vector<std::uint8_t> best = hard;
    std::vector<float> v2c(row_start[m]), c2v(row_start[m], 0.0f);
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t t = 0; t < code.var_checks(c).size(); ++t) v2c[edge(c, t)] = llr[c];
    for (int iter = 0; iter < 50 && best_failed != 0; ++iter) {
        for (std::size_t r = 0; r < m; ++r) {
            const std::size_t b = row_start[r], d = row_start[r + 1] - b;
            if (rule.kind == LdpcDecodeRule::Kind::SumProduct) {
                std::vector<float> minus(d), plus(d);
                float sign = 1;
                for (std::size_t j = 0; j < d; ++j) {
                    const float u = exp_of(-std::min(std::fabs(v2c[b + j]), 87.0f));
                    minus[j] = 1 - u;
                    plus[j] = 1 + u;
                    if (v2c[b + j] < 0) sign = -sign;
                }
                for (std::size_t j = 0; j < d; ++j) {
                    float a = 1, bb = 1;
                    for (std::size_t i = 0; i < d; ++i)
                        if (i != j) a *= minus[i], bb *= plus[i];
                    const float magnitude = log_of(std::min((bb + a) / (bb - a), 33554432.0f));
                    c2v[b + j] = sign * (v2c[b + j] < 0 ? -1.0f : 1.0f) * magnitude;
                }
            } else {
                const float scale = rule.kind == LdpcDecodeRule::Kind::MinSum ? 1.0f : rule.scale;
                float sign = 1, min1 = INFINITY, min2 = INFINITY;
                std::size_t pos = 0;
                for (std::size_t j = 0; j < d; ++j) {
                    const float v = v2c[b + j], a = std::fabs(v);
                    if (v < 0) sign = -sign;
                    if (a < min1) {
                        min2 = min1;
                        min1 = a;
                        pos = j;
                    } else if (a < min2) {
                        min2 = a;
                    }
                }
                for (std::size_t j = 0; j < d; ++j)
                    c2v[b + j] = scale * (sign * (v2c[b + j] < 0 ? -1.0f : 1.0f)) * (j == pos ? min2 : min1);
            }
        }
        std::vector<float> total(n);
        for (std::size_t c = 0; c < n; ++c) {
            total[c] = llr[c];
            for (std::size_t t = 0; t < code.var_checks(c).size(); ++t) total[c] += c2v[edge(c, t)];
            hard[c] = total[c] <= 0.0f;
        }
        const std::size_t failed = failed_of(hard);
        if (failed < best_failed) {
            best = hard;
            best_failed = failed;
            if (failed == 0) break;
        }
        for (std::size_t c = 0; c < n; ++c)
            for (std::size_t t = 0; t < code.var_checks(c).size(); ++t) v2c[edge(c, t)] = total[c] - c2v[edge(c, t)];
    }
    best.resize(k);
    return {best, best_failed == 0};
}

class LdpcCodes : public testing::TestWithParam<CodeCase> {};

TEST_P(LdpcCodes, ConstructionIsTheSeededMatrix) {
    const CodeCase& cc = GetParam();
    const Ldpc ldpc = Ldpc::build(cc.code);
    ASSERT_EQ(ldpc.n(), cc.n);
    ASSERT_EQ(ldpc.k(), cc.k);
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(ldpc.column_rows(c), cc.first_rows[c]) << "column " << c;

    // Least-load placement fills every row evenly, and no two message columns share two rows
    // (which they would if the fallback placement had been taken).
    std::set<std::pair<std::uint16_t, std::uint16_t>> pairs;
    for (std::size_t c = 0; c < ldpc.k(); ++c) {
        const auto& rows = ldpc.column_rows(c);
        EXPECT_TRUE(rows[0] < rows[1] && rows[1] < rows[2]);
        for (std::size_t a = 0; a < 3; ++a)
            for (std::size_t b = a + 1; b < 3; ++b) EXPECT_TRUE(pairs.insert({rows[a], rows[b]}).second);
    }
    for (std::size_t r = 0; r < ldpc.m(); ++r) {
        const auto vars = ldpc.check_vars(r);
        const std::size_t parity_cols = r == 0 ? 1 : 2;
        ASSERT_EQ(vars.size(), cc.row_message_columns + parity_cols) << "row " << r;
        for (std::size_t i = 0; i + 1 < cc.row_message_columns; ++i) EXPECT_LT(vars[i], vars[i + 1]);
        EXPECT_EQ(vars[cc.row_message_columns], ldpc.k() + r);
        if (r > 0) {
            EXPECT_EQ(vars[cc.row_message_columns + 1], ldpc.k() + r - 1);
        }
    }
    // The column view points back at the same edges.
    for (std::size_t c = 0; c < ldpc.n(); ++c) {
        const auto checks = ldpc.var_checks(c);
        const auto pos = ldpc.var_edge_pos(c);
        for (std::size_t e = 0; e < checks.size(); ++e) EXPECT_EQ(ldpc.check_vars(checks[e])[pos[e]], c);
    }

    const Ldpc again = Ldpc::build(cc.code);
    for (std::size_t c = 0; c < ldpc.k(); ++c) ASSERT_EQ(again.column_rows(c), ldpc.column_rows(c));
}

TEST_P(LdpcCodes, EncodedWordsSatisfyEveryCheckAndDecodeAtOnce) {
    const CodeCase& cc = GetParam();
    const Ldpc ldpc = Ldpc::build(cc.code);
    EXPECT_EQ(ldpc.encode(std::vector<std::uint8_t>(cc.k, 0)), std::vector<std::uint8_t>(cc.n, 0));
    std::mt19937_64 rng(cc.n + cc.k);
    for (int trial = 0; trial < 100; ++trial) {
        const auto message = random_bits(rng, cc.k);
        const auto word = ldpc.encode(message);
        ASSERT_EQ(std::vector<std::uint8_t>(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(cc.k)), message);
        ASSERT_EQ(ldpc.failed_checks(word), 0u) << "trial " << trial;
        if (trial < 5) {
            std::vector<float> llr(cc.n);
            for (std::size_t i = 0; i < cc.n; ++i) llr[i] = word[i] ? -1.5f : 1.5f;
            for (const auto rule : {kSumProduct, kMinSum, kScaledMinSum}) {
                const auto decoded = ldpc.decode(llr, rule);
                EXPECT_TRUE(decoded.converged);
                EXPECT_EQ(decoded.message, message);
            }
        }
    }
}

TEST_P(LdpcCodes, DecoderMatchesTheRowByRowReference) {
    // Near the waterfall many words need many iterations and some never converge.
    const CodeCase& cc = GetParam();
    const Ldpc ldpc = Ldpc::build(cc.code);
    const double rate = static_cast<double>(cc.k) / static_cast<double>(cc.n);
    std::mt19937_64 rng(7 * cc.n + cc.k);
    int unconverged = 0;
    for (const auto rule : {kSumProduct, kMinSum, kScaledMinSum})
        for (int trial = 0; trial < 24; ++trial) {
            auto llr = awgn_llrs(rng, ldpc.encode(random_bits(rng, cc.k)), rate, trial % 2 ? 2.0 : 0.5);
            if (trial % 6 == 5) {  // special values: zeros of both signs, infinities, NaN, ties
                llr[3] = 0.0f, llr[17] = -0.0f, llr[40] = INFINITY, llr[41] = -INFINITY, llr[42] = NAN;
                llr[50] = llr[51] = llr[52];
            }
            const auto want = reference_decode(ldpc, llr, rule);
            for (const auto level : kavro::simd_levels) {
                if (!kavro::simd_level_available(level)) continue;
                const auto got = ldpc.decode(llr, rule, level);
                ASSERT_EQ(got.message, want.message)
                    << "rule " << static_cast<int>(rule.kind) << ", trial " << trial << ", level " << static_cast<int>(level);
                ASSERT_EQ(got.converged, want.converged);
            }
            unconverged += !want.converged;
        }
    EXPECT_GT(unconverged, 0);
}

TEST_P(LdpcCodes, WordWithoutInformationKeepsTheChannelDecision) {
    // All-zero LLRs carry nothing: every message stays 0, no iteration improves on the channel
    // decision (all ones, which fails the rows of odd weight), and that word is returned.
    const CodeCase& cc = GetParam();
    const Ldpc ldpc = Ldpc::build(cc.code);
    for (const auto rule : {kSumProduct, kMinSum, kScaledMinSum})
        for (const auto level : kavro::simd_levels) {
            if (!kavro::simd_level_available(level)) continue;
            const auto decoded = ldpc.decode(std::vector<float>(cc.n, 0.0f), rule, level);
            EXPECT_FALSE(decoded.converged);
            EXPECT_EQ(decoded.message, std::vector<std::uint8_t>(cc.k, 1));
        }
}

INSTANTIATE_TEST_SUITE_P(Codes, LdpcCodes, testing::ValuesIn(kCodes),
                         [](const auto& info) { return std::string(info.param.name); });

struct FerCase {
    LdpcCode code;
    LdpcDecodeRule rule;
    double max_fer;
    const char* name;
};

class LdpcFrameErrorRate : public testing::TestWithParam<FerCase> {};

TEST_P(LdpcFrameErrorRate, At4Db) {
    const FerCase& fc = GetParam();
    const Ldpc ldpc = Ldpc::build(fc.code);
    const double rate = static_cast<double>(ldpc.k()) / static_cast<double>(ldpc.n());
    std::mt19937_64 rng(4000 + static_cast<unsigned>(fc.code));
    constexpr int kWords = 1000;
    int frame_errors = 0;
    for (int w = 0; w < kWords; ++w) {
        const auto message = random_bits(rng, ldpc.k());
        const auto decoded = ldpc.decode(awgn_llrs(rng, ldpc.encode(message), rate, 4.0), fc.rule);
        frame_errors += decoded.message != message;
    }
    const double fer = static_cast<double>(frame_errors) / kWords;
    RecordProperty("frame_error_rate", std::to_string(fer));
    EXPECT_LE(fer, fc.max_fer);
}

INSTANTIATE_TEST_SUITE_P(Rules, LdpcFrameErrorRate,
                         testing::Values(FerCase{LdpcCode::N512R12, kMinSum, 0.002, "n512r12_min_sum"},
                                         FerCase{LdpcCode::N512R12, kSumProduct, 0.004, "n512r12_sum_product"},
                                         FerCase{LdpcCode::N576R23, kMinSum, 0.008, "n576r23_min_sum"},
                                         FerCase{LdpcCode::N512R34, kMinSum, 0.006, "n512r34_min_sum"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LdpcCheckMath, ExponentialAndLogarithmAreCloseToExact) {
    double worst_exp = 0, worst_log = 0;
    for (float z = -87.0f; z <= 0.0f; z += 0.0013f)
        worst_exp = std::max(worst_exp, std::fabs(exp_of(z) / std::exp(static_cast<double>(z)) - 1.0));
    for (float w = 1.0f; w <= 33554432.0f; w *= 1.0007f)
        worst_log = std::max(worst_log, std::fabs(log_of(w) - std::log(static_cast<double>(w))));
    EXPECT_LT(worst_exp, 5e-7);
    EXPECT_LT(worst_log, 3e-6);
    EXPECT_EQ(log_of(1.0f), 0.0f);
    EXPECT_TRUE(std::isnan(exp_of(NAN)) && std::isnan(log_of(NAN)));
}

// Textbook flooding sum-product in double precision with exact tanh and atanh: the yardstick
// of the single-precision rule.
std::vector<std::uint8_t> textbook_decode(const Ldpc& code, const std::vector<float>& llr) {
    const std::size_t n = code.n(), m = code.m();
    std::vector<std::vector<double>> c2v(m);
    for (std::size_t r = 0; r < m; ++r) c2v[r].assign(code.check_vars(r).size(), 0.0);
    std::vector<std::uint8_t> hard(n);
    std::vector<double> total(llr.begin(), llr.end());
    for (int iter = 0; iter <= 50; ++iter) {
        for (std::size_t c = 0; c < n; ++c) hard[c] = total[c] <= 0.0;
        if (code.failed_checks(hard) == 0 || iter == 50) break;
        std::vector<std::vector<double>> next(m);
        for (std::size_t r = 0; r < m; ++r) {
            const auto vars = code.check_vars(r);
            std::vector<double> t(vars.size());
            for (std::size_t j = 0; j < vars.size(); ++j) t[j] = std::tanh((total[vars[j]] - c2v[r][j]) / 2.0);
            for (std::size_t j = 0; j < vars.size(); ++j) {
                double y = 1.0;
                for (std::size_t i = 0; i < vars.size(); ++i)
                    if (i != j) y *= t[i];
                next[r].push_back(2.0 * std::atanh(std::clamp(y, -1.0 + 1e-15, 1.0 - 1e-15)));
            }
        }
        c2v = std::move(next);
        std::copy(llr.begin(), llr.end(), total.begin());
        for (std::size_t r = 0; r < m; ++r) {
            const auto vars = code.check_vars(r);
            for (std::size_t j = 0; j < vars.size(); ++j) total[vars[j]] += c2v[r][j];
        }
    }
    hard.resize(code.k());
    return hard;
}

struct RuleFerCase {
    LdpcCode code;
    double ebn0_db;
    int words;
    const char* name;
};

class SumProductFrameErrorRate : public testing::TestWithParam<RuleFerCase> {};

// The default rule decodes as textbook sum-product does (within 1.3x of its frame errors) and
// no worse than min-sum, on the same seeded words.
TEST_P(SumProductFrameErrorRate, MatchesTextbookSumProduct) {
    const RuleFerCase& fc = GetParam();
    const Ldpc ldpc = Ldpc::build(fc.code);
    const double rate = static_cast<double>(ldpc.k()) / static_cast<double>(ldpc.n());
    std::mt19937_64 rng(90210 + static_cast<unsigned>(fc.code));
    int ours = 0, textbook = 0, min_sum = 0;
    for (int w = 0; w < fc.words; ++w) {
        const auto message = random_bits(rng, ldpc.k());
        const auto llr = awgn_llrs(rng, ldpc.encode(message), rate, fc.ebn0_db);
        ours += ldpc.decode(llr, kSumProduct).message != message;
        min_sum += ldpc.decode(llr, kMinSum).message != message;
        textbook += textbook_decode(ldpc, llr) != message;
    }
    RecordProperty("frame_errors", std::to_string(ours) + " sum-product, " + std::to_string(textbook) +
                                       " textbook, " + std::to_string(min_sum) + " min-sum");
    std::printf("%d words: %d sum-product, %d textbook, %d min-sum\n", fc.words, ours, textbook, min_sum);
    EXPECT_LE(ours, 1.3 * textbook + 1);
    EXPECT_LE(ours, min_sum);
}

INSTANTIATE_TEST_SUITE_P(Codes, SumProductFrameErrorRate,
                         testing::Values(RuleFerCase{LdpcCode::N512R12, 4.0, 4000, "n512r12_4db"},
                                         RuleFerCase{LdpcCode::N512R12, 3.0, 2000, "n512r12_3db"},
                                         RuleFerCase{LdpcCode::N576R23, 3.0, 2000, "n576r23_3db"},
                                         RuleFerCase{LdpcCode::N512R34, 3.5, 2000, "n512r34_3_5db"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Ldpc, WrongSizesAreInternalFaults) {
    const Ldpc ldpc = Ldpc::build(LdpcCode::N512R12);
    EXPECT_THROW(ldpc.encode(std::vector<std::uint8_t>(255)), kavro::InternalFault);
    EXPECT_THROW((void)ldpc.decode(std::vector<float>(511), kMinSum), kavro::InternalFault);
}

}  // namespace
