#include "sync/waterfall.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/internal_fault.hpp"
#include "support/test_support.hpp"
#include "sync/waterfall_reference.hpp"

namespace kavro {
namespace {

constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();

std::uint32_t bits_of(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Bit patterns, so that NaN cells compare equal to NaN cells of the same payload.
void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want, const std::string& label) {
    ASSERT_EQ(got.size(), want.size()) << label;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(got[i]) && std::isnan(want[i])) continue;
        ASSERT_EQ(bits_of(got[i]), bits_of(want[i])) << label << " cell " << i << ": " << got[i] << " vs " << want[i];
    }
}

struct GridCase {
    const char* name;
    std::size_t samples;
    std::size_t block_len;
    std::size_t n_rows;
    std::size_t n_bins;
    std::size_t start;
    float fs;
    float f0;
    float df;
};

class WaterfallGrid : public testing::TestWithParam<GridCase> {};

std::vector<Complex> noisy_samples(std::size_t count, std::uint64_t seed) {
    std::vector<Complex> iq = test::complex_noise(count, 1.0, seed);
    // Values that are not numbers or infinite must flow through every path alike.
    if (count > 40) {
        iq[17] = Complex{std::numeric_limits<float>::infinity(), 0.5f};
        iq[33] = Complex{0.25f, std::numeric_limits<float>::quiet_NaN()};
    }
    return iq;
}

TEST_P(WaterfallGrid, BitExactAgainstTheLiteralLoop) {
    const GridCase& c = GetParam();
    const std::vector<Complex> iq = noisy_samples(c.samples, 7 + c.samples);
    const Waterfall got = compute_waterfall(iq, c.block_len, c.n_rows, c.n_bins, c.start, c.fs, c.f0, c.df);
    const test::ReferenceWaterfall want =
        test::reference_waterfall(iq, c.block_len, c.n_rows, c.n_bins, c.start, c.fs, c.f0, c.df);
    EXPECT_EQ(got.n_rows, c.n_rows);
    EXPECT_EQ(got.n_bins, c.n_bins);
    expect_same_bits(got.data, want.data, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaterfallGrid,
    testing::Values(
        //        name                 samples block  rows bins start    fs        f0         df
        GridCase{"partial_last_row",   5000,   1920,  4,   57,  0,       12000.0f, 200.0f,    6.25f},
        GridCase{"start_inside",       5000,   576,   12,  41,  1000,    12000.0f, -300.0f,   20.833334f},
        GridCase{"start_past_end",     500,    100,   3,   9,   500,     12000.0f, 100.0f,    6.25f},
        GridCase{"empty_input",        0,      100,   3,   9,   0,       12000.0f, 100.0f,    6.25f},
        GridCase{"block_len_zero",     300,    0,     3,   11,  10,      12000.0f, 100.0f,    6.25f},
        GridCase{"no_rows",            300,    100,   0,   11,  0,       12000.0f, 100.0f,    6.25f},
        GridCase{"no_bins",            300,    100,   3,   0,   0,       12000.0f, 100.0f,    6.25f},
        GridCase{"f0_zero",            700,    160,   5,   83,  3,       8000.0f,  0.0f,      31.25f},
        GridCase{"fs_zero_gives_nan",  300,    100,   2,   5,   0,       0.0f,     100.0f,    6.25f},
        GridCase{"row_start_overflows",300,    size_max / 2 + 1, 3, 7, 0, 12000.0f, 100.0f,   6.25f},
        GridCase{"start_near_max",     300,    100,   3,   7,   size_max - 150, 12000.0f, 1.0f, 1.0f}),
    [](const testing::TestParamInfo<GridCase>& info) { return std::string(info.param.name); });

// Every variant of the row kernel against the literal loop, over bin counts that exercise the
// wide chunks, the single vectors and the partial last vector, and rows of unequal lengths
// (longer than a tabulated chunk of phasors, shorter, and empty).
TEST(WaterfallRows, EveryVariantMatchesTheLiteralLoop) {
    const std::vector<Complex> iq = noisy_samples(700, 99);
    ASSERT_TRUE(simd_level_available(SimdLevel::Avx2)) << "this machine should run the vector variant";
    const std::size_t lengths[] = {333, 64, 65, 0, 1, 200};
    const std::size_t starts[] = {0, 333, 20, 500, 699, 500};
    for (std::size_t n_bins : {1u, 7u, 8u, 9u, 20u, 30u, 39u, 40u, 41u, 48u, 66u, 87u, 120u}) {
        const std::vector<Complex> steps = waterfall_steps(n_bins, 12000.0f, -917.0f, 6.25f);
        std::vector<float> want;
        for (std::size_t r = 0; r < 6; ++r) {
            const auto row = test::reference_waterfall(iq, lengths[r], 1, n_bins, starts[r], 12000.0f, -917.0f, 6.25f);
            want.insert(want.end(), row.data.begin(), row.data.end());
        }
        for (const SimdLevel level : simd_levels) {
            std::vector<float> cells(6 * n_bins);
            std::vector<WaterfallRow> rows;
            for (std::size_t r = 0; r < 6; ++r)
                rows.push_back({iq.data() + starts[r], lengths[r], cells.data() + r * n_bins});
            waterfall_rows(rows, steps.data(), n_bins, level);
            expect_same_bits(cells, want, "level " + std::to_string(static_cast<int>(level)) + ", bins " +
                                              std::to_string(n_bins));
        }
    }
}

TEST(Waterfall, RowsWithoutSamplesHoldZeroAndEmptyBlocksTheFloor) {
    const std::vector<Complex> iq = test::complex_noise(1000, 1.0, 3);
    // 1000 samples, rows of 1920: row 0 sums what there is, row 1 starts past the end.
    const Waterfall partial = compute_waterfall(iq, 1920, 2, 4, 0, 12000.0f, 0.0f, 6.25f);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_NE(partial.at(0, k), 0.0f);
        EXPECT_EQ(bits_of(partial.at(1, k)), bits_of(0.0f));
    }
    const Waterfall empty_blocks = compute_waterfall(iq, 0, 3, 4, 999, 12000.0f, 0.0f, 6.25f);
    for (float cell : empty_blocks.data) EXPECT_EQ(cell, -27.631021f);
    const Waterfall past = compute_waterfall(iq, 0, 2, 2, 1000, 12000.0f, 0.0f, 6.25f);
    for (float cell : past.data) EXPECT_EQ(bits_of(cell), bits_of(0.0f));
}

TEST(Waterfall, ToneOnABinGivesItsEnergy) {
    constexpr std::size_t n = 1920;
    constexpr float fs = 12000.0f, f0 = 200.0f, df = 6.25f, amplitude = 0.37f;
    constexpr std::size_t bin = 13;
    std::vector<Complex> iq(n);
    const double f = static_cast<double>(f0 + df * static_cast<float>(bin));
    for (std::size_t i = 0; i < n; ++i) {
        const double phase = 2.0 * M_PI * f * static_cast<double>(i) / fs;
        iq[i] = Complex{static_cast<float>(amplitude * std::cos(phase)), static_cast<float>(amplitude * std::sin(phase))};
    }
    const Waterfall grid = compute_waterfall(iq, n, 1, 20, 0, fs, f0, df);
    EXPECT_NEAR(grid.at(0, bin), std::log(double(amplitude) * amplitude * double(n) * n), 1e-3);
    // A whole number of cycles apart, the other bins see almost nothing.
    EXPECT_LT(grid.at(0, bin + 1), grid.at(0, bin) - 20.0f);
    EXPECT_LT(grid.at(0, bin - 1), grid.at(0, bin) - 20.0f);
}

TEST(Waterfall, CellOutsideTheGridIsAFault) {
    const Waterfall grid = compute_waterfall({}, 10, 2, 3, 0, 12000.0f, 0.0f, 1.0f);
    EXPECT_EQ(grid.at(1, 2), 0.0f);
    EXPECT_THROW((void)grid.at(2, 0), InternalFault);
    EXPECT_THROW((void)grid.at(0, 3), InternalFault);
}

TEST(Waterfall, GridBeyondASizeIsRefused) {
    EXPECT_THROW((void)compute_waterfall({}, 10, size_max / 2, 3, 0, 12000.0f, 0.0f, 1.0f), std::length_error);
}

}  // namespace
}  // namespace kavro
