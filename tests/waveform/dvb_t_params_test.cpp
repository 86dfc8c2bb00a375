#include <gtest/gtest.h>

#include <array>
#include <cstddef>

#include "waveform/dvb_t_params.hpp"

namespace {

TEST(DvbTSuperFrameParams, FramesTakeTheirNumberAndAlternateCellBytes) {
    const auto params = *kavro::waveform::DvbTSuperFrameParams::create("1/4", "qam16", "5/6", 0x1234);
    const std::array<std::uint8_t, 4> cells{0x12, 0x34, 0x12, 0x34};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto frame = params.frame_params(i);
        EXPECT_EQ(frame.frame_number, i);
        EXPECT_EQ(frame.cell_id, cells[i]);
        EXPECT_EQ(frame.guard, 3);
        EXPECT_EQ(frame.constellation, kavro::ConstellationOrder::Qam16);
        EXPECT_EQ(frame.code_rate, 3);
    }
}

TEST(DvbTSuperFrameParams, KeywordsAreParsedGuardFirst) {
    const auto error = kavro::waveform::DvbTSuperFrameParams::create("1/5", "qam99", "1/3", 1);
    ASSERT_FALSE(error.has_value());
    EXPECT_EQ(kavro::waveform::error_message(error.error()),
              "unknown guard interval \"1/5\" (expected 1/32, 1/16, 1/8, 1/4)");
}

}  // namespace
