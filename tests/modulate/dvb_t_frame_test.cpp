#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "modulate/dvb_t_frame.hpp"
#include "modulate/dvb_t_super_frame.hpp"
#include "fec/chain/tx_chain.hpp"
#include "multicarrier/fft_block.hpp"
#include "support/test_support.hpp"
#include "waveform/dvb_t.hpp"
#include "waveform/dvb_t_ts.hpp"

namespace {

using kavro::Complex;
using kavro::ConstellationOrder;
using kavro::DvbTFrameMod;
namespace w = kavro::waveform;

// Axis levels by index bits, as the standard's mapping figure reads (before scaling).
const std::vector<int> kQpskLevels{1, -1};
const std::vector<int> kQam16Levels{3, 1, -3, -1};
const std::vector<int> kQam64Levels{7, 5, 1, 3, -7, -5, -1, -3};

struct Mapping {
    ConstellationOrder order;
    unsigned bits;
    const std::vector<int>* levels;
    double scale;
};

const std::array<Mapping, 3> kMappings{{
    {ConstellationOrder::Qpsk, 2, &kQpskLevels, 1.0 / std::sqrt(2.0)},
    {ConstellationOrder::Qam16, 4, &kQam16Levels, 1.0 / std::sqrt(10.0)},
    {ConstellationOrder::Qam64, 6, &kQam64Levels, 1.0 / std::sqrt(42.0)},
}};

class DvbTCellMapping : public ::testing::TestWithParam<Mapping> {};

TEST_P(DvbTCellMapping, InterleavesAxisBitsAndUsesTheDvbTLevelOrder) {
    const Mapping m = GetParam();
    const unsigned cells = 1u << m.bits;
    std::vector<std::uint8_t> bits;
    for (unsigned v = 0; v < cells; ++v)
        for (unsigned b = 0; b < m.bits; ++b) bits.push_back(static_cast<std::uint8_t>((v >> (m.bits - 1 - b)) & 1u));
    std::vector<Complex> out(cells);
    kavro::map_dvb_t_cells(m.order, bits, out);
    const auto scale = static_cast<float>(m.scale);
    for (unsigned v = 0; v < cells; ++v) {
        unsigned i = 0, q = 0;  // y0 y2 y4 and y1 y3 y5
        for (unsigned b = 0; b < m.bits; ++b) {
            const unsigned bit = (v >> (m.bits - 1 - b)) & 1u;
            (b % 2 == 0 ? i : q) = ((b % 2 == 0 ? i : q) << 1) | bit;
        }
        EXPECT_EQ(out[v].re, static_cast<float>((*m.levels)[i]) * scale) << v;
        EXPECT_EQ(out[v].im, static_cast<float>((*m.levels)[q]) * scale) << v;
    }
}

INSTANTIATE_TEST_SUITE_P(Constellations, DvbTCellMapping, ::testing::ValuesIn(kMappings));

// Nearest level index of one axis value.
unsigned slice(float v, const Mapping& m) {
    unsigned best = 0;
    double best_distance = INFINITY;
    for (unsigned i = 0; i < m.levels->size(); ++i) {
        const double d = std::abs(v - (*m.levels)[i] * m.scale);
        if (d < best_distance) best_distance = d, best = i;
    }
    return best;
}

struct RoundTripCase {
    Mapping mapping;
    const char* constellation;
    const char* rate;
    const char* guard;
    std::size_t payload;
};

class DvbTFrameRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// The data cells of every symbol, hard-decided, are the chain's coded bits followed by the copy
// of their start that fills the capacity.
TEST_P(DvbTFrameRoundTrip, DataCellsCarryTheCodedBitsThenTheFillCopy) {
    const RoundTripCase c = GetParam();
    const auto params = *w::DvbTFrameParams::create(c.guard, c.constellation, c.rate, 1, 0x5A);
    const auto payload = kavro::test::random_bytes(c.payload, 7);
    const kavro::DvbTFrame frame = DvbTFrameMod(params).modulate(payload);

    kavro::fec::CodecCache cache;
    const auto chain = w::dvb_t_chain_settings(params);
    auto stream = w::ts_packetize(payload);
    const auto plan = w::dvb_t_frame_fill_with(params, stream.size() / 188, frame.n_symbols, cache);
    w::append_null_packets(stream, plan.packets - stream.size() / 188);
    w::ts_energy_disperse(stream);
    const auto coded = kavro::fec::encode_chain_stages(stream, chain, 0, cache).coded;
    ASSERT_EQ(coded.size(), plan.coded_bits);
    ASSERT_EQ(plan.capacity_bits, frame.n_symbols * 1512 * c.mapping.bits);
    std::vector<std::uint8_t> expected = coded;
    expected.insert(expected.end(), coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(plan.capacity_bits - coded.size()));

    const w::ScatteredGridCycle cycle(params.guard);
    kavro::FftBlock fft(2048);
    std::vector<Complex> bins(2048);
    std::vector<std::uint8_t> received;
    const std::size_t half = c.mapping.bits / 2;
    for (std::size_t l = 0; l < frame.n_symbols; ++l) {
        const auto symbol = std::span(frame.iq).subspan(l * frame.samples_per_symbol + params.cp_len(), 2048);
        ASSERT_EQ(fft.process(symbol, bins), 2048u);
        for (const std::size_t bin : cycle.grids[l % 4].data_bins) {
            const unsigned i = slice(bins[bin].re, c.mapping);
            const unsigned q = slice(bins[bin].im, c.mapping);
            for (std::size_t b = 0; b < half; ++b) {
                received.push_back(static_cast<std::uint8_t>((i >> (half - 1 - b)) & 1u));
                received.push_back(static_cast<std::uint8_t>((q >> (half - 1 - b)) & 1u));
            }
        }
    }
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_EQ(received, expected);
}

INSTANTIATE_TEST_SUITE_P(Frames, DvbTFrameRoundTrip,
                         ::testing::Values(RoundTripCase{kMappings[0], "qpsk", "1/2", "1/32", 1},
                                           RoundTripCase{kMappings[1], "qam16", "3/4", "1/8", 5000},
                                           RoundTripCase{kMappings[2], "qam64", "7/8", "1/4", 12000},
                                           RoundTripCase{kMappings[0], "qpsk", "2/3", "1/16", 30000}));

struct CutoffCase {
    bool super_frame;
    std::size_t num_taps;
    float stopband_db;
    float cutoff;
    float tolerance;  // 0: exact
};

std::optional<kavro::TxLowpass> stored_lowpass(const CutoffCase& c) {
    if (c.super_frame) {
        const auto params = *kavro::waveform::DvbTSuperFrameParams::create("1/8", "qpsk", "1/2");
        const kavro::DvbTSuperFrameMod source(params);
        const auto built = source.with_tx_lowpass(c.num_taps, c.stopband_db);
        EXPECT_FALSE(source.tx_lowpass().has_value());
        return built ? built->tx_lowpass() : std::nullopt;
    }
    const auto params = *w::DvbTFrameParams::create("1/8", "qpsk", "1/2");
    const DvbTFrameMod source(params);
    const auto built = source.with_tx_lowpass(c.num_taps, c.stopband_db);
    EXPECT_FALSE(source.tx_lowpass().has_value());
    return built ? built->tx_lowpass() : std::nullopt;
}

class DvbTTxLowpass : public ::testing::TestWithParam<CutoffCase> {};

TEST_P(DvbTTxLowpass, StoresTheCutoffAgainstTheFixedBandEdge) {
    const CutoffCase c = GetParam();
    const auto lowpass = stored_lowpass(c);
    ASSERT_TRUE(lowpass.has_value());
    if (c.tolerance == 0.0f) EXPECT_EQ(lowpass->cutoff, c.cutoff);
    else EXPECT_NEAR(lowpass->cutoff, c.cutoff, c.tolerance);
    EXPECT_EQ(lowpass->num_taps, c.num_taps);
    EXPECT_EQ(lowpass->stopband_db, c.stopband_db);
}

constexpr float kMidway = 938.0f / 2048.0f;

INSTANTIATE_TEST_SUITE_P(
    Cutoffs, DvbTTxLowpass,
    ::testing::Values(CutoffCase{false, 45, 60.0f, 0.45625085f, 0}, CutoffCase{false, 63, 60.0f, 0.44475508f, 0},
                      CutoffCase{false, 3, 60.0f, kMidway, 0}, CutoffCase{false, 11, 60.0f, kMidway, 0},
                      CutoffCase{false, 5, 60.0f, kMidway, 0}, CutoffCase{false, 45, 10.0f, 0.41601563f + 13.0f / (45 * 14.36f) * 0.5f, 2e-7f},
                      CutoffCase{true, 45, 60.0f, 0.45625085f, 0}, CutoffCase{true, 63, 60.0f, 0.44475508f, 0},
                      CutoffCase{true, 3, 60.0f, kMidway, 0}, CutoffCase{true, 101, 60.0f, 0.4339422f, 5e-8f}));

}  // namespace
