#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

#include "sync/psk31_sync.hpp"
#include "sync/waterfall.hpp"

namespace {

using kavro::Psk31CarrierRun;
using kavro::Waterfall;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(Psk31Sync, BinCounts) {
    struct Case {
        float base, max;
        std::optional<std::size_t> bins;
    };
    const Case cases[] = {
        {500, 2500, 65}, {1000, 1000, 1}, {1000, 1010, 2}, {1000, 900, 1}, {1000, 1031.25f, 2}, {1000, 1031.3f, 3},
        {0, kNaN, 1},    {kNaN, 0, 1},    {0, kInf, std::nullopt}, {-1e30f, 1e30f, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(kavro::psk31_bin_count(c.base, c.max), c.bins) << c.base << " " << c.max;
}

TEST(Psk31Sync, Medians) {
    struct Case {
        std::vector<float> values;
        float median;
    };
    const Case cases[] = {
        {{3.0f}, 3.0f}, {{5.0f, 1.0f, 4.0f}, 4.0f}, {{4.0f, 1.0f, 2.0f, 8.0f}, 3.0f}, {{kNaN, 2.0f, 1.0f}, 2.0f},
        {{kNaN, 7.0f, kNaN, 1.0f}, kNaN}, {{-kInf, kNaN, 0.0f}, 0.0f},
    };
    for (const Case& c : cases) {
        const float m = kavro::median_f32(c.values);
        if (std::isnan(c.median)) {
            EXPECT_TRUE(std::isnan(m));
        } else {
            EXPECT_EQ(m, c.median);
        }
    }
}

// A waterfall of `rows` × `bins` zeros with the given cells set.
struct Cell {
    std::size_t row, bin;
    float value;
};
Waterfall grid(std::size_t rows, std::size_t bins, const std::vector<Cell>& cells) {
    Waterfall w{std::vector<float>(rows * bins, 0.0f), rows, bins};
    for (const Cell& c : cells) w.data[c.row * bins + c.bin] = c.value;
    return w;
}

std::vector<Cell> column(std::size_t bin, std::size_t first, std::size_t count, float value) {
    std::vector<Cell> cells;
    for (std::size_t r = first; r < first + count; ++r) cells.push_back({r, bin, value});
    return cells;
}

TEST(Psk31Sync, RunRules) {
    struct Case {
        const char* name;
        Waterfall w;
        std::size_t min_syms;
        std::vector<Psk31CarrierRun> runs;
    };
    auto two_runs = column(2, 3, 8, 5.0f);
    for (const Cell& c : column(2, 20, 7, 5.0f)) two_runs.push_back(c);
    auto late = column(1, 12, 8, 4.0f);
    late.push_back({14, 1, 6.0f});
    auto neighbours = column(3, 0, 8, 5.0f);
    for (const Cell& c : column(4, 0, 8, 5.0f)) neighbours.push_back(c);
    auto masked = column(2, 0, 8, 5.0f);
    masked.push_back({4, 3, 6.0f});  // a louder neighbour in one row splits the run
    const Case cases[] = {
        {"exactly min", grid(40, 5, column(2, 3, 8, 5.0f)), 8, {{3, 2, 5.0f}}},
        {"one fewer", grid(40, 5, column(2, 3, 7, 5.0f)), 8, {}},
        {"two runs, one long enough", grid(40, 5, two_runs), 7, {{3, 2, 5.0f}, {20, 2, 5.0f}}},
        {"reaches the last row, mean score", grid(20, 5, late), 8, {{12, 1, 4.25f}}},
        {"equal neighbours both peak", grid(40, 5, neighbours), 8, {{0, 3, 5.0f}, {0, 4, 5.0f}}},
        {"bin 0 and the last bin", grid(30, 3, [] {
             auto c = column(0, 0, 9, 5.0f);
             for (const Cell& x : column(2, 10, 9, 5.0f)) c.push_back(x);
             return c;
         }()), 9, {{0, 0, 5.0f}, {10, 2, 5.0f}}},
        {"a louder neighbour splits", grid(40, 5, masked), 4, {{0, 2, 5.0f}}},
        {"below the margin", grid(40, 5, column(2, 0, 10, 1.0f)), 1, {}},
        {"min 1 takes single cells", grid(40, 5, {{7, 1, 9.0f}}), 1, {{7, 1, 9.0f}}},
    };
    for (const Case& c : cases) EXPECT_EQ(kavro::psk31_carrier_runs(c.w, c.min_syms, 1.3862944f), c.runs) << c.name;
}

// A loud bin's median stands above the floor: the level test passes everywhere and only peaks
// count; with one row that is the only way a cell is active.
TEST(Psk31Sync, LoudBinsAndSingleRows) {
    Waterfall loud = grid(10, 5, column(1, 0, 10, 3.0f));
    loud.data[4 * 5 + 2] = 4.0f;  // row 4: bin 2 outshines bin 1
    EXPECT_EQ(kavro::psk31_carrier_runs(loud, 1, 1.0f),
              (std::vector<Psk31CarrierRun>{{0, 1, 3.0f}, {5, 1, 3.0f}, {4, 2, 4.0f}}));
    const Waterfall one_row = grid(1, 5, {{0, 3, 9.0f}});
    EXPECT_EQ(kavro::psk31_carrier_runs(one_row, 1, 1.0f), (std::vector<Psk31CarrierRun>{{0, 3, 9.0f}}));
    EXPECT_TRUE(kavro::psk31_carrier_runs(one_row, 2, 1.0f).empty());
    EXPECT_TRUE(kavro::psk31_carrier_runs(one_row, 1, 10.0f).empty());
}

// Equal tones in every bin but one 4 dB louder: only that bin's median stands out from the band,
// by more than a 2 dB margin and less than a 6 dB one.
TEST(Psk31Sync, MarginIsInDecibels) {
    std::vector<kavro::Complex> iq(256 * 20);
    for (std::size_t n = 0; n < iq.size(); ++n) {
        std::complex<double> sum;
        for (std::size_t bin = 0; bin < 17; ++bin) {
            const double amplitude = bin == 8 ? std::pow(10.0, 4.0 / 20.0) : 1.0;
            sum += std::polar(amplitude, 2.0 * std::numbers::pi * (500.0 + 31.25 * static_cast<double>(bin)) *
                                             static_cast<double>(n) / 8000.0);
        }
        iq[n] = {static_cast<float>(sum.real()), static_cast<float>(sum.imag())};
    }
    const auto found = kavro::psk31_sync(iq, 8000, 500, 1000, 8, 2.0f, 4, 10);
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ((*found)[0].freq_bin, 8u);
    EXPECT_EQ((*found)[0].time_sym, 0u);
    EXPECT_TRUE(kavro::psk31_sync(iq, 8000, 500, 1000, 8, 6.0f, 4, 10)->empty());
}

TEST(Psk31Sync, RefusesHugeWaterfallsAndNaN) {
    std::vector<kavro::Complex> iq(8000 * 8, kavro::Complex{1.0f, 0.0f});
    const auto too_big = kavro::psk31_sync(iq, 8000, 0, 4e7f, 8, 6.0f, 1024, 10);
    ASSERT_FALSE(too_big.has_value());
    EXPECT_EQ(error_message(too_big.error()),
              "psk31_sync: waterfall of 250 x 1280001 cells is too large (max 268435456)");
    EXPECT_TRUE(kavro::psk31_sync(iq, 8000, 0, 1e30f, 8, 6.0f, 1024, 10)->empty());
    EXPECT_TRUE(kavro::psk31_sync(iq, 4e7f, 0, 100, 8, 6.0f, 1024, 10)->empty());
    for (std::size_t i = 0; i < iq.size(); i += 97) iq[i] = {kNaN, 0.0f};
    EXPECT_TRUE(kavro::psk31_sync(iq, 8000, 0, 500, 1, 6.0f, 1024, 10).has_value());
}

}  // namespace
