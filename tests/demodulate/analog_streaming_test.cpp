#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/analog_support.hpp"
#include "demodulate/am.hpp"
#include "demodulate/cw.hpp"
#include "demodulate/fm.hpp"
#include "demodulate/pm.hpp"
#include "demodulate/ssb.hpp"

namespace {

using kavro::Complex;
using kavro::test::expect_chunk_invariant;

// A wandering carrier with amplitude modulation, a dropout and noise.
std::vector<Complex> test_iq() {
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<Complex> x(5000);
    double phase = 0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        phase += 0.2 + 0.1 * std::sin(0.004 * n);
        const double a = (n > 2000 && n < 2600) ? 0.0 : 1.0 + 0.5 * std::sin(0.02 * n);
        x[n] = {static_cast<float>(a * std::cos(phase)) + noise(rng), static_cast<float>(a * std::sin(phase)) + noise(rng)};
    }
    return x;
}

TEST(AnalogDemodulators, ChunkedStreamsMatchOneCallBitForBit) {
    const auto iq = test_iq();
    expect_chunk_invariant("AmEnvelopeDemod exact", kavro::AmEnvelopeDemod(48000, 5000), iq);
    expect_chunk_invariant("AmEnvelopeDemod approx", kavro::AmEnvelopeDemod(48000, 5000, true), iq);
    expect_chunk_invariant("SsbProductDemod", kavro::SsbProductDemod(48000, 1500, 3000), iq);
    kavro::CwEnvelopeDemod cw(48000, 700, 200);
    cw.set_gain(2.0);
    expect_chunk_invariant("CwEnvelopeDemod", cw, iq);
    expect_chunk_invariant("FmQuadratureDemod", kavro::FmQuadratureDemod(48000, 5000, 4000), iq);
    expect_chunk_invariant("PmQuadratureDemod", kavro::PmQuadratureDemod(48000, 1.5, 4000), iq);
}

}  // namespace
