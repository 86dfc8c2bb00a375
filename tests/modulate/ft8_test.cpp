#include "modulate/ft8.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "modulate/ft4.hpp"

namespace kavro {
namespace {

// The frames written out by hand: FT8's Costas array at 0, 36, 72; FT4's ramps and arrays A-D.
std::vector<int> literal_frame(bool ft8, const std::vector<std::uint8_t>& data) {
    std::vector<int> frame;
    std::size_t next = 0;
    const auto take = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) frame.push_back(data[next++]);
    };
    const auto put = [&](std::initializer_list<int> tones) { frame.insert(frame.end(), tones); };
    if (ft8) {
        for (int block = 0; block < 3; ++block) {
            put({3, 1, 4, 0, 6, 5, 2});
            if (block < 2) take(29);
        }
    } else {
        put({0, 0, 1, 3, 2});
        take(29);
        put({1, 0, 2, 3});
        take(29);
        put({2, 3, 1, 0});
        take(29);
        put({3, 2, 0, 1, 0});
    }
    return frame;
}

// The modulator as stated, one sample at a time.
std::vector<Complex> literal_modulate(bool ft8, const std::vector<std::uint8_t>& data, float fs, float base_hz,
                                      float rf_hz, float gain) {
    const std::size_t symbol_samples = ft8 ? 1920 : 576;
    const float spacing = ft8 ? 6.25f : 20.833334f;
    std::vector<Complex> out;
    float pr = 1.0f, pi = 0.0f;
    std::uint32_t c = 0;
    for (const int tone : literal_frame(ft8, data)) {
        const float omega = ((static_cast<float>(tone) * spacing) + base_hz) * 6.2831855f / fs;
        float s, co;
        sincosf(omega, &s, &co);
        for (std::size_t n = 0; n < symbol_samples; ++n) {
            const float re = pr * co - pi * s, im = pi * co + pr * s;
            pr = re;
            pi = im;
            out.push_back({gain * pr, gain * pi});
            if (++c % 1024 == 0) {
                const float mag = std::sqrt(pr * pr + pi * pi);
                pr = pr / mag;
                pi = pi / mag;
            }
        }
    }
    if (rf_hz != 0.0f || std::isnan(rf_hz)) {
        const float theta = rf_hz * 6.2831855f / fs;
        float s, co;
        sincosf(theta, &s, &co);
        float qr = 1.0f, qi = 0.0f;
        std::uint32_t n = 0;
        for (Complex& x : out) {
            const float re = qr * co - qi * s, im = qi * co + qr * s;
            qr = re;
            qi = im;
            if (++n % 1024 == 0) {
                const float k = 1.0f / std::sqrt(qr * qr + qi * qi);
                qr = qr * k;
                qi = qi * k;
            }
            x = {x.re * qr - x.im * qi, x.im * qr + x.re * qi};
        }
    }
    return out;
}

std::vector<std::uint8_t> random_tones(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> tones(count);
    for (auto& t : tones) t = static_cast<std::uint8_t>(rng() % 10 == 0 ? 200 : rng() % 8);
    return tones;
}

std::vector<Complex> modulate(bool ft8, const std::vector<std::uint8_t>& tones, float fs, float base_hz, float rf_hz,
                              float gain) {
    auto result =
        ft8 ? Ft8Mod(fs, base_hz, rf_hz, gain).modulate(tones) : Ft4Mod(fs, base_hz, rf_hz, gain).modulate(tones);
    EXPECT_TRUE(result.has_value());
    return std::move(*result);
}

struct ModCase {
    bool ft8;
    float base_hz;
    float rf_hz;
    float gain;
};

class Ft8ModLiteral : public ::testing::TestWithParam<ModCase> {};

TEST_P(Ft8ModLiteral, WholeFrameIsBitExact) {
    const auto [ft8, base_hz, rf_hz, gain] = GetParam();
    const auto tones = random_tones(ft8 ? 58 : 87, 58 + static_cast<std::uint64_t>(base_hz));
    const auto expected = literal_modulate(ft8, tones, 12000.0f, base_hz, rf_hz, gain);
    const auto got = modulate(ft8, tones, 12000.0f, base_hz, rf_hz, gain);
    ASSERT_EQ(got.size(), ft8 ? 151680u : 60480u);
    ASSERT_EQ(expected.size(), got.size());
    // Whole frame, around every renormalisation at samples 1024, 2048, ... included.
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(Complex)), 0);
    for (const std::size_t i : {0u, 1023u, 1024u, 1025u, 2047u, 2048u, 2049u})
        EXPECT_EQ(got[i], expected[i]) << "sample " << i;
}

INSTANTIATE_TEST_SUITE_P(Modes, Ft8ModLiteral,
                         ::testing::Values(ModCase{true, 1500.0f, 0.0f, 1.0f}, ModCase{true, 1000.0f, 37.5f, 0.3f},
                                           ModCase{true, 733.0f, 37.5f, 1.0f}, ModCase{true, 1200.0f, 0.0f, 0.3f},
                                           ModCase{false, 1500.0f, 0.0f, 1.0f}, ModCase{false, 1000.0f, 37.5f, 0.3f},
                                           ModCase{false, 733.0f, 37.5f, 1.0f}, ModCase{false, 1200.0f, 0.0f, 0.3f}));

TEST(Ft8Mod, NanShiftMakesEverySampleNan) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const bool ft8 : {true, false}) {
        const auto got = modulate(ft8, random_tones(ft8 ? 58 : 87, 1), 12000.0f, 1500.0f, nan, 1.0f);
        for (const Complex& x : got) ASSERT_TRUE(std::isnan(x.re) && std::isnan(x.im));
    }
}

}  // namespace
}  // namespace kavro
