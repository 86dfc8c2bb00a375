#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "multicarrier/ifft_block.hpp"
#include "support/test_support.hpp"
#include "sync/dvb_t_integer_cfo.hpp"

namespace {

using kavro::Complex;
using Samples = std::vector<Complex>;

constexpr std::size_t kFft = 2048;
constexpr int kContinual[45] = {0,    48,   54,   87,   141,  156,  192,  201,  255,  279,  282,  333,  432,  450,  483,
                                525,  531,  618,  636,  714,  759,  765,  780,  804,  873,  888,  918,  939,  942,  969,
                                984,  1050, 1101, 1107, 1110, 1137, 1140, 1146, 1206, 1269, 1323, 1377, 1491, 1683, 1704};

// Symbols whose active carriers hold random unit cells and whose continual pilots are boosted to
// 4/3, each with its cyclic prefix, then shifted by `bins` carriers in time.
Samples pilot_symbols(std::size_t cp, std::size_t count, double bins, std::uint64_t seed) {
    kavro::IfftBlock ifft(kFft);
    Samples out;
    for (std::size_t s = 0; s < count; ++s) {
        auto cells = kavro::test::complex_noise(kFft, 1.0, seed + s);
        for (auto& c : cells) c = c * (1.0f / std::sqrt(kavro::norm(c)));  // unit cells, random phase
        for (std::size_t b = 853; b < 1196; ++b) cells[b] = Complex{};
        for (int k : kContinual) cells[static_cast<std::size_t>(k + 2048 - 852) % kFft] = Complex{4.0f / 3.0f, 0.0f};
        Samples time(kFft);
        ifft.process(cells, time);
        out.insert(out.end(), time.end() - static_cast<std::ptrdiff_t>(cp), time.end());
        out.insert(out.end(), time.begin(), time.end());
    }
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double ph = 2.0 * M_PI * bins * double(n) / double(kFft);
        out[n] = out[n] * Complex{float(std::cos(ph)), float(std::sin(ph))};
    }
    return out;
}

TEST(IntegerCfo, FindsWholeCarrierShifts) {
    for (int bins : {0, 3, -5, 32, -32, 17}) {
        const Samples iq = pilot_symbols(256, 10, bins, 7);
        EXPECT_EQ(kavro::dvb_t_integer_cfo_bins(iq, 0, 256), bins) << bins;
    }
    // Half a spacing off, the whole part is found once the fraction is removed.
    for (double fraction : {0.49, -0.49}) {
        const Samples iq = pilot_symbols(256, 10, 5.0 + fraction, 7);
        EXPECT_EQ(kavro::dvb_t_integer_cfo_bins(iq, 0, 256, fraction), 5) << fraction;
    }
    // Only whole symbols from the timing count: one symbol after a late timing still works.
    const Samples iq = pilot_symbols(64, 3, 5, 9);
    EXPECT_EQ(kavro::dvb_t_integer_cfo_bins(iq, 2 * (64 + kFft), 64), 5);
}

TEST(IntegerCfo, EqualMetricsKeepTheMostNegativeOffset) {
    EXPECT_EQ(kavro::dvb_t_integer_cfo_bins(Samples(3 * 2560, Complex{}), 0, 512), -32);
    // One impulse at each window's start: every bin exactly 1, every offset scores the same.
    Samples impulses(3 * 2560, Complex{});
    for (std::size_t s = 0; s < 3; ++s) impulses[s * 2560 + 512] = Complex{1.0f, 0.0f};
    EXPECT_EQ(kavro::dvb_t_integer_cfo_bins(impulses, 0, 512), -32);
}

TEST(IntegerCfo, RemovalTurnsEachSampleByItsOwnPhase) {
    const Samples iq = kavro::test::complex_noise(5000, 1.0, 3);
    Samples out(iq.size());
    for (double bins : {3.0, -5.25, 32.0}) {
        for (std::size_t first : {std::size_t{0}, std::size_t{987654321}}) {
            kavro::remove_carrier_offset(iq, bins, first, out);
            for (std::size_t n = 0; n < iq.size(); n += 7) {
                const double turns = std::remainder(bins * double(first + n) / double(kFft), 1.0);
                const auto want = std::complex<double>(iq[n].re, iq[n].im) * std::polar(1.0, -2.0 * M_PI * turns);
                EXPECT_NEAR(out[n].re, want.real(), 2e-4) << bins << " " << n;
                EXPECT_NEAR(out[n].im, want.imag(), 2e-4) << bins << " " << n;
            }
        }
    }
    // Undoing a shift made by the test's own rotation restores the pilot positions.
    const Samples shifted = pilot_symbols(128, 4, 7, 1);
    Samples back(shifted.size());
    kavro::remove_carrier_offset(shifted, 7.0, 0, back);
    EXPECT_EQ(kavro::dvb_t_integer_cfo_bins(back, 0, 128), 0);
}

}  // namespace
