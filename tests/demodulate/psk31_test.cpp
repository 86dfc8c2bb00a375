#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

#include "codec/psk31.hpp"
#include "core/block.hpp"
#include "demodulate/psk31.hpp"
#include "modulate/psk31.hpp"
#include "support/test_support.hpp"

namespace {

using kavro::Bpsk31Demod;
using kavro::Bpsk31Mod;
using kavro::Complex;
using kavro::Qpsk31Demod;
using kavro::Qpsk31Mod;

static_assert(kavro::Block<Bpsk31Demod>);
static_assert(kavro::Block<Qpsk31Demod>);

// A PSK31 mode: its modulator, demodulator and the values a noiseless symbol should give.
template <bool Qpsk>
struct Mode {
    using Mod = std::conditional_t<Qpsk, Qpsk31Mod, Bpsk31Mod>;
    using Demod = std::conditional_t<Qpsk, Qpsk31Demod, Bpsk31Demod>;
    static constexpr std::size_t per_symbol = Qpsk ? 2 : 1;

    static std::vector<Complex> send(const std::vector<std::uint8_t>& bits, float fs, float rf, float gain = 1.0f) {
        return Mod::create(fs, rf, gain)->modulate_bits(bits);
    }
    static Demod receiver(float fs, float rf, float gain = 1.0f) { return *Demod::create(fs, rf, gain); }

    // Bit 1 keeps the BPSK31 phase (+1), bit 0 reverses it; QPSK31 turns by the encoder's rotation.
    static std::vector<float> ideal(const std::vector<std::uint8_t>& bits) {
        std::vector<float> v;
        std::uint8_t state = 0;
        for (const auto b : bits) {
            if constexpr (Qpsk) {
                const auto step = kavro::codec::qpsk31_encode_step(state, b);
                state = step.next_state;
                v.push_back(kavro::codec::qpsk31_phase_steps[step.rotation].re);
                v.push_back(kavro::codec::qpsk31_phase_steps[step.rotation].im);
            } else {
                v.push_back(b ? 1.0f : -1.0f);
            }
        }
        return v;
    }
};

template <class Demod>
std::vector<float> run(Demod& d, const std::vector<Complex>& iq, std::size_t chunk = 0) {
    std::vector<float> out;
    if (chunk == 0) chunk = iq.size();
    std::vector<float> buffer(2 * (chunk / 256 + 2));  // every test runs at 256 or more samples per symbol
    kavro::test::feed_in_chunks(std::span(iq), chunk, [&](std::span<const Complex> piece) {
        const std::size_t got = d.process(piece, buffer);
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    });
    return out;
}

template <bool Qpsk>
void check_loopback() {
    using M = Mode<Qpsk>;
    const auto bits = kavro::test::random_bits(3000, 5);
    const auto ideal = M::ideal(bits);
    for (const float fs : {8000.0f, 11025.0f, 44100.0f, 48000.0f}) {
        for (const float rf : {0.0f, 1000.0f, 1234.5f}) {
            const float tolerance = rf == 0.0f ? 1e-5f : 1e-3f;
            auto demod = M::receiver(fs, rf);
            const auto soft = run(demod, M::send(bits, fs, rf));
            ASSERT_EQ(soft.size(), ideal.size());
            float worst = 0.0f;
            for (std::size_t i = 0; i < soft.size(); ++i) worst = std::max(worst, std::fabs(soft[i] - ideal[i]));
            EXPECT_LE(worst, tolerance) << "qpsk " << Qpsk << " fs " << fs << " rf " << rf;
        }
    }
}

TEST(Psk31Demod, NoiselessLoopback) {
    check_loopback<false>();
    check_loopback<true>();
}

template <bool Qpsk>
void check_chunks() {
    using M = Mode<Qpsk>;
    const auto iq = M::send(kavro::test::random_bits(400, 8), 8000, 1000);
    auto whole = M::receiver(8000, 1000);
    const auto expected = run(whole, iq);
    for (const std::size_t chunk : {1u, 100u, 997u}) {
        auto d = M::receiver(8000, 1000);
        EXPECT_EQ(run(d, iq, chunk), expected) << "chunk " << chunk;
    }
    // reset restores the state of construction.
    whole.reset();
    EXPECT_EQ(run(whole, iq), expected);
}

TEST(Psk31Demod, ChunksGiveTheSameValues) {
    check_chunks<false>();
    check_chunks<true>();
}

// Gain scales both symbols of a product: from index 1 the values scale by g², index 0 (against
// the fixed reference) by g.
template <bool Qpsk>
void check_gain() {
    using M = Mode<Qpsk>;
    const auto bits = kavro::test::random_bits(2000, 9);
    for (const float rf : {0.0f, 1000.0f}) {
        const auto iq = M::send(bits, 8000, rf);
        auto unit = M::receiver(8000, rf);
        const auto v1 = run(unit, iq);
        for (const float g : {0.1f, 0.5f, 2.0f, 3.5f, 4.0f, 100.0f}) {
            auto d = M::receiver(8000, rf, g);
            const auto vg = run(d, iq);
            ASSERT_EQ(vg.size(), v1.size());
            for (std::size_t i = 0; i < vg.size(); ++i) {
                const float scale = i < M::per_symbol ? g : g * g;
                ASSERT_LE(std::fabs(vg[i] - scale * v1[i]), 1e-4f * scale) << "gain " << g << " rf " << rf << " value " << i;
            }
        }
    }
}

TEST(Psk31Demod, GainIsAPlainScale) {
    check_gain<false>();
    check_gain<true>();
}

// One bad sample spoils only the symbols around it.
template <bool Qpsk>
void check_bad_sample() {
    using M = Mode<Qpsk>;
    const auto bits = kavro::test::random_bits(200, 10);
    const auto clean_iq = M::send(bits, 8000, 1000);
    auto clean_demod = M::receiver(8000, 1000);
    const auto clean = run(clean_demod, clean_iq);
    const std::size_t spoiled = 50;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const float bad : {nan, 1e20f, 1e30f}) {
        auto iq = clean_iq;
        iq[spoiled * 256 + 100] = {bad, bad};
        auto d = M::receiver(8000, 1000);
        const auto v = run(d, iq);
        const bool huge = !std::isnan(bad);
        const std::size_t right_from = spoiled + (huge ? 4 : (Qpsk ? 3 : 2));
        for (std::size_t k = spoiled + 1; k < bits.size(); ++k) {
            for (std::size_t c = 0; c < M::per_symbol; ++c) {
                const float x = v[k * M::per_symbol + c];
                ASSERT_TRUE(std::isfinite(x)) << "bad " << bad << " symbol " << k;
                const float ideal = M::ideal(bits)[k * M::per_symbol + c];
                if (k >= right_from) {
                    ASSERT_LT(std::fabs(x - ideal), 0.5f) << "bad " << bad << " symbol " << k;
                }
                if (!huge && k >= spoiled + 12) {
                    ASSERT_NEAR(x, clean[k * M::per_symbol + c], 1e-4f) << "symbol " << k;
                }
            }
        }
    }
}

TEST(Psk31Demod, ABadSampleSpoilsFewSymbols) {
    check_bad_sample<false>();
    check_bad_sample<true>();
}

// With room for one symbol a call stops right after the sample that completes it.
template <bool Qpsk>
void check_stop_rule(std::size_t room) {
    using M = Mode<Qpsk>;
    const auto iq = M::send({1, 0, 1}, 8000, 0);
    auto d = M::receiver(8000, 0);
    std::vector<float> out(room, 7.0f);
    ASSERT_EQ(d.process(iq, out), M::per_symbol);
    if (room > M::per_symbol) {
        EXPECT_EQ(out[M::per_symbol], 7.0f);
    }
    // The rest of the samples continue as if the call had stopped at the symbol boundary.
    auto rest = run(d, std::vector<Complex>(iq.begin() + 256, iq.end()));
    std::vector<float> joined(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(M::per_symbol));
    joined.insert(joined.end(), rest.begin(), rest.end());
    auto whole = M::receiver(8000, 0);
    EXPECT_EQ(joined, run(whole, iq));
    std::vector<float> none;
    EXPECT_EQ(d.process(iq, none), 0u);
    EXPECT_EQ(d.process({}, out), 0u);
}

TEST(Psk31Demod, StopsWhenTheOutputIsFull) {
    check_stop_rule<false>(1);
    check_stop_rule<true>(2);
    check_stop_rule<true>(3);
}

TEST(Psk31Demod, RefusedRatesAndDecider) {
    EXPECT_EQ(error_message(Bpsk31Demod::create(15.5f, 0, 1).error()),
              "Bpsk31Demod: fs gives 0 samples per symbol (must be 1 to 1048576)");
    EXPECT_EQ(error_message(Qpsk31Demod::create(32768500, 0, 1).error()),
              "Qpsk31Demod: fs gives 1048592 samples per symbol (must be 1 to 1048576)");
    EXPECT_TRUE(Qpsk31Demod::create(15.625f, 0, 1).has_value());
    kavro::Bpsk31Decider decider;
    const std::vector<float> soft{0.0f, -0.0f, -1e-9f, std::numeric_limits<float>::quiet_NaN(), 2.5f};
    EXPECT_EQ(decider.process(soft), (std::vector<std::uint8_t>{1, 1, 0, 0, 1}));
}

// The BPSK31 receiver in double precision without mixing: window integration less the previous
// symbol's unscaled tail, the turn by -phase, the differential product and the first-order loop
// (phase += 0.05 · (±d.im / |d|), wrapped once each way).
std::vector<double> bpsk31_model(const std::vector<Complex>& iq, std::size_t sps) {
    std::vector<double> window(sps), out;
    double energy = 0.0;
    for (std::size_t k = 0; k < sps; ++k) {
        window[k] = 0.5 - 0.5 * std::cos(static_cast<double>(k) * std::numbers::pi / static_cast<double>(sps - 1));
        energy += window[k] * window[k];
    }
    std::complex<double> acc, prev_rx{1.0, 0.0}, prev_sym{1.0, 0.0};
    double phase = 0.0;
    for (std::size_t n = 0; n < iq.size(); ++n) {
        const double w = window[n % sps];
        acc += (std::complex<double>(iq[n].re, iq[n].im) - prev_rx * (1.0 - w)) * w;
        if (n % sps != sps - 1) continue;
        const std::complex<double> rx = acc / energy, cur = rx * std::polar(1.0, -phase), d = cur * std::conj(prev_sym);
        out.push_back(d.real());
        if (std::norm(d) > 1e-6) phase += 0.05 * (d.real() < 0.0 ? -d.imag() : d.imag()) / std::abs(d);
        if (phase > std::numbers::pi) phase -= 2.0 * std::numbers::pi;
        if (phase < -std::numbers::pi) phase += 2.0 * std::numbers::pi;
        prev_rx = rx;
        prev_sym = cur;
        acc = {};
    }
    return out;
}

// A carrier 3 Hz off turns each symbol by 0.6 rad, of which the loop takes back about 0.03: the
// receiver follows its model within single-precision rounding, a loop pulling the wrong way is
// some 0.05 off.
TEST(Psk31Demod, Bpsk31LoopFollowsItsModel) {
    const auto iq = Mode<false>::send(kavro::test::random_bits(400, 12), 8000, 3);
    auto d = Mode<false>::receiver(8000, 0);
    const auto soft = run(d, iq);
    const auto model = bpsk31_model(iq, 256);
    ASSERT_EQ(soft.size(), model.size());
    double worst = 0.0;
    for (std::size_t k = 0; k < soft.size(); ++k) worst = std::max(worst, std::fabs(soft[k] - model[k]));
    EXPECT_LE(worst, 2.5e-6);
}

// Raw BPSK31 bit errors with Eb = P·sps and N0 the complex noise variance per sample.
double bpsk31_ber(double eb_n0_db, float rx_offset_hz, std::uint64_t seed) {
    const std::size_t n = 100000;
    const auto bits = kavro::test::random_bits(n, seed);
    auto iq = Mode<false>::send(bits, 8000, 1000);
    kavro::test::add_fast_noise(iq, kavro::test::noise_variance_at_snr(kavro::test::mean_power(iq) * 256.0, eb_n0_db), seed + 1);
    auto d = Mode<false>::receiver(8000, 1000 + rx_offset_hz);
    const auto soft = run(d, iq);
    std::size_t wrong = 0;
    for (std::size_t k = 1; k < n; ++k) wrong += (soft[k] >= 0.0f) != (bits[k] != 0);
    return static_cast<double>(wrong) / static_cast<double>(n - 1);
}

TEST(Psk31Demod, Bpsk31BitErrorRate) {
    EXPECT_LE(bpsk31_ber(10.0, 0.0f, 31), 1.5e-2);
    EXPECT_LE(bpsk31_ber(12.0, 0.0f, 32), 2e-3);
    EXPECT_LE(bpsk31_ber(12.0, 0.25f, 33), 3e-3);
    EXPECT_LE(bpsk31_ber(12.0, 1.0f, 34), 3e-3);
}

}  // namespace
