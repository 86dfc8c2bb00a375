#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "modulate/dvb_t_frame.hpp"
#include "support/test_support.hpp"
#include "sync/dvb_t_gi_sync.hpp"

namespace {

using kavro::Complex;
using kavro::dvb_t_gi_sync;
using kavro::GiSyncResult;
using Samples = std::vector<Complex>;

constexpr std::size_t kFft = 2048;

// A CP-OFDM-like signal: symbols of Gaussian samples, each preceded by a copy of its last cp.
Samples cp_symbols(std::size_t cp, std::size_t count, std::uint64_t seed) {
    Samples out;
    for (std::size_t s = 0; s < count; ++s) {
        const auto body = kavro::test::complex_noise(kFft, 1.0, seed + s);
        out.insert(out.end(), body.end() - static_cast<std::ptrdiff_t>(cp), body.end());
        out.insert(out.end(), body.begin(), body.end());
    }
    return out;
}

// min(|Σγ| / ½Σ(|a|² + |b|²), 1) over the prefix windows starting at the given samples, each window
// summed over n, then the windows added in order; 0 when the energy is not positive or the
// quotient is not a number.
float quality_of(const Samples& iq, std::initializer_list<std::size_t> starts, std::size_t cp) {
    float re = 0, im = 0, e = 0;
    for (const std::size_t t : starts) {
        float wr = 0, wi = 0, we = 0;
        for (std::size_t n = 0; n < cp; ++n) {
            const Complex a = iq[t + n], b = iq[t + n + kFft];
            wr += a.re * b.re + a.im * b.im;
            wi += a.im * b.re - a.re * b.im;
            we += (a.re * a.re + a.im * a.im) + (b.re * b.re + b.im * b.im);
        }
        re += wr;
        im += wi;
        e += we;
    }
    if (!(e * 0.5f > 0)) return 0.0f;
    const float q = std::hypot(re, im) / (e * 0.5f);
    return q < 1.0f ? q : q >= 1.0f ? 1.0f : 0.0f;
}

std::int32_t order_key(float v) {
    const auto bits = std::bit_cast<std::int32_t>(v);
    return bits < 0 ? bits ^ 0x7FFFFFFF : bits;
}

// The search written out per offset: every sum formed afresh over k then n.
std::optional<GiSyncResult> reference_sync(const Samples& iq, std::size_t cp, std::size_t s_len) {
    const std::size_t len = iq.size(), L = cp + kFft;
    if (cp == 0 || s_len == 0 || len < s_len - 1 + cp + kFft) return std::nullopt;
    struct Rec { float re, im, m, p; };
    std::vector<Rec> table(s_len);
    for (std::size_t d = 0; d < s_len; ++d) {
        float re = 0, im = 0, e = 0;
        for (std::size_t k = 0; k < 4 && d + (k + 1) * L <= len; ++k)
            for (std::size_t n = 0; n < cp; ++n) {
                const Complex a = iq[d + k * L + n], b = iq[d + k * L + n + kFft];
                re += a.re * b.re + a.im * b.im;
                im += a.im * b.re - a.re * b.im;
                e += (a.re * a.re + a.im * a.im) + (b.re * b.re + b.im * b.im);
            }
        const float p = e * 0.5f;
        const float weighted = p * -0.95f;
        table[d] = {re, im, std::hypot(re, im) + weighted, p};
    }
    std::size_t best = 0;
    for (std::size_t d = 1; d < s_len; ++d)
        if (order_key(table[d].m) >= order_key(table[best].m)) best = d;
    auto rho1 = [&](std::size_t t) { return t + L > len ? 0.0f : quality_of(iq, {t}, cp); };
    std::size_t t = best;
    const std::size_t r = best % L, t0 = best - r;
    if (r != 0 && L - r <= cp - cp / 2 && rho1(t0) >= rho1(best) * 0.5f) t = t0;
    const Rec& rec = table[t];
    float metric = 0.0f;
    if (rec.p > 0) {
        const float q = std::hypot(rec.re, rec.im) / rec.p;
        metric = q < 1.0f ? q : 1.0f;
    }
    return GiSyncResult{t, (std::atan2(rec.im, rec.re) * -1201173.0f) / 12867.964f, metric};
}

void expect_matches_reference(const Samples& iq, std::size_t cp, const char* what) {
    const auto got = dvb_t_gi_sync(iq, cp, cp + kFft);
    const auto want = reference_sync(iq, cp, cp + kFft);
    ASSERT_EQ(got.has_value(), want.has_value()) << what;
    if (!got) return;
    EXPECT_EQ(got->timing, want->timing) << what;
    EXPECT_NEAR(got->metric, want->metric, 1e-5) << what;
    EXPECT_NEAR(got->cfo_hz, want->cfo_hz, 0.01) << what;
    EXPECT_LE(got->metric, 1.0f) << what;
}

Samples rotated(Samples iq, double hz) {
    for (std::size_t n = 0; n < iq.size(); ++n) {
        const double ph = 2.0 * M_PI * hz * double(n) / 1201173.0;
        iq[n] = iq[n] * Complex{float(std::cos(ph)), float(std::sin(ph))};
    }
    return iq;
}

class GiSyncByGuard : public ::testing::TestWithParam<std::size_t> {};

TEST_P(GiSyncByGuard, RefusesTooLittleAndAcceptsTheShortestBuffer) {
    const std::size_t cp = GetParam(), S = cp + kFft;
    const Samples shortest = cp_symbols(cp, 2, 1);
    const Samples exact(shortest.begin(), shortest.begin() + static_cast<std::ptrdiff_t>(S - 1 + cp + kFft));
    const Samples one_short(exact.begin(), exact.end() - 1);
    EXPECT_FALSE(dvb_t_gi_sync(exact, 0, S));
    EXPECT_FALSE(dvb_t_gi_sync(exact, cp, 0));
    EXPECT_FALSE(dvb_t_gi_sync(one_short, cp, S));
    EXPECT_FALSE(dvb_t_gi_sync({}, cp, S));
    const auto accepted = dvb_t_gi_sync(exact, cp, S);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->timing, 0u);
    expect_matches_reference(exact, cp, "shortest");
}

TEST_P(GiSyncByGuard, AllZeroBufferGivesZeroes) {
    const std::size_t cp = GetParam();
    const auto r = dvb_t_gi_sync(Samples(5 * (cp + kFft), Complex{}), cp, cp + kFft);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->timing, 0u);
    EXPECT_EQ(r->cfo_hz, 0.0f);
    EXPECT_EQ(r->metric, 0.0f);
}

TEST_P(GiSyncByGuard, FindsTheSymbolStartAfterALeadIn) {
    const std::size_t cp = GetParam(), L = cp + kFft;
    for (std::size_t s : {std::size_t{0}, std::size_t{1}, std::size_t{100}, L - (cp - cp / 2) - 1}) {
        Samples iq(s, Complex{});
        const Samples frame = cp_symbols(cp, 6, 7 + s);
        iq.insert(iq.end(), frame.begin(), frame.end());
        const auto r = dvb_t_gi_sync(iq, cp, L);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->timing, s) << "lead-in " << s;
        EXPECT_GT(r->metric, 0.99f);
        expect_matches_reference(iq, cp, "lead-in");
    }
}

TEST_P(GiSyncByGuard, MatchesThePerOffsetReference) {
    const std::size_t cp = GetParam(), L = cp + kFft;
    for (std::uint64_t seed = 0; seed < 3; ++seed) {
        expect_matches_reference(kavro::test::complex_noise(L - 1 + L + seed * 3000, 1.0, seed), cp, "noise");
        Samples noisy = rotated(cp_symbols(cp, 5, 40 + seed), 37.0 * double(seed));
        kavro::test::add_noise(noisy, 0.5, seed);
        expect_matches_reference(noisy, cp, "noisy symbols");
    }
    const char* guard = cp == 64 ? "1/32" : cp == 128 ? "1/16" : cp == 256 ? "1/8" : "1/4";
    const auto params = *kavro::waveform::DvbTFrameParams::create(guard, "qam16", "2/3");
    Samples frame = kavro::test::complex_noise(L / 3, 0.01, 5);
    const auto modulated = kavro::DvbTFrameMod(params).modulate(kavro::test::random_bytes(100, 5)).iq;
    frame.insert(frame.end(), modulated.begin(), modulated.begin() + static_cast<std::ptrdiff_t>(6 * L));
    kavro::test::add_noise(frame, 1e-4, 6);
    expect_matches_reference(frame, cp, "DVB-T frame");
    EXPECT_EQ(dvb_t_gi_sync(frame, cp, L)->timing, L / 3);
}

TEST_P(GiSyncByGuard, EstimatesTheFractionalOffset) {
    const std::size_t cp = GetParam();
    const Samples clean = cp_symbols(cp, 5, 3);
    const auto r100 = dvb_t_gi_sync(rotated(clean, 100.0), cp, cp + kFft);
    ASSERT_TRUE(r100);
    EXPECT_NEAR(r100->cfo_hz, 100.0, 0.5);
    const auto r400 = dvb_t_gi_sync(rotated(clean, 400.0), cp, cp + kFft);
    ASSERT_TRUE(r400);
    EXPECT_NEAR(r400->cfo_hz, -186.5, 0.5);  // 400 Hz wraps by one bin of 586.51 Hz
    EXPECT_EQ(r400->timing, 0u);
}

INSTANTIATE_TEST_SUITE_P(Guards, GiSyncByGuard, ::testing::Values(64u, 128u, 256u, 512u));

// A peak placed by hand: four perfect prefix copies at offset `peak`, and optionally one at 0.
Samples planted(std::size_t cp, std::size_t peak, bool copy_at_zero) {
    const std::size_t L = cp + kFft;
    Samples iq = kavro::test::complex_noise(peak + 5 * L, 1.0, 99);
    if (copy_at_zero)
        for (std::size_t n = 0; n < cp; ++n) iq[kFft + n] = iq[n];
    for (std::size_t k = 0; k < 4; ++k)
        for (std::size_t n = 0; n < cp; ++n) iq[peak + k * L + kFft + n] = iq[peak + k * L + n];
    return iq;
}

TEST(GiSync, EarlyPeakRuleAppliesOnlyWithinHalfAPrefixOfTheNextSymbol) {
    const std::size_t cp = 256, L = cp + kFft, late = L - (cp - cp / 2);
    const auto moved = dvb_t_gi_sync(planted(cp, late, true), cp, L);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->timing, 0u);
    const auto kept = dvb_t_gi_sync(planted(cp, late, false), cp, L);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->timing, late);
    const auto earlier = dvb_t_gi_sync(planted(cp, late - 1, true), cp, L);
    ASSERT_TRUE(earlier);
    EXPECT_EQ(earlier->timing, late - 1);
    for (bool copy : {true, false}) expect_matches_reference(planted(cp, late, copy), cp, "planted");
}

TEST(GiSync, EqualMetricsGoToTheLaterOffset) {
    // Ones on [0, 2cp) and 2048 later: every offset 0..cp sees a perfect window of ones.
    const std::size_t cp = 128, L = cp + kFft;
    Samples iq(2 * L + 10, Complex{});
    for (std::size_t n = 0; n < 2 * cp; ++n) iq[n] = iq[kFft + n] = Complex{1.0f, 0.0f};
    const auto r = dvb_t_gi_sync(iq, cp, L);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->timing, cp);
    EXPECT_EQ(r->metric, 1.0f);
}

TEST(GiSync, NonFiniteSamplesNeitherCrashNorFault) {
    const std::size_t cp = 64, L = cp + kFft;
    Samples iq = cp_symbols(cp, 5, 5);
    iq[10] = Complex{std::numeric_limits<float>::quiet_NaN(), 0.0f};
    iq[3000] = Complex{std::numeric_limits<float>::infinity(), 1.0f};
    const auto r = dvb_t_gi_sync(iq, cp, L);
    ASSERT_TRUE(r);
    EXPECT_LT(r->timing, L);
    const Samples all_nan(5 * L, Complex{NAN, NAN});
    const auto n = dvb_t_gi_sync(all_nan, cp, L);
    ASSERT_TRUE(n);
    EXPECT_LT(n->timing, L);
}

// A window holding a non-finite sample is left out of its offset's sums, whatever the sign of the
// NaN it makes (which the builds need not agree on): a bad sample ahead of the symbols never wins,
// and one inside the first prefix leaves that offset the three windows after it.
TEST(GiSync, ANonFiniteSampleNeitherWinsNorLosesTheSymbols) {
    const std::size_t cp = 64, L = cp + kFft;
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const Samples symbols = cp_symbols(cp, 5, 11);
    for (const Complex bad : {Complex{nan, 0.0f}, Complex{-nan, 0.0f}, Complex{0.0f, inf}, Complex{-inf, 1.0f}}) {
        for (const std::size_t ahead : {std::size_t{300}, L - 1}) {
            Samples iq(ahead, Complex{});
            iq.insert(iq.end(), symbols.begin(), symbols.end());
            iq[0] = bad;
            const auto r = dvb_t_gi_sync(iq, cp, L);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->timing, ahead) << bad.re << " " << bad.im << " ahead " << ahead;
        }
        Samples inside = symbols;
        inside[10] = bad;
        const auto r = dvb_t_gi_sync(inside, cp, L);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->timing, 0u);
        EXPECT_GT(r->metric, 0.99f);
    }
    const auto all_nan = dvb_t_gi_sync(Samples(5 * L, Complex{nan, nan}), cp, L);
    ASSERT_TRUE(all_nan);
    EXPECT_EQ(all_nan->timing, 0u);
    EXPECT_EQ(all_nan->metric, 0.0f);
    EXPECT_EQ(all_nan->cfo_hz, 0.0f);
}

// Samples near 9e17: each window's sums are finite, those of four windows overflow, and a quotient
// that is not a number scores 0.
TEST(GiSync, OverflowingSumsScoreZero) {
    const std::size_t cp = 64, L = cp + kFft;
    const Samples loud(5 * L, Complex{9e17f, 9e17f});
    EXPECT_EQ(quality_of(loud, {0}, cp), 1.0f);
    EXPECT_EQ(kavro::dvb_t_gi_quality(loud, 0, cp, 4), 0.0f);
    const auto r = dvb_t_gi_sync(loud, cp, L);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->metric, 0.0f);
}

// NaN bursts one period apart in the noise before a frame at 0 dB, whose metric is negative: the
// offsets just before each burst lose every window (and must rank below every number, whatever
// their NaN's sign), those whose copy halves reach the next burst keep only their last window
// (and compete scaled to four); the timing stays on the frame.
TEST(GiSync, OffsetsThatLostWindowsCompeteOnTheSameFooting) {
    const std::size_t cp = 256, L = cp + kFft, start = 1200;
    Samples iq = kavro::test::complex_noise(start, 2.0, 31);
    const Samples frame = cp_symbols(cp, 6, 32);
    iq.insert(iq.end(), frame.begin(), frame.end());
    kavro::test::add_noise(iq, 1.0, 33);
    for (std::size_t k = 0; k < 4; ++k)
        for (std::size_t n = 100; n < 150; ++n) iq[n + k * L] = Complex{NAN, NAN};
    const auto r = dvb_t_gi_sync(iq, cp, L);
    ASSERT_TRUE(r);
    EXPECT_NEAR(double(r->timing), double(start), 8.0);
}

// The quality over four windows, one holding a NaN, is that of the other three.
TEST(GiSync, QualityLeavesOutANonFiniteWindow) {
    const std::size_t cp = 64, L = cp + kFft;
    Samples iq = cp_symbols(cp, 5, 21);
    kavro::test::add_noise(iq, 0.5, 22);
    iq[L + 10] = Complex{NAN, 0.0f};
    const float three = quality_of(iq, {0, 2 * L, 3 * L}, cp);
    EXPECT_GT(three, 0.5f);
    EXPECT_FLOAT_EQ(kavro::dvb_t_gi_quality(iq, 0, cp, 4), three);
}

TEST(GiSync, WindowSumsAtEveryLevelEqualThePlainLoopBitForBit) {
    const std::size_t cp = 64, count = 37;
    const std::size_t n = count + cp + kFft;
    std::vector<float> re(n), im(n), power(n);
    std::mt19937 rng(3);
    std::normal_distribution<float> g;
    for (std::size_t i = 0; i < n; ++i) {
        re[i] = g(rng);
        im[i] = g(rng);
        power[i] = re[i] * re[i] + im[i] * im[i];
    }
    // Each special reaches only a few offsets, so that the others keep finite sums.
    re[5] = NAN;
    im[2145] = INFINITY;
    power[2146] = -INFINITY;
    std::vector<float> want(3 * count);
    for (std::size_t x = 0; x < count; ++x) {
        float sr = 0.0f, si = 0.0f, se = 0.0f;
        for (std::size_t k = 0; k < cp; ++k) {
            const std::size_t a = x + k, b = x + kFft + k;
            sr = sr + (re[a] * re[b] + im[a] * im[b]);
            si = si + (im[a] * re[b] - re[a] * im[b]);
            se = se + (power[a] + power[b]);
        }
        want[x] = sr;
        want[count + x] = si;
        want[2 * count + x] = se;
    }
    for (const kavro::SimdLevel level : kavro::simd_levels) {
        if (!kavro::simd_level_available(level)) continue;
        std::vector<float> got(3 * count);
        kavro::gi_window_sums(re.data(), im.data(), power.data(), cp, count, got.data(), got.data() + count,
                              got.data() + 2 * count, level);
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want[i]))
                << "word " << i << ", level " << static_cast<int>(level);
    }
}

}  // namespace
