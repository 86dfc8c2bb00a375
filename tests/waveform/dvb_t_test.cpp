#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/internal_fault.hpp"
#include "waveform/dvb_t.hpp"

namespace {

using kavro::Complex;
using kavro::InternalFault;
namespace w = kavro::waveform;

constexpr int kCarriers = 1705;

// The reference bits as the generator is usually stated: eleven ones, then each bit the XOR of
// the bits two and eleven places before it.
std::vector<std::uint8_t> reference_bits() {
    std::vector<std::uint8_t> bits(kCarriers, 1);
    for (int k = 11; k < kCarriers; ++k) bits[k] = bits[k - 2] ^ bits[k - 11];
    return bits;
}

const std::set<int> kContinual{0,    48,   54,   87,   141,  156,  192,  201,  255,  279,  282,  333,  432,  450,  483,
                               525,  531,  618,  636,  714,  759,  765,  780,  804,  873,  888,  918,  939,  942,  969,
                               984,  1050, 1101, 1107, 1110, 1137, 1140, 1146, 1206, 1269, 1323, 1377, 1491, 1683, 1704};
const std::set<int> kTps{34, 50, 209, 346, 413, 569, 595, 688, 790, 901, 1073, 1219, 1262, 1286, 1469, 1594, 1687};

bool is_pilot(int k, int phase) { return kContinual.count(k) || kTps.count(k) || k % 12 == 3 * phase; }

std::size_t bin_of(int k) { return static_cast<std::size_t>((k - 852 + 2048) % 2048); }

float pilot_value(std::uint8_t wk) { return wk ? -1.3333334f : 1.3333334f; }

TEST(DvbTPilotReference, MatchesTheGeneratorAndItsPrintedStart) {
    const auto w_k = w::wk_prbs();
    ASSERT_EQ(w_k.size(), 1705u);
    std::string start;
    for (int k = 0; k < 40; ++k) start += static_cast<char>('0' + w_k[k]);
    EXPECT_EQ(start, "1111111111" "1001100110" "0101101001" "0111000101");
    EXPECT_EQ(w_k[48], 0);
    EXPECT_EQ(w_k, reference_bits());
}

class DvbTPlanPhase : public ::testing::TestWithParam<int> {};

TEST_P(DvbTPlanPhase, CarriesTheStandardLayout) {
    const int phase = GetParam();
    const auto bits = reference_bits();
    const auto plan = w::dvb_t_2k_plans(2)[phase];
    EXPECT_TRUE(plan.validate().has_value());
    EXPECT_EQ(plan.n_fft, 2048u);
    EXPECT_EQ(plan.cp_len, 256u);
    EXPECT_EQ(plan.roll_off, 0u);

    std::vector<std::int32_t> data;
    std::vector<std::int32_t> pilots;
    for (int k = 0; k < kCarriers; ++k) (is_pilot(k, phase) ? pilots : data).push_back(k - 852);
    EXPECT_EQ(plan.data_carriers, data);
    ASSERT_EQ(plan.pilot_carriers.size(), pilots.size());
    EXPECT_EQ(data.size(), 1512u);
    EXPECT_EQ(pilots.size(), 193u);
    for (std::size_t i = 0; i < pilots.size(); ++i) {
        EXPECT_EQ(plan.pilot_carriers[i].index, pilots[i]);
        EXPECT_EQ(plan.pilot_carriers[i].value, (Complex{pilot_value(bits[pilots[i] + 852]), 0.0f}));
    }

    int scattered = 0, shared = 0;
    for (const auto& pilot : plan.pilot_carriers) {
        const int k = pilot.index + 852;
        if (k % 12 == 3 * phase) {
            ++scattered;
            shared += static_cast<int>(kContinual.count(k));
        }
    }
    EXPECT_EQ(scattered, phase == 0 ? 143 : 142);
    EXPECT_EQ(shared, phase == 0 ? 12 : 11);

    const bool dc_is_pilot = std::any_of(plan.pilot_carriers.begin(), plan.pilot_carriers.end(),
                                         [](const auto& p) { return p.index == 0; });
    EXPECT_EQ(dc_is_pilot, phase == 0);
}

INSTANTIATE_TEST_SUITE_P(Phases, DvbTPlanPhase, ::testing::Values(0, 1, 2, 3));

TEST(DvbTPlans, PrefixFollowsTheGuardAndEdgePilotsTheirReferenceBits) {
    const std::array<std::size_t, 4> cp{64, 128, 256, 512};
    for (std::uint8_t g = 0; g < 4; ++g) {
        for (const auto& plan : w::dvb_t_2k_plans(g)) EXPECT_EQ(plan.cp_len, cp[g]);
        EXPECT_EQ(w::dvb_t_guard_cp_len(g), cp[g]);
    }
    const auto plan = w::dvb_t_2k_plans(0)[1];
    EXPECT_EQ(plan.pilot_carriers.front().index, -852);
    EXPECT_EQ(plan.pilot_carriers.front().value, (Complex{-1.3333334f, 0.0f}));
    const auto carrier_48 = std::find_if(plan.pilot_carriers.begin(), plan.pilot_carriers.end(),
                                         [](const auto& p) { return p.index == 48 - 852; });
    ASSERT_NE(carrier_48, plan.pilot_carriers.end());
    EXPECT_EQ(carrier_48->value, (Complex{1.3333334f, 0.0f}));
}

TEST(ScatteredGridCycle, PilotsWithoutTpsKeepGridOrderAndDropOnlyTheTpsBins) {
    const w::ScatteredGridCycle cycle(0);
    EXPECT_EQ(cycle.phase, 0u);
    const std::array<std::size_t, 17> tps_bins{1230, 1246, 1405, 1542, 1609, 1765, 1791, 1884, 1986,
                                               49,   221,  367,  410,  434,  617,  742,  835};
    EXPECT_EQ(w::dvb_t_tps_bins, tps_bins);
    for (std::size_t p = 0; p < 4; ++p) {
        std::vector<kavro::GridPilot> expected;
        for (const auto& pilot : cycle.grids[p].pilots)
            if (std::find(tps_bins.begin(), tps_bins.end(), pilot.bin) == tps_bins.end()) expected.push_back(pilot);
        EXPECT_EQ(cycle.pilots_without_tps[p].size(), 176u);
        EXPECT_EQ(cycle.pilots_without_tps[p], expected);
        EXPECT_EQ(cycle.grids[p].pilots.size(), 193u);
    }
}

TEST(ScatteredPilotMapper, WalksThePhasesAndPlacesCellsInCarrierOrder) {
    const auto bits = reference_bits();
    w::ScatteredPilotMapper mapper(3);
    std::vector<Complex> cells(1512);
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = {static_cast<float>(i + 1), -static_cast<float>(i)};
    std::vector<Complex> out(2048, Complex{9.0f, 9.0f});

    for (int call = 0; call < 5; ++call) {
        const int phase = call % 4;
        EXPECT_EQ(mapper.phase(), static_cast<std::size_t>(phase));
        mapper.map_symbol(cells, out);
        std::size_t cell = 0;
        for (int k = 0; k < kCarriers; ++k) {
            const Complex value = out[bin_of(k)];
            if (is_pilot(k, phase)) {
                EXPECT_EQ(value, (Complex{pilot_value(bits[k]), 0.0f})) << "carrier " << k << " phase " << phase;
            } else {
                EXPECT_EQ(value, cells[cell]) << "carrier " << k << " phase " << phase;
                ++cell;
            }
        }
        EXPECT_EQ(cell, 1512u);
        for (std::size_t bin = 853; bin <= 1195; ++bin) EXPECT_EQ(out[bin], Complex{}) << "bin " << bin;
    }
    EXPECT_EQ(mapper.phase(), 1u);
}

TEST(ScatteredPilotMapper, WrongBufferSizesAreAnInternalFault) {
    w::ScatteredPilotMapper mapper(0);
    std::vector<Complex> cells(1512), out(2048);
    std::vector<Complex> short_cells(1511), long_out(2049);
    EXPECT_THROW(mapper.map_symbol(short_cells, out), InternalFault);
    EXPECT_THROW(mapper.map_symbol(cells, long_out), InternalFault);
    EXPECT_EQ(mapper.phase(), 0u);
}

}  // namespace
