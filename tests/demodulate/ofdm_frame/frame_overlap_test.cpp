#include <gtest/gtest.h>

#include "demodulate/ofdm_frame/frame_overlap.hpp"

namespace {

using kavro::FrameOverlap;

// A body from 300 to 1200: a frame whose header decodes before 900 ends the wait, one from there
// on waits. After a frame decoded up to 1000, failures starting before it are part of that frame
// unless their header decoded; clear forgets the decoded frame.
TEST(FrameOverlap, WaitsForTheLastThirdAndSilencesFailuresInsideADecodedFrame) {
    EXPECT_TRUE(FrameOverlap::ends_wait(300, 1200, 301));
    EXPECT_TRUE(FrameOverlap::ends_wait(300, 1200, 899));
    EXPECT_FALSE(FrameOverlap::ends_wait(300, 1200, 900));

    FrameOverlap overlap;
    EXPECT_TRUE(overlap.reports_failure(0, false));
    overlap.decoded(1000);
    EXPECT_EQ(overlap.decoded_end(), 1000u);
    EXPECT_FALSE(overlap.reports_failure(999, false));
    EXPECT_TRUE(overlap.reports_failure(999, true));
    EXPECT_TRUE(overlap.reports_failure(1000, false));
    overlap.clear();
    EXPECT_TRUE(overlap.reports_failure(500, false));
    EXPECT_EQ(overlap.decoded_end(), 0u);
}

}  // namespace
