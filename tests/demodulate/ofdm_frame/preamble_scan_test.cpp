#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "demodulate/ofdm_frame/preamble_scan.hpp"

namespace {

using kavro::Complex;

// Four repeated segments at 512 with a training symbol after them, the segment also repeated twice
// just before them: the offset at 512 does not start sharply. Scanned in a block of its own (with
// the 2R samples before it) or inside a longer one, every offset's record is the same.
TEST(PreambleScan, RecordsDoNotDependOnTheBlock) {
    std::mt19937 rng(9);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<Complex> x(1200);
    for (Complex& s : x) s = {noise(rng), noise(rng)};
    std::vector<Complex> segment(16), symbol(64);
    for (Complex& s : segment) s = {10 * noise(rng), 10 * noise(rng)};
    for (Complex& s : symbol) s = {10 * noise(rng), 10 * noise(rng)};
    for (std::size_t n = 0; n < 96; ++n) x[480 + n] = x[480 + n] + segment[n % 16];
    for (std::size_t n = 0; n < 80; ++n) x[576 + n] = x[576 + n] + symbol[(n + 48) % 64];

    kavro::PreambleScan scan(kavro::PreambleParams{4, 16, kavro::TrainingShape{64, 16}});
    std::vector<kavro::OffsetRecord> whole(1024), block(512);
    scan.scan(x.data(), 0, whole.size(), whole);
    scan.scan(x.data() + 512, 32, block.size(), block);
    EXPECT_GT(whole[512].score, 0.9f);
    EXPECT_FALSE(whole[512].framed);
    for (std::size_t k = 0; k < block.size(); ++k) {
        EXPECT_EQ(block[k].score, whole[512 + k].score) << k;
        EXPECT_EQ(block[k].framed, whole[512 + k].framed) << k;
        EXPECT_EQ(block[k].p_re, whole[512 + k].p_re) << k;
    }
}

}  // namespace
