#include "multicarrier/carrier_plan.hpp"

#include <gtest/gtest.h>

#include "core/internal_fault.hpp"
#include "multicarrier/carrier_grid.hpp"

namespace kavro {
namespace {

CarrierPlan plan_of(std::size_t n_fft, std::vector<std::int32_t> data, std::vector<PilotCarrier> pilots = {}) {
    CarrierPlan plan;
    plan.n_fft = n_fft;
    plan.data_carriers = std::move(data);
    plan.pilot_carriers = std::move(pilots);
    return plan;
}

TEST(CarrierGrid, ResolvesIndicesToBinsAndRoles) {
    const CarrierGrid grid = CarrierGrid::from_plan(plan_of(64, {-1, 1}, {{0, {1.0f, 0.0f}}}));
    EXPECT_EQ(grid.n_fft, 64u);
    EXPECT_EQ(grid.data_bins, (std::vector<std::size_t>{63, 1}));
    EXPECT_EQ(grid.pilots, (std::vector<GridPilot>{{0, {1.0f, 0.0f}}}));
    for (std::size_t bin = 0; bin < 64; ++bin) {
        const CarrierRole expected = bin == 0 ? CarrierRole::Pilot
                                     : (bin == 1 || bin == 63) ? CarrierRole::Data
                                                               : CarrierRole::Null;
        EXPECT_EQ(grid.roles[bin], expected) << bin;
    }
}

TEST(CarrierGrid, KeepsPlanOrderAndPlacesLowestIndexAtHalfN) {
    EXPECT_EQ(CarrierGrid::from_plan(plan_of(64, {5, -5, 2})).data_bins, (std::vector<std::size_t>{5, 59, 2}));
    EXPECT_EQ(CarrierGrid::from_plan(plan_of(64, {-32})).data_bins, (std::vector<std::size_t>{32}));
}

TEST(CarrierGrid, InvalidPlanIsAnInternalFault) {
    try {
        CarrierGrid::from_plan(plan_of(64, {32}));
        FAIL();
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "CarrierGrid::from_plan: invalid CarrierPlan: OutOfRange(32, 64)");
    }
}

struct ValidationCase {
    std::size_t n_fft;
    std::vector<std::int32_t> data;
    std::vector<std::int32_t> pilot_indices;
    std::string message;  // empty: valid
    std::string debug;
};

class CarrierPlanValidation : public testing::TestWithParam<ValidationCase> {};

TEST_P(CarrierPlanValidation, ReportsTheFirstFailure) {
    const ValidationCase& c = GetParam();
    std::vector<PilotCarrier> pilots;
    for (std::int32_t k : c.pilot_indices) pilots.push_back({k, {1.0f, 0.0f}});
    const auto result = plan_of(c.n_fft, c.data, pilots).validate();
    if (c.message.empty()) {
        EXPECT_TRUE(result.has_value());
        return;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(error_message(result.error()), c.message);
    EXPECT_EQ(debug_string(result.error()), c.debug);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CarrierPlanValidation,
    testing::Values(
        ValidationCase{64, {-32, 31}, {}, "", ""},
        ValidationCase{63, {-31, 31}, {}, "", ""},
        ValidationCase{0, {0}, {}, "", ""},
        ValidationCase{64, {32}, {},
                       "carrier index 32 is out of range for n_fft=64 (valid: -(n_fft/2)..=((n_fft-1)/2))",
                       "OutOfRange(32, 64)"},
        ValidationCase{63, {-32}, {},
                       "carrier index -32 is out of range for n_fft=63 (valid: -(n_fft/2)..=((n_fft-1)/2))",
                       "OutOfRange(-32, 63)"},
        ValidationCase{64, {3, 3}, {}, "carrier index 3 is assigned more than one role (data/pilot overlap)",
                       "Overlap(3)"},
        ValidationCase{64, {3}, {3}, "carrier index 3 is assigned more than one role (data/pilot overlap)",
                       "Overlap(3)"},
        ValidationCase{64, {1}, {7, 7}, "carrier index 7 is assigned more than one role (data/pilot overlap)",
                       "Overlap(7)"},
        // Range checks run over data and pilots before any duplicate is looked for.
        ValidationCase{64, {1, 1}, {99},
                       "carrier index 99 is out of range for n_fft=64 (valid: -(n_fft/2)..=((n_fft-1)/2))",
                       "OutOfRange(99, 64)"},
        ValidationCase{64, {}, {1, 99}, "no data carriers specified", "EmptyDataSet"}));

TEST(CarrierPlan, ContiguousSpanSkipsDcAndPilots) {
    CarrierPlan plan = plan_of(64, {});
    const std::vector<PilotCarrier> pilots{{-21, {1.0f, 0.0f}}, {7, {-1.0f, 0.0f}}};
    plan.with_pilot_carriers(pilots).with_contiguous_data(4);
    std::vector<std::int32_t> expected;
    for (std::int32_t k = -27; k <= 27; ++k) {
        if (k != 0 && k != -21 && k != 7) expected.push_back(k);
    }
    EXPECT_EQ(plan.data_carriers, expected);
    EXPECT_EQ(plan.pilot_carriers, pilots);
}

struct SpanCase {
    std::size_t n_fft;
    std::uint64_t guard;
    std::vector<std::int32_t> expected;
};

class ContiguousSpan : public testing::TestWithParam<SpanCase> {};

TEST_P(ContiguousSpan, CountsTheGuardInwardFromBothEdges) {
    CarrierPlan plan = plan_of(GetParam().n_fft, {});
    plan.with_contiguous_data(GetParam().guard);
    EXPECT_EQ(plan.data_carriers, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ContiguousSpan,
                         testing::Values(SpanCase{16, 6, {-1, 1}}, SpanCase{16, 7, {}}, SpanCase{16, 8, {}},
                                         SpanCase{8, 0, {-3, -2, -1, 1, 2, 3}}, SpanCase{7, 0, {-2, -1, 1, 2, 3}},
                                         SpanCase{0, 0, {}}, SpanCase{1, 0, {}},
                                         SpanCase{64, UINT64_MAX, {}}, SpanCase{64, 1ull << 63, {}}));

TEST(CarrierPlan, AppendsAfterExistingEntries) {
    CarrierPlan plan = plan_of(16, {5});
    const std::vector<PilotCarrier> first{{2, {1.0f, 0.0f}}};
    const std::vector<PilotCarrier> second{{-2, {0.0f, 1.0f}}};
    plan.with_pilot_carriers(first).with_pilot_carriers(second).with_contiguous_data(6);
    EXPECT_EQ(plan.data_carriers, (std::vector<std::int32_t>{5, -1, 1}));
    EXPECT_EQ(plan.pilot_carriers, (std::vector<PilotCarrier>{first[0], second[0]}));
}

}  // namespace
}  // namespace kavro
