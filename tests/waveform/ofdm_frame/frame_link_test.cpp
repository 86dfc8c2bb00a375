#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "support/frame_link_support.hpp"
#include "waveform/ofdm_frame/frame_link.hpp"

namespace {

using namespace kavro;

std::string construction_error(const OfdmConfig& cfg, const fec::McsTable& table, std::size_t num_repeats = 4,
                               std::size_t repeat_len = 16) {
    const auto link = waveform::FrameLink::create(cfg, table.entries(), num_repeats, repeat_len, nullptr);
    return link ? std::string("built") : error_message(link.error());
}

TEST(FrameLink, ConstructionChecksInOrder) {
    const fec::McsTable ladder = fec::McsTable::default_ladder();
    EXPECT_EQ(construction_error(test::frame_link_config(1000.0f), fec::McsTable{}),
              "McsTable must have at least one entry");
    EXPECT_EQ(construction_error(test::frame_link_config(1000.0f), ladder),
              "OFDM frame assembly is baseband-only: got rf_hz = 1000 Hz. Modulate at rf_hz = 0.0 and upconvert "
              "the whole burst with one continuous Rotator.");
    EXPECT_NE(construction_error(test::frame_link_config(0.1f), ladder).find("rf_hz = 0.1 Hz."), std::string::npos);
    EXPECT_NE(construction_error(test::frame_link_config(-2.5f), ladder).find("rf_hz = -2.5 Hz."), std::string::npos);

    const std::string span_text = "frame preamble span num_repeats (";
    EXPECT_EQ(construction_error(test::frame_link_config(), ladder, std::size_t{1} << 40, std::size_t{1} << 40).rfind(span_text, 0), 0u);
    EXPECT_EQ(construction_error(test::frame_link_config(), ladder, 1, (std::size_t{1} << 24) - 79).rfind(span_text, 0), 0u);
    EXPECT_EQ(construction_error(test::frame_link_config(), ladder, 1, (std::size_t{1} << 24) - 80), "built");
    EXPECT_EQ(construction_error(test::frame_link_config(), ladder, 0, 0), "built");
    EXPECT_EQ(construction_error(test::frame_link_config(), ladder, 1, 16), "built");

    EXPECT_EQ(construction_error(*test::frame_link_config().with_scrambler(0x3, 33), ladder), "LFSR width must be in 2..=32");
    EXPECT_EQ(construction_error(*test::frame_link_config().with_scrambler(0x100, 8), ladder),
              "LFSR taps must fit in `width` bits");
}

}  // namespace
