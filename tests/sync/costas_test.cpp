#include "sync/costas.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "sync/ft4_sync.hpp"
#include "sync/lattice_reference.hpp"

namespace kavro {
namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();

bool same_bits(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    std::uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    return x == y;
}

struct SearchCase {
    const char* name;
    bool ft4;
    std::size_t samples;
    float base_hz, max_hz;
    std::int32_t t_min, t_max;
    std::uint64_t max_cand;
};

class LatticeSearch : public testing::TestWithParam<SearchCase> {};

// Noise with a few strong tones, so that the lattice holds real peaks, ties of empty windows and
// a NaN sample.
std::vector<Complex> test_input(std::size_t count, std::uint64_t seed) {
    std::vector<Complex> iq = test::complex_noise(count, 1.0, seed);
    for (std::size_t i = 0; i < count; ++i) {
        const double phase = 2.0 * M_PI * (130.0 + 40.0 * double(i / 3000 % 3)) * double(i) / 12000.0;
        iq[i] = iq[i] + Complex{float(3.0 * std::cos(phase)), float(3.0 * std::sin(phase))};
    }
    if (count > 9000) iq[9000] = Complex{nan_value, 0.0f};
    return iq;
}

TEST_P(LatticeSearch, WholeResultMatchesTheLiteralSearch) {
    const SearchCase& c = GetParam();
    const std::vector<Complex> iq = test_input(c.samples, 11 + c.samples);
    const auto got = (c.ft4 ? ft4_sync : ft8_sync)(iq, 12000.0f, c.base_hz, c.max_hz, c.t_min, c.t_max, c.max_cand);
    ASSERT_TRUE(got.has_value());
    const auto want = test::literal_sync(c.ft4 ? test::literal_ft4() : test::literal_ft8(), iq, 12000.0f, c.base_hz,
                                         c.max_hz, c.t_min, c.t_max, c.max_cand);
    ASSERT_EQ(got->size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const SyncResult& g = (*got)[i];
        EXPECT_EQ(g.time_sym, want[i].time_sym) << i;
        EXPECT_EQ(g.freq_bin, want[i].freq_bin) << i;
        EXPECT_TRUE(same_bits(g.score, want[i].score)) << i << ": " << g.score << " vs " << want[i].score;
        ASSERT_EQ(g.llr.size(), 174u);
        for (std::size_t n = 0; n < 174; ++n) {
            ASSERT_TRUE(same_bits(g.llr[n], want[i].llr[n])) << "result " << i << " value " << n << ": " << g.llr[n]
                                                               << " vs " << want[i].llr[n];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LatticeSearch,
    testing::Values(
        //          name                    ft4    samples base    max     t_min  t_max  max_cand
        SearchCase{"ft8_every_peak",        false, 24000,  100.0f, 160.0f, 0,     3,     1000},
        SearchCase{"ft8_one",               false, 24000,  100.0f, 160.0f, 0,     3,     1},
        SearchCase{"ft8_none",              false, 24000,  100.0f, 160.0f, 0,     3,     0},
        SearchCase{"ft8_inverted_range",    false, 24000,  100.0f, 130.0f, 2,     -5,    50},
        SearchCase{"ft8_negative_t_min",    false, 20000,  110.0f, 150.0f, -3,    2,     50},
        SearchCase{"ft8_t_min_inside",      false, 30000,  110.0f, 150.0f, 4,     7,     50},
        SearchCase{"ft8_t_min_past_end",    false, 20000,  110.0f, 150.0f, 40,    42,    50},
        SearchCase{"ft8_empty_span",        false, 20000,  150.0f, 100.0f, 0,     2,     50},
        SearchCase{"ft8_empty_input",       false, 0,      100.0f, 160.0f, 0,     3,     50},
        SearchCase{"ft4_every_peak",        true,  12000,  60.0f,  260.0f, 0,     6,     1000},
        SearchCase{"ft4_one",               true,  12000,  60.0f,  260.0f, 0,     6,     1},
        SearchCase{"ft4_inverted_range",    true,  12000,  60.0f,  200.0f, 3,     -2,    30},
        SearchCase{"ft4_negative_t_min",    true,  12000,  60.0f,  200.0f, -4,    3,     30},
        SearchCase{"ft4_large_t_min",       true,  12000,  60.0f,  200.0f, 1000,  1003,  30}),
    [](const testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.name); });

// Crafted score maps for the peak rule: (q, h, score) of the peaks expected, in result order.
struct PeakCase {
    const char* name;
    std::int64_t q_count;
    std::size_t width;
    std::vector<float> scores;
    std::uint64_t max_cand;
    std::vector<Candidate> want;
};

class PeakRule : public testing::TestWithParam<PeakCase> {};

TEST_P(PeakRule, PicksAndRanksPeaks) {
    const PeakCase& c = GetParam();
    EXPECT_EQ(rank_lattice_peaks(c.scores, c.q_count, c.width, c.max_cand), c.want);
}

std::vector<float> map_with(std::int64_t rows, std::size_t width, std::vector<Candidate> points) {
    std::vector<float> scores(std::size_t(rows) * width, 0.0f);
    for (const Candidate& p : points) scores[std::size_t(p.time) * width + p.freq_bin] = p.score;
    return scores;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PeakRule,
    testing::Values(
        // Fields are (h, q, score). Equal neighbours: only the earlier one in discovery order is a peak.
        PeakCase{"tie_in_row", 1, 10, map_with(1, 10, {{2, 0, 5.0f}, {4, 0, 5.0f}}), 10, {{2, 0, 5.0f}}},
        PeakCase{"tie_across_rows", 5, 6, map_with(5, 6, {{3, 1, 2.0f}, {1, 3, 2.0f}}), 10, {{3, 1, 2.0f}}},
        // Three steps apart suppresses, four does not.
        PeakCase{"reach_three", 1, 12, map_with(1, 12, {{1, 0, 1.0f}, {4, 0, 3.0f}, {8, 0, 2.0f}}), 10,
                 {{4, 0, 3.0f}, {8, 0, 2.0f}}},
        PeakCase{"diagonal", 8, 8, map_with(8, 8, {{0, 0, 1.0f}, {3, 3, 4.0f}, {7, 7, 4.0f}}), 10,
                 {{3, 3, 4.0f}, {7, 7, 4.0f}}},
        // Equal scores rank in discovery order, and max_cand cuts the ranked list.
        PeakCase{"rank_ties", 9, 9, map_with(9, 9, {{8, 0, 1.0f}, {0, 4, 1.0f}, {4, 8, 7.0f}}), 2,
                 {{4, 8, 7.0f}, {8, 0, 1.0f}}},
        PeakCase{"zero_is_no_peak", 2, 3, map_with(2, 3, {}), 10, {}},
        PeakCase{"infinite_score", 1, 5, map_with(1, 5, {{0, 0, std::numeric_limits<float>::infinity()}, {4, 0, 9.0f}}),
                 10, {{0, 0, std::numeric_limits<float>::infinity()}, {4, 0, 9.0f}}},
        PeakCase{"max_cand_unbounded", 1, 9, map_with(1, 9, {{0, 0, 1.0f}, {4, 0, 2.0f}, {8, 0, 3.0f}}),
                 std::numeric_limits<std::uint64_t>::max(), {{8, 0, 3.0f}, {4, 0, 2.0f}, {0, 0, 1.0f}}}),
    [](const testing::TestParamInfo<PeakCase>& info) { return std::string(info.param.name); });

TEST(LatticeSearch, FrequencySpanBeyondTwoToThe24BinsIsRefused) {
    const std::vector<Complex> iq(10);
    for (float max_hz : {std::numeric_limits<float>::infinity(), 1e30f, 6.25f * 16777217.0f + 200.0f}) {
        const auto result = ft8_sync(iq, 12000.0f, 0.0f, max_hz, 0, 0, 5);
        ASSERT_FALSE(result.has_value()) << max_hz;
        EXPECT_EQ(error_message(result.error()), "ft8_sync: frequency span too large (more than 16777216 bins)");
    }
    EXPECT_EQ(error_message(ft4_sync(iq, 12000.0f, 0.0f, 1e30f, 0, 0, 5).error()),
              "ft4_sync: frequency span too large (more than 16777216 bins)");
    // A NaN span counts as empty, exactly 2^24 bins is allowed.
    EXPECT_TRUE(ft8_sync(iq, 12000.0f, 0.0f, nan_value, 0, 0, 5).has_value());
    const auto widest = build_sub_grids(ft8_search_mode, {}, 12000.0f, 0.0f, 6.25f * 16777216.0f, 0, 0);
    ASSERT_TRUE(widest.has_value());
    EXPECT_EQ(widest->n_bins, 16777216u + 9u);
}

TEST(LatticeSearch, WorkFollowsTheInputLength) {
    // 2^32 windows on 10^5 samples: only the rows that start inside the input are stored.
    const std::vector<Complex> iq = test::complex_noise(100000, 1.0, 4);
    const auto sub = build_sub_grids(ft8_search_mode, iq, 12000.0f, 100.0f, 150.0f,
                                     std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    ASSERT_TRUE(sub.has_value());
    EXPECT_EQ(sub->n_rows, (std::int64_t(1) << 32) - 1 + 79);
    EXPECT_EQ(sub->last_window, (std::int64_t(1) << 32) - 1);
    EXPECT_EQ(sub->points_in_time, 209);  // ⌈100000 / 480⌉
    EXPECT_EQ(sub->grids[0].n_rows, 53u);  // ⌈100000 / 1920⌉
    EXPECT_EQ(sub->grids[15].n_rows, 52u);  // from sample 1440
}

}  // namespace
}  // namespace kavro
