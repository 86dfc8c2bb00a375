#include "multicarrier/ofdm_equalizer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/internal_fault.hpp"
#include "core/pseudo_random.hpp"

namespace kavro {
namespace {

static_assert(BlockStage<OfdmEqualizer>);

OfdmConfig config(std::vector<std::int32_t> data, std::vector<std::int32_t> pilot_indices,
                  std::vector<Complex> pilot_values, std::size_t n_fft = 16) {
    return *OfdmConfig::create(n_fft, 4, std::span<const std::int32_t>(data), std::span<const std::int32_t>(pilot_indices),
                               std::span<const Complex>(pilot_values), 1000.0f, 0.0f, 1.0f, "qpsk", std::nullopt);
}

std::vector<Complex> ramp(std::size_t n) {
    std::vector<Complex> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = {1.0f + 0.25f * static_cast<float>(i), -0.5f * static_cast<float>(i)};
    return x;
}

TEST(OfdmEqualizer, TrainingModeHoldsOneOverTheEstimatedChannel) {
    const OfdmConfig cfg = config({1, 2, 3, -3}, {}, {});
    OfdmEqualizer eq(cfg, EqualizerMode::TrainingSymbol);
    const std::vector<Complex> y = ramp(16);
    std::vector<Complex> out(16);
    ASSERT_EQ(eq.process(y, out), 16u);
    EXPECT_EQ(out, y);  // passes through before the first estimate

    // A channel H applied to the training sequence is undone on every bin; a dead bin gives 0.
    std::vector<Complex> x = pseudo_random_unit_sequence(16, training_seed);
    std::vector<Complex> received(16);
    for (std::size_t k = 0; k < 16; ++k) received[k] = x[k] * Complex{0.5f, 0.25f * static_cast<float>(k)};
    received[5] = {};
    eq.estimate_from_training_symbol(received);
    ASSERT_EQ(eq.process(received, out), 16u);
    for (std::size_t k = 0; k < 16; ++k) {
        if (k == 5) {
            EXPECT_EQ(out[k], Complex{});
            EXPECT_EQ(eq.training_coefficients()[k], Complex{});
            continue;
        }
        EXPECT_NEAR(out[k].re, x[k].re, 1e-5f) << k;
        EXPECT_NEAR(out[k].im, x[k].im, 1e-5f) << k;
    }

    // Unchanged training sequence: coefficients of 1.
    eq.estimate_from_training_symbol(x);
    for (const Complex& c : eq.training_coefficients()) {
        EXPECT_NEAR(c.re, 1.0f, 1e-6f);
        EXPECT_NEAR(c.im, 0.0f, 1e-6f);
    }
}

TEST(OfdmEqualizer, IgnoresShortTrainingAndTrainingInPilotMode) {
    const OfdmConfig cfg = config({1, 2, 3}, {4}, {{1, 0}});
    const std::vector<Complex> doubled(16, {2, 0});
    OfdmEqualizer training(cfg, EqualizerMode::TrainingSymbol);
    training.estimate_from_training_symbol(std::span(doubled).first(15));
    EXPECT_EQ(std::vector<Complex>(training.training_coefficients().begin(), training.training_coefficients().end()),
              std::vector<Complex>(16, {1, 0}));

    OfdmEqualizer pilot(cfg, EqualizerMode::PilotInterp);
    pilot.estimate_from_training_symbol(doubled);
    EXPECT_EQ(std::vector<Complex>(pilot.training_coefficients().begin(), pilot.training_coefficients().end()),
              std::vector<Complex>(16, {1, 0}));

    std::vector<Complex> out(16, {7, 7});
    EXPECT_EQ(pilot.process(std::span(doubled).first(15), out), 0u);
    EXPECT_EQ(pilot.process(doubled, std::span(out).first(15)), 0u);
    EXPECT_EQ(out, std::vector<Complex>(16, {7, 7}));
}

TEST(OfdmEqualizer, PilotModeInterpolatesTheChannelToTheDataBins) {
    // Pilots at bins 4 and 12 carrying 2j; received as 2j·1 and 2j·3.
    const OfdmConfig cfg = config({2, -8, -2}, {4, -4}, {{0, 2}, {0, 2}});
    OfdmEqualizer eq(cfg, EqualizerMode::PilotInterp);
    std::vector<Complex> y(16, {1, 1});
    y[4] = {0, 2};
    y[12] = {0, 6};
    std::vector<Complex> out(16);
    ASSERT_EQ(eq.process(y, out), 16u);
    const auto h = eq.channel_estimate();
    EXPECT_EQ(h[4], (Complex{1, 0}));
    EXPECT_EQ(h[12], (Complex{3, 0}));
    EXPECT_EQ(h[2], (Complex{1, 0}));
    EXPECT_EQ(h[8], (Complex{2, 0}));
    EXPECT_EQ(h[14], (Complex{3, 0}));
    EXPECT_EQ(h[0], (Complex{1, 0}));  // DC and nulls keep their value
    EXPECT_EQ(out[8], (Complex{0.5f, 0.5f}));
    EXPECT_EQ(out[14].re, 1.0f / 3.0f);
}

TEST(OfdmEqualizer, ZeroPilotZeroesItsBinsAndTheNextSymbolRecovers) {
    const OfdmConfig cfg = config({1, 2, 3, 5, 6}, {0, 4}, {{1, 0}, {0, 0}});
    OfdmEqualizer eq(cfg, EqualizerMode::PilotInterp);
    std::vector<Complex> y(16, {0.5f, 0.0f});
    std::vector<Complex> out(16);
    ASSERT_EQ(eq.process(y, out), 16u);
    for (std::size_t bin : {1u, 2u, 3u, 4u, 5u, 6u}) EXPECT_EQ(out[bin], Complex{}) << bin;
    EXPECT_EQ(out[0], (Complex{1, 0}));

    // A layout with a good pilot on that bin replaces the NaN estimates.
    const std::vector<GridPilot> pilots{{0, {1, 0}}, {4, {1, 0}}};
    const std::vector<std::size_t> data{1, 2, 3, 5, 6};
    eq.select_pilot_layout(7, pilots, data);
    ASSERT_EQ(eq.process(y, out), 16u);
    for (std::size_t bin : {1u, 2u, 3u, 4u, 5u, 6u}) EXPECT_EQ(out[bin], (Complex{1, 0})) << bin;
}

TEST(OfdmEqualizer, KeyedLayoutsAreBuiltOnceAndAnUnknownKeyKeepsTheEstimate) {
    const OfdmConfig cfg = config({1, 2}, {3}, {{1, 0}});
    OfdmEqualizer eq(cfg, EqualizerMode::PilotInterp);
    const std::vector<GridPilot> phase0{{2, {1, 0}}};
    const std::vector<GridPilot> phase1{{6, {1, 0}}};
    const std::vector<std::size_t> data0{5}, data1{9};
    eq.select_pilot_layout(0, phase0, data0);
    eq.select_pilot_layout(1, phase1, data1);

    std::vector<Complex> y(16, {2, 0});
    std::vector<Complex> out(16);
    eq.select_pilot_layout(0, phase1, data1);  // known key: the new lists are ignored
    eq.process(y, out);
    EXPECT_EQ(eq.channel_estimate()[5], (Complex{2, 0}));
    EXPECT_EQ(eq.channel_estimate()[9], (Complex{1, 0}));

    // Key 2 has a layout without pilots: the estimate of the previous symbol stays.
    const std::vector<GridPilot> bad{{99, {1, 0}}};
    eq.select_pilot_layout(2, {}, {});
    std::vector<Complex> y4(16, {4, 0});
    eq.process(y4, out);
    EXPECT_EQ(eq.channel_estimate()[2], (Complex{2, 0}));
    EXPECT_EQ(out[5], (Complex{2, 0}));
    EXPECT_THROW(eq.select_pilot_layout(3, bad, data0), InternalFault);

    // estimate alone updates the channel from the current key's pilots, as process would.
    eq.select_pilot_layout(1, {}, {});
    eq.estimate(std::vector<Complex>(16, {3, 0}));
    EXPECT_EQ(eq.channel_estimate()[9], (Complex{3, 0}));
    EXPECT_EQ(eq.channel_estimate()[5], (Complex{2, 0}));  // phase 1 does not reach it
    eq.estimate(std::vector<Complex>(15, {5, 0}));            // too short: nothing
    EXPECT_EQ(eq.channel_estimate()[9], (Complex{3, 0}));
}

}  // namespace
}  // namespace kavro
