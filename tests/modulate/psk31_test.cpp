#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "modulate/psk31.hpp"
#include "support/test_support.hpp"
#include "waveform/psk31_timing.hpp"

namespace {

using kavro::Bpsk31Mod;
using kavro::Complex;
using kavro::Qpsk31Mod;

TEST(Psk31Timing, SamplesPerSymbolAndShape) {
    struct Rate {
        float fs;
        std::uint64_t sps;
    };
    const Rate rates[] = {{48000, 1536}, {8000, 256}, {44100, 1411}, {11025, 353}, {15.625f, 1}, {15.5f, 0},
                          {-8000, 0}, {std::numeric_limits<float>::quiet_NaN(), 0},
                          {std::numeric_limits<float>::infinity(), std::numeric_limits<std::uint64_t>::max()}};
    for (const Rate& r : rates) EXPECT_EQ(kavro::waveform::psk31_samples_per_symbol(r.fs), r.sps) << r.fs;

    EXPECT_TRUE(kavro::waveform::make_hann(0).empty());
    EXPECT_EQ(kavro::waveform::make_hann(1), std::vector<float>{1.0f});
    EXPECT_EQ(kavro::waveform::make_hann(2), (std::vector<float>{0.0f, 1.0f}));
    const auto three = kavro::waveform::make_hann(3);
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0], 0.0f);
    EXPECT_NEAR(three[1], 0.5f, 1e-7f);
    EXPECT_EQ(three[2], 1.0f);
    const auto w = kavro::waveform::make_hann(256);
    for (std::size_t i = 0; i < w.size(); ++i) EXPECT_NEAR(w[i], 0.5 - 0.5 * std::cos(i * M_PI / 255.0), 1e-6);
}

// The baseband model of both modulators, carried up by the running oscillator written out.
struct LiteralMod {
    bool qpsk;
    float fs, rf, gain;
    float level = 1.0f;
    Complex phasor{1.0f, 0.0f};
    unsigned state = 0;
    Complex p{1.0f, 0.0f};
    std::uint32_t count = 0;

    std::vector<Complex> modulate(const std::vector<std::uint8_t>& bits) {
        const std::size_t sps = kavro::waveform::psk31_samples_per_symbol(fs);
        const auto shape = kavro::waveform::make_hann(sps);
        std::vector<Complex> out;
        for (const auto b : bits) {
            Complex old, now;
            if (qpsk) {
                const unsigned s0 = state & 1u, s1 = (state >> 1) & 1u, s2 = (state >> 2) & 1u, d = b & 1u;
                const unsigned index = ((d ^ s2 ^ s0) << 1) | (d ^ s1 ^ s0);
                state = (d << 3) | (state >> 1);
                const Complex r[4] = {{1, 0}, {0, -1}, {0, 1}, {-1, 0}};
                old = phasor;
                phasor = r[index] * old;
                now = phasor;
            } else {
                old = {level, 0.0f};
                if (b == 0) level = -level;
                now = {level, 0.0f};
            }
            for (std::size_t i = 0; i < sps; ++i) {
                const Complex base{gain * (old.re + (now.re - old.re) * shape[i]), gain * (old.im + (now.im - old.im) * shape[i])};
                out.push_back(base);
            }
        }
        if (rf != 0.0f) {
            const float theta = (rf * 6.2831855f) / fs;
            const float c = std::cos(theta), s = std::sin(theta);
            for (Complex& x : out) {
                p = {std::fma(p.re, c, -(p.im * s)), std::fma(p.im, c, p.re * s)};
                if (++count % 1024 == 0) {
                    const float k = 1.0f / std::sqrt(p.re * p.re + p.im * p.im);
                    p = {p.re * k, p.im * k};
                }
                x = x * p;
            }
        }
        return out;
    }
};

template <class Mod>
Mod make(float fs, float rf, float gain) {
    return *Mod::create(fs, rf, gain);
}

std::vector<Complex> modulate(Bpsk31Mod& m, const std::vector<std::uint8_t>& bits) { return m.modulate_bits(bits); }
std::vector<Complex> modulate(Qpsk31Mod& m, const std::vector<std::uint8_t>& bits) { return m.modulate_bits(bits); }

void expect_same(const std::vector<Complex>& a, const std::vector<Complex>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].re, b[i].re) << what << " sample " << i;
        ASSERT_EQ(a[i].im, b[i].im) << what << " sample " << i;
    }
}

// The running carrier: any split of the bits, and the model, give the same samples bit for bit;
// after reset the output is a new modulator's.
template <class Mod>
void check_continuous_carrier(bool qpsk) {
    const auto bits = kavro::test::random_bits(90, 21);
    for (const float rf : {0.0f, 1010.0f}) {
        LiteralMod model{qpsk, 8000.0f, rf, 0.7f};
        const auto expected = model.modulate(bits);
        Mod whole = make<Mod>(8000, rf, 0.7f);
        expect_same(modulate(whole, bits), expected, "whole");
        for (std::size_t split : {1u, 4u, 45u, 89u}) {
            Mod parts = make<Mod>(8000, rf, 0.7f);
            auto out = modulate(parts, std::vector<std::uint8_t>(bits.begin(), bits.begin() + split));
            const auto rest = modulate(parts, std::vector<std::uint8_t>(bits.begin() + split, bits.end()));
            out.insert(out.end(), rest.begin(), rest.end());
            expect_same(out, expected, "split");
            parts.reset();
            expect_same(modulate(parts, bits), expected, "after reset");
        }
    }
}

TEST(Psk31Mod, ContinuousCarrierMatchesModel) {
    check_continuous_carrier<Bpsk31Mod>(false);
    check_continuous_carrier<Qpsk31Mod>(true);
}

TEST(Psk31Mod, PublishedExamples) {
    Bpsk31Mod b = make<Bpsk31Mod>(8000, 0, 1);
    const auto shape = kavro::waveform::make_hann(256);
    const auto one = b.modulate_bits(std::vector<std::uint8_t>{1});
    const auto zero = b.modulate_bits(std::vector<std::uint8_t>{0});
    const auto again = b.modulate_bits(std::vector<std::uint8_t>{7});
    ASSERT_EQ(one.size(), 256u);
    for (std::size_t i = 0; i < 256; ++i) {
        EXPECT_EQ(one[i], (Complex{1.0f, 0.0f}));
        EXPECT_EQ(zero[i].re, 1.0f + -2.0f * shape[i]);
        EXPECT_EQ(again[i], (Complex{-1.0f, 0.0f}));
    }

    Qpsk31Mod q = make<Qpsk31Mod>(15.625f, 0, 1);  // one sample per symbol, at the new phasor
    const auto s = q.modulate_bits(std::vector<std::uint8_t>{1, 1, 1});
    EXPECT_EQ(s, (std::vector<Complex>{{-1.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, -1.0f}}));

    struct Count {
        std::vector<std::uint8_t> text;
        std::size_t symbols;
    };
    for (const Count& c : {Count{{}, 64}, Count{{101}, 68}, Count{{104, 105}, 32 + 6 + 2 + 4 + 2 + 32}}) {
        Bpsk31Mod m = make<Bpsk31Mod>(8000, 0, 1);
        EXPECT_EQ(m.modulate_text(c.text, 32, 32).size(), 256 * c.symbols);
    }
    // An empty text: 32 reversals, then 32 kept symbols.
    Bpsk31Mod m = make<Bpsk31Mod>(15.625f, 0, 1);
    const auto empty_text = m.modulate_text({}, 32, 32);
    for (std::size_t k = 0; k < 64; ++k) EXPECT_EQ(empty_text[k].re, k < 32 ? (k % 2 ? 1.0f : -1.0f) : 1.0f) << k;
}

TEST(Psk31Mod, RatesAndSizes) {
    EXPECT_EQ(error_message(Bpsk31Mod::create(40000000, 0, 1).error()),
              "Bpsk31Mod: fs gives 1280000 samples per symbol (max 1048576)");
    EXPECT_EQ(error_message(Qpsk31Mod::create(std::numeric_limits<float>::infinity(), 0, 1).error()),
              "Qpsk31Mod: fs gives 18446744073709551615 samples per symbol (max 1048576)");
    EXPECT_TRUE(Bpsk31Mod::create(32768000, 0, 1).has_value());  // exactly the largest
    Bpsk31Mod silent = make<Bpsk31Mod>(10, 1000, 1);
    EXPECT_TRUE(silent.modulate_text(std::vector<std::uint8_t>{65, 66}, 32, 32).empty());

    Bpsk31Mod b = make<Bpsk31Mod>(8000, 1000, 1);
    EXPECT_THROW(b.modulate_text({}, std::size_t{1} << 62, 0), std::length_error);  // samples overflow
    EXPECT_THROW(b.modulate_text({}, std::size_t{1} << 63, std::size_t{1} << 63), std::length_error);
    // Nothing changed: the next output is a new modulator's.
    Bpsk31Mod fresh = make<Bpsk31Mod>(8000, 1000, 1);
    expect_same(b.modulate_text(std::vector<std::uint8_t>{101}, 32, 32), fresh.modulate_text(std::vector<std::uint8_t>{101}, 32, 32), "after refusal");
}

}  // namespace
