#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "demodulate/ofdm_frame/offset_records.hpp"

namespace {

using namespace kavro;

// The largest energy over a window, read from block maxima and the window's edges, equals the
// largest candidate energy over every offset in it: scans with their own exponents, a start off the
// block grid, a front dropped mid-block, offsets without candidate and infinite energies.
TEST(OffsetRecords, WindowEnergyIsTheLargestCandidateEnergyInTheWindow) {
    for (unsigned seed = 0; seed < 20; ++seed) {
        OffsetRecords records;
        records.restart_at(37);
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> energy(0.0f, 1.0f);
        std::vector<double> model;  // 2^exponent · energy of each candidate, 0 for the others
        for (const auto& [count, exponent] : {std::pair{100, 0}, std::pair{70, -6}, std::pair{90, 4}}) {
            const std::uint64_t first = records.end();
            for (OffsetRecord& r : records.extend(count, OffsetRecord{})) {
                const bool candidate = rng() % 4 != 0;
                r = {0.0f, 0.0f, rng() % 50 == 0 ? INFINITY : energy(rng), candidate ? 0.7f : NAN, NAN, exponent};
                model.push_back(candidate && std::isfinite(r.energy) ? std::ldexp(double{r.energy}, exponent) : 0.0);
            }
            records.add_maxima(first, count, exponent);
        }
        records.drop_before(150);
        for (std::uint64_t lo = 150; lo < records.end(); ++lo) {
            double expected = 0.0;
            for (std::uint64_t hi = lo; hi < records.end(); ++hi) {
                expected = std::max(expected, model[hi - 37]);
                ASSERT_EQ(records.window_energy(lo, hi), expected) << "seed " << seed << ", " << lo << ".." << hi;
            }
        }
    }
}

}  // namespace
