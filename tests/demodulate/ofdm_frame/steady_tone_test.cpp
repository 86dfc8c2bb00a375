#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "demodulate/ofdm_frame/steady_tone.hpp"

namespace {

using kavro::Complex;

Complex tone_at(double n) {
    return {static_cast<float>(0.5 * std::cos(0.2 * 2 * M_PI * n + 1.0)),
            static_cast<float>(0.5 * std::sin(0.2 * 2 * M_PI * n + 1.0))};
}

// A tone measured on 256 samples with noise 20 dB under it is removed from the 4,000 samples after
// them: at least 6 dB of it (26 dB at the start, where only its amplitude's error counts); noise
// alone, too few samples, or one that is not finite measure no tone.
TEST(SteadyTone, MeasuredBeforeAFrameIsRemovedAcrossIt) {
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.035f);
    std::vector<Complex> before, pure;
    for (int n = 0; n < 256; ++n) before.push_back(tone_at(1000 + n) + Complex{noise(rng), noise(rng)});
    const auto tone = kavro::measure_steady_tone(before, 1000);
    ASSERT_TRUE(tone.has_value());
    for (int n = 0; n < 4000; ++n) pure.push_back(tone_at(1256 + n));
    std::vector<Complex> left;
    tone->remove(1256, pure, left);
    ASSERT_EQ(left.size(), pure.size());
    EXPECT_LT(std::sqrt(kavro::norm(left.front())), 0.025f);
    for (std::size_t n = 0; n < left.size(); n += 97) EXPECT_LT(std::sqrt(kavro::norm(left[n])), 0.25f) << n;

    std::vector<Complex> only_noise;
    for (int n = 0; n < 256; ++n) only_noise.push_back({noise(rng), noise(rng)});
    EXPECT_FALSE(kavro::measure_steady_tone(only_noise, 0).has_value());
    EXPECT_FALSE(kavro::measure_steady_tone(std::span(before).first(63), 1000).has_value());
    before[7] = {NAN, 0.0f};
    EXPECT_FALSE(kavro::measure_steady_tone(before, 1000).has_value());
}

}  // namespace
