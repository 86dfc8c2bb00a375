#include <gtest/gtest.h>

#include <array>
#include <cstddef>

#include "modulate/dvb_t_super_frame.hpp"

namespace {

TEST(DvbTSuperFrameSplit, FirstFramesTakeTheRemainder) {
    using Lens = std::array<std::size_t, 4>;
    EXPECT_EQ(kavro::super_frame_payload_lens(10), (Lens{3, 3, 2, 2}));
    EXPECT_EQ(kavro::super_frame_payload_lens(9), (Lens{3, 2, 2, 2}));
    EXPECT_EQ(kavro::super_frame_payload_lens(8), (Lens{2, 2, 2, 2}));
    EXPECT_EQ(kavro::super_frame_payload_lens(1), (Lens{1, 0, 0, 0}));
    EXPECT_EQ(kavro::super_frame_payload_lens(0), (Lens{0, 0, 0, 0}));
    EXPECT_EQ(kavro::super_frame_payload_lens(1000003), (Lens{250001, 250001, 250001, 250000}));
}

}  // namespace
