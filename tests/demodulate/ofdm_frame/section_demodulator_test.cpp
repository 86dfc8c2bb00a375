#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/pseudo_random.hpp"
#include "demodulate/ofdm_frame/section_demodulator.hpp"
#include "modulate/ofdm.hpp"
#include "support/frame_link_support.hpp"
#include "support/test_support.hpp"
#include "waveform/ofdm_frame/frame_link.hpp"

namespace {

using namespace kavro;
using Samples = std::vector<Complex>;

// With an equaliser a section of four or more symbols has its common phase removed; three or
// fewer are left as equalised.
TEST(SectionDemodulator, PhaseTrackingNeedsFourSymbols) {
    const OfdmConfig cfg = test::frame_link_config();
    const OfdmConfig qpsk = waveform::symbol_config(cfg, ConstellationOrder::Qpsk);
    const auto bits = test::random_bytes(4 * 100, 9);
    std::vector<std::uint8_t> bit_values(bits.size());
    for (std::size_t i = 0; i < bits.size(); ++i) bit_values[i] = bits[i] & 1;
    const Samples clean = OfdmMod::create(qpsk)->modulate(bit_values);
    Samples turned = clean;
    const Complex turn{std::cos(0.4f), std::sin(0.4f)};
    for (Complex& s : turned) s = s * turn;
    // The transmitted training symbol's own bins: a unit channel.
    const Samples unit_channel = pseudo_random_unit_sequence(64, training_seed);
    SectionDemodulator sections(cfg);
    sections.set_training(std::span<const Complex>(unit_channel));
    for (const std::size_t count : {std::size_t{3}, std::size_t{4}}) {
        const Section section{ConstellationOrder::Qpsk, 0, count, {}};
        const auto line = sections.demodulate(turned, section);
        ASSERT_TRUE(line.has_value());
        const Samples cells(sections.cells().begin(), sections.cells().end());
        ASSERT_TRUE(sections.demodulate(clean, section).has_value());
        const std::span<const Complex> expected_cells = sections.cells();
        float worst = 0.0f;
        for (std::size_t i = 0; i < cells.size(); ++i) worst = std::max(worst, norm(cells[i] - expected_cells[i]));
        if (count == 3) {
            EXPECT_FALSE(line->has_value());
            EXPECT_GT(worst, 0.1f);
        } else {
            ASSERT_TRUE(line->has_value());
            EXPECT_NEAR((*line)->intercept, 0.4f, 1e-4f);
            EXPECT_NEAR((*line)->slope, 0.0f, 1e-4f);
            EXPECT_LT(worst, 1e-8f);
        }
    }
}

}  // namespace
