#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "demodulate/ofdm_frame/preamble_scan.hpp"

namespace {

using kavro::Complex;

// Noise with six copies of one segment at 480 and a training symbol after them, whose samples at
// 608 repeat the sixth copy: the offset at 480 passes the training prefix check, its repetition
// runs on past its segments, and the offset at 512 does not start sharply.
std::vector<Complex> repeated_segments() {
    std::mt19937 rng(9);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<Complex> x(1200);
    for (Complex& s : x) s = {noise(rng), noise(rng)};
    std::vector<Complex> segment(16), symbol(64);
    for (Complex& s : segment) s = {10 * noise(rng), 10 * noise(rng)};
    for (Complex& s : symbol) s = {10 * noise(rng), 10 * noise(rng)};
    for (std::size_t n = 0; n < 96; ++n) x[480 + n] = x[480 + n] + segment[n % 16];
    for (std::size_t n = 0; n < 80; ++n) x[576 + n] = x[576 + n] + symbol[(n + 48) % 64];
    for (std::size_t n = 0; n < 16; ++n) x[608 + n] = x[544 + n];
    return x;
}

kavro::PreambleScan reference_scan() { return kavro::PreambleScan(kavro::PreambleParams{4, 16, kavro::TrainingShape{64, 16}}); }

// Scanned in a block of its own (with the 2R samples before it) or inside a longer one, every
// offset's record is the same.
TEST(PreambleScan, RecordsDoNotDependOnTheBlock) {
    const std::vector<Complex> x = repeated_segments();
    kavro::PreambleScan scan = reference_scan();
    std::vector<kavro::OffsetRecord> whole(1024), block(512);
    scan.scan(x.data(), 0, whole.size(), whole);
    scan.scan(x.data() + 512, 32, block.size(), block);
    EXPECT_GT(whole[480].score, 0.9f);
    EXPECT_FALSE(whole[480].framed);
    EXPECT_GT(whole[512].score, 0.9f);
    EXPECT_FALSE(whole[512].framed);
    for (std::size_t k = 0; k < block.size(); ++k) {
        EXPECT_EQ(block[k].score, whole[512 + k].score) << k;
        EXPECT_EQ(block[k].framed, whole[512 + k].framed) << k;
        EXPECT_EQ(block[k].p_re, whole[512 + k].p_re) << k;
    }
}

// Samples far below or above unit scale score as they do at unit scale (1021 offsets leave no
// samples to copy one at a time).
TEST(PreambleScan, TinyAndHugeSamplesScoreAsAnyOther) {
    const std::vector<Complex> x = repeated_segments();
    kavro::PreambleScan scan = reference_scan();
    std::vector<kavro::OffsetRecord> unit(1021), scaled(1021);
    scan.scan(x.data(), 0, unit.size(), unit);
    for (const float scale : {1e-30f, 1e30f}) {
        std::vector<Complex> y(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) y[i] = {scale * x[i].re, scale * x[i].im};
        scan.scan(y.data(), 0, scaled.size(), scaled);
        for (std::size_t k = 0; k < unit.size(); ++k) {
            EXPECT_NEAR(scaled[k].score, unit[k].score, 1e-5f) << k << " at " << scale;
            EXPECT_EQ(scaled[k].framed, unit[k].framed) << k << " at " << scale;
        }
    }
}

}  // namespace
