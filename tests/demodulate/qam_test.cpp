#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/constellation.hpp"
#include "demodulate/qam.hpp"

namespace {

using kavro::Complex;
using kavro::QamDemod;

// Nearest level per axis by exhaustive distance (ties and NaN to the lower level), then the Gray
// bits of its rank, written out independently of the decider.
std::vector<std::uint8_t> literal_decisions(unsigned order, float gain, const std::vector<Complex>& iq) {
    const unsigned axis = order == 16 ? 2 : order == 64 ? 3 : 4;
    const unsigned levels = 1u << axis;
    const float scale = 1.0f / std::sqrt(order == 16 ? 10.0f : order == 64 ? 42.0f : 170.0f);
    std::vector<std::uint8_t> bits;
    const auto decide = [&](float v) {
        unsigned rank = 0;
        for (unsigned k = 1; k < levels; ++k) {
            const float threshold = static_cast<float>(2 * static_cast<int>(k) - static_cast<int>(levels)) * scale;
            if (v > threshold) rank = k;
        }
        const unsigned gray = rank ^ (rank >> 1);
        for (unsigned i = 0; i < axis; ++i) bits.push_back(static_cast<std::uint8_t>((gray >> (axis - 1 - i)) & 1u));
    };
    for (const Complex& x : iq) {
        decide(x.re * gain);
        decide(x.im * gain);
    }
    return bits;
}

// Random cells plus the values that decide ties and special cases: every threshold exactly and
// one ulp either side, both zeros, infinities and NaN.
std::vector<Complex> cells(unsigned order, std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> uniform(-1.5f, 1.5f);
    const unsigned levels = order == 16 ? 4 : order == 64 ? 8 : 16;
    const float scale = 1.0f / std::sqrt(order == 16 ? 10.0f : order == 64 ? 42.0f : 170.0f);
    std::vector<float> special{0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    for (unsigned k = 1; k < levels; ++k) {
        const float t = static_cast<float>(2 * static_cast<int>(k) - static_cast<int>(levels)) * scale;
        special.insert(special.end(), {t, std::nextafter(t, 2.0f), std::nextafter(t, -2.0f)});
    }
    std::vector<Complex> out(count);
    for (auto& x : out) {
        const auto pick = [&] { return rng() % 4 == 0 ? special[rng() % special.size()] : uniform(rng); };
        x = Complex{pick(), pick()};
    }
    return out;
}

class QamDemodLevels : public testing::TestWithParam<unsigned> {};

TEST_P(QamDemodLevels, EveryBuildDecidesAsTheLiteralNearestLevel) {
    const unsigned order = GetParam();
    for (std::size_t length = 0; length <= 67; ++length) {
        for (const float gain : {1.0f, 0.7f}) {
            const auto iq = cells(order, length == 67 ? 5000 : length, 100 * order + length);
            const auto want = literal_decisions(order, gain, iq);
            for (const auto level : kavro::simd_levels) {
                if (!kavro::simd_level_available(level)) continue;
                QamDemod demod = *QamDemod::create(order, gain);
                ASSERT_EQ(demod.process_at(iq, level), want)
                    << "order " << order << ", " << iq.size() << " cells, level " << static_cast<int>(level);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, QamDemodLevels, testing::Values(16u, 64u, 256u));

}  // namespace
