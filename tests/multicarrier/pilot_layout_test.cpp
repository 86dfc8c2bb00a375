#include "multicarrier/pilot_layout.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kavro {
namespace {

using Entry = PilotLayoutEntry;

TEST(PilotLayout, InterpolatesBetweenNeighboursAndHoldsBeyondTheEnds) {
    const std::vector<GridPilot> pilots{{12, {3, 0}}, {4, {1, 0}}};
    const std::vector<std::size_t> data{14, 8, 2};
    const PilotLayout layout = PilotLayout::build(pilots, data);
    EXPECT_EQ(layout.pilots, (std::vector<GridPilot>{{4, {1, 0}}, {12, {3, 0}}}));
    EXPECT_EQ(layout.entries, (std::vector<Entry>{{2, 4, 4, 0.0f}, {8, 4, 12, 0.5f}, {14, 12, 12, 0.0f}}));
}

TEST(PilotLayout, BandEdgesMeetInBinOrderNotAcrossDc) {
    // n_fft 64, pilots at carriers -21, -7, 7, 21 (bins 43, 57, 7, 21): carrier 26 (bin 26) lies,
    // in bin order, between the pilots at bins 21 and 43; carrier 1 (bin 1) takes bin 7's estimate
    // and carrier -1 (bin 63) bin 57's.
    const std::vector<GridPilot> pilots{{43, {1, 0}}, {57, {1, 0}}, {7, {1, 0}}, {21, {1, 0}}};
    const std::vector<std::size_t> data{63, 1, 26};
    const PilotLayout layout = PilotLayout::build(pilots, data);
    ASSERT_EQ(layout.entries.size(), 3u);
    EXPECT_EQ(layout.entries[0], (Entry{1, 7, 7, 0.0f}));
    EXPECT_EQ(layout.entries[1], (Entry{26, 21, 43, 5.0f / 22.0f}));
    EXPECT_EQ(layout.entries[2], (Entry{63, 57, 57, 0.0f}));
}

TEST(PilotLayout, DegenerateListsAndStableOrder) {
    const std::vector<std::size_t> data{3, 1};
    EXPECT_TRUE(PilotLayout::build({}, data).entries.empty());

    const std::vector<GridPilot> two_on_one_bin{{5, {2, 0}}, {1, {9, 0}}, {5, {1, 0}}};
    const PilotLayout no_data = PilotLayout::build(two_on_one_bin, {});
    EXPECT_EQ(no_data.pilots, (std::vector<GridPilot>{{1, {9, 0}}, {5, {2, 0}}, {5, {1, 0}}}));
    EXPECT_TRUE(no_data.entries.empty());

    // The walk stops at the last pilot of a bin; a data bin on a pilot's bin takes it alone.
    const std::vector<std::size_t> on_and_after{5, 6};
    const PilotLayout layout = PilotLayout::build(two_on_one_bin, on_and_after);
    EXPECT_EQ(layout.entries, (std::vector<Entry>{{5, 5, 5, 0.0f}, {6, 5, 5, 0.0f}}));

    const std::vector<GridPilot> one{{10, {1, 1}}};
    const std::vector<std::size_t> around{0, 20};
    EXPECT_EQ(PilotLayout::build(one, around).entries, (std::vector<Entry>{{0, 10, 10, 0.0f}, {20, 10, 10, 0.0f}}));
    EXPECT_TRUE(PilotLayout::build(one, around).fits(21));
    EXPECT_FALSE(PilotLayout::build(one, around).fits(20));
}

}  // namespace
}  // namespace kavro
