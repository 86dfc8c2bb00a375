#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/analog_support.hpp"
#include "modulate/am.hpp"
#include "modulate/cw.hpp"
#include "modulate/fm.hpp"
#include "modulate/pm.hpp"
#include "modulate/ssb.hpp"

namespace {

using kavro::test::expect_chunk_invariant;

// Audio with tones, noise, keying steps and excursions beyond ±1, long enough for several
// oscillator renormalisations.
std::vector<float> test_audio() {
    std::mt19937 rng(99);
    std::normal_distribution<float> noise(0.0f, 0.2f);
    std::vector<float> x(5000);
    for (std::size_t n = 0; n < x.size(); ++n)
        x[n] = static_cast<float>(1.2 * std::sin(0.031 * n) + ((n / 700) % 2 ? 0.6 : -0.1)) + noise(rng);
    return x;
}

TEST(AnalogModulators, ChunkedStreamsMatchOneCallBitForBit) {
    const auto audio = test_audio();
    kavro::AmDsbMod am(48000, 3100, 0.6, 0.7);
    am.set_clamp(true);
    am.set_gain(1.3);
    expect_chunk_invariant("AmDsbMod", am, audio);
    expect_chunk_invariant("SsbPhasingMod usb", kavro::SsbPhasingMod(48000, 2800, 1500, 2000, true), audio);
    expect_chunk_invariant("SsbPhasingMod lsb", kavro::SsbPhasingMod(48000, 2800, 1500, -900, false), audio);
    kavro::CwKeyedMod cw(48000, 700, 2, 4);
    cw.set_gain(0.9);
    expect_chunk_invariant("CwKeyedMod", cw, audio);
    kavro::FmPhaseAccumMod fm(48000, 5000, 1500);
    fm.set_gain(0.8);
    expect_chunk_invariant("FmPhaseAccumMod", fm, audio);
    kavro::PmDirectPhaseMod pm(48000, 1.7, -2500);
    pm.set_gain(1.1);
    expect_chunk_invariant("PmDirectPhaseMod", pm, audio);
}

}  // namespace
