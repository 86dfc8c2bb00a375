#include "demodulate/ofdm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "modulate/ofdm.hpp"
#include "support/test_support.hpp"
#include "sync/ofdm_sync.hpp"

namespace kavro {
namespace {

// 48 data carriers and 4 pilots in the lower 53 of 64 bins, as in IEEE 802.11a.
OfdmConfig config(std::string_view constellation) {
    std::vector<std::int32_t> data;
    for (std::int32_t k = -26; k <= 26; ++k)
        if (k != 0 && k != -21 && k != -7 && k != 7 && k != 21) data.push_back(k);
    const std::vector<std::int32_t> pilot_indices{-21, -7, 7, 21};
    const std::vector<Complex> pilot_values{{1, 0}, {1, 0}, {1, 0}, {-1, 0}};
    return *OfdmConfig::create(64, 16, std::span<const std::int32_t>(data), std::span<const std::int32_t>(pilot_indices),
                               std::span<const Complex>(pilot_values), 48000.0f, 0.0f, 1.0f, constellation, std::nullopt);
}

// A pilot on every third carrier of -27..27, data on the rest.
OfdmConfig dense_pilot_config(std::string_view constellation) {
    std::vector<std::int32_t> data, pilot_indices;
    std::vector<Complex> pilot_values;
    for (std::int32_t k = -27; k <= 27; ++k) {
        if (k == 0) continue;
        if (k % 3 == 0) {
            pilot_indices.push_back(k);
            pilot_values.push_back(k % 2 == 0 ? Complex{0.6f, 0.8f} : Complex{-1.0f, 0.0f});
        } else {
            data.push_back(k);
        }
    }
    return *OfdmConfig::create(64, 16, std::span<const std::int32_t>(data), std::span<const std::int32_t>(pilot_indices),
                               std::span<const Complex>(pilot_values), 48000.0f, 0.0f, 1.0f, constellation, std::nullopt);
}

std::vector<Complex> training_symbol(const OfdmConfig& cfg) {
    return *generate_ofdm_preamble(cfg, PreambleParams{0, 0, TrainingShape{cfg.n_fft(), cfg.cp_len()}});
}

// y[t] = Σ taps[i]·x[t - delays[i]], silence before the stream.
std::vector<Complex> multipath(const std::vector<Complex>& x, const std::vector<Complex>& taps,
                               const std::vector<std::size_t>& delays) {
    std::vector<Complex> y(x.size());
    for (std::size_t t = 0; t < x.size(); ++t)
        for (std::size_t i = 0; i < taps.size(); ++i)
            if (t >= delays[i]) y[t] = y[t] + x[t - delays[i]] * taps[i];
    return y;
}

enum class Channel { Ideal, IdealAfterEstimate, MultipathAfterEstimate, FlatWithDensePilots };

struct RoundTrip {
    const char* constellation;
    Channel channel;
};

class OfdmRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(OfdmRoundTrip, ReturnsTheBitsExactly) {
    const RoundTrip p = GetParam();
    const bool pilots = p.channel == Channel::FlatWithDensePilots;
    const OfdmConfig cfg = pilots ? dense_pilot_config(p.constellation) : config(p.constellation);
    OfdmMod mod = *OfdmMod::create(cfg);
    OfdmDemod demod = *OfdmDemod::create(cfg, pilots ? "pilot_interp" : "training_symbol");

    constexpr std::size_t symbols = 6;
    const std::size_t b = cfg.bits_per_ofdm_symbol();
    const std::size_t s = cfg.samples_per_ofdm_symbol();
    const std::vector<std::uint8_t> bits = test::random_bits(symbols * b, static_cast<unsigned>(b) + 3);
    std::vector<Complex> stream = training_symbol(cfg);
    const std::vector<Complex> data = mod.modulate(bits);
    stream.insert(stream.end(), data.begin(), data.end());

    const Complex turn{0.8f * std::cos(2.1f), 0.8f * std::sin(2.1f)};
    if (p.channel == Channel::MultipathAfterEstimate)
        stream = multipath(stream, {turn, turn * Complex{0.4f, -0.2f}, turn * Complex{0.0f, 0.15f}}, {0, 3, 7});
    if (pilots)
        for (Complex& x : stream) x = x * turn;
    if (p.channel != Channel::Ideal) {
        ASSERT_TRUE(demod.estimate_channel(std::span(stream).first(s)).has_value());
    }

    for (std::size_t m = 0; m < symbols; ++m) {
        const auto got = demod.demodulate(std::span(stream).subspan((m + 1) * s, s));
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(*got, std::vector<std::uint8_t>(bits.begin() + static_cast<std::ptrdiff_t>(m * b),
                                                  bits.begin() + static_cast<std::ptrdiff_t>((m + 1) * b)))
            << "symbol " << m;
    }
}

std::vector<RoundTrip> round_trips() {
    std::vector<RoundTrip> all;
    for (const char* c : {"bpsk", "qpsk", "qam16", "qam64", "qam256"})
        for (Channel ch : {Channel::Ideal, Channel::IdealAfterEstimate, Channel::MultipathAfterEstimate,
                           Channel::FlatWithDensePilots})
            all.push_back({c, ch});
    return all;
}

INSTANTIATE_TEST_SUITE_P(AllConstellations, OfdmRoundTrip, testing::ValuesIn(round_trips()));

class HardDecisions : public testing::TestWithParam<ConstellationOrder> {};

TEST_P(HardDecisions, MatchTheThresholdSlicer) {
    const ConstellationOrder order = GetParam();
    std::vector<float> axis{0.0f, -0.0f, NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 1e-40f, 2.0f, -2.0f};
    for (unsigned q = 0; q < 3; ++q) {
        const QamThresholds t(static_cast<QamOrder>(q));
        for (float v : t.thresholds) axis.insert(axis.end(), {v, std::nextafter(v, 2.0f), std::nextafter(v, -2.0f)});
    }
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> u(-1.5f, 1.5f);
    while (axis.size() < 20000) axis.push_back(u(rng));
    std::vector<Complex> cells;
    for (std::size_t i = 0; i < axis.size(); ++i) cells.push_back({axis[i], axis[(i * 7 + 3) % axis.size()]});

    const std::size_t k = bits_per_cell(order);
    std::vector<std::uint8_t> want(cells.size() * k), got(cells.size() * k);
    slice_cells(order, cells, want);
    hard_decide_cells(order, cells, got);
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(AllOrders, HardDecisions,
                         testing::Values(ConstellationOrder::Bpsk, ConstellationOrder::Qpsk, ConstellationOrder::Qam16,
                                         ConstellationOrder::Qam64, ConstellationOrder::Qam256));

TEST(OfdmDemodAwgn, QpskBitErrorRateFollowsTheory) {
    const OfdmConfig cfg = config("qpsk");
    OfdmMod mod = *OfdmMod::create(cfg);
    OfdmDemod demod = *OfdmDemod::create(cfg, std::nullopt);
    const std::size_t b = cfg.bits_per_ofdm_symbol();
    const std::size_t s = cfg.samples_per_ofdm_symbol();
    const std::size_t symbols = 1000000 / b + 1;
    const std::vector<std::uint8_t> bits = test::random_bits(symbols * b, 77);
    std::vector<Complex> rx = mod.modulate(bits);
    test::add_noise(rx, test::per_carrier_noise_variance(10.0, 64), 78);

    std::size_t errors = 0;
    for (std::size_t m = 0; m < symbols; ++m) {
        const std::vector<std::uint8_t> got = *demod.demodulate(std::span(rx).subspan(m * s, s));
        for (std::size_t i = 0; i < b; ++i) errors += got[i] != bits[m * b + i];
    }
    const double ber = static_cast<double>(errors) / static_cast<double>(symbols * b);
    const double theory = 0.5 * std::erfc(std::sqrt(10.0) / std::sqrt(2.0));
    EXPECT_NEAR(ber / theory, 1.0, 0.15) << "ber " << ber << " theory " << theory;
}

class OfdmDemodEvm : public testing::TestWithParam<const char*> {};

TEST_P(OfdmDemodEvm, MatchesTheNoiseLevel) {
    const OfdmConfig cfg = config(GetParam());
    OfdmMod mod = *OfdmMod::create(cfg);
    OfdmDemod demod = *OfdmDemod::create(cfg, std::nullopt);
    const std::size_t s = cfg.samples_per_ofdm_symbol();
    constexpr std::size_t symbols = 300;
    std::vector<Complex> stream = training_symbol(cfg);
    const std::vector<Complex> data = mod.modulate(test::random_bits(symbols * cfg.bits_per_ofdm_symbol(), 5));
    stream.insert(stream.end(), data.begin(), data.end());
    ASSERT_TRUE(demod.estimate_channel(std::span(stream).first(s)).has_value());  // noiseless estimate
    test::add_noise(stream, test::per_carrier_noise_variance(25.0, 64), 6);

    std::vector<Complex> cells;
    std::vector<std::uint8_t> bits;
    for (std::size_t m = 1; m <= symbols; ++m) {
        auto [c, b] = *demod.demodulate_soft(std::span(stream).subspan(m * s, s));
        cells.insert(cells.end(), c.begin(), c.end());
        bits.insert(bits.end(), b.begin(), b.end());
    }
    const OfdmRxFrame frame = build_ofdm_rx_frame(cfg, cells, bits);
    EXPECT_EQ(frame.num_symbols(), symbols);
    ASSERT_TRUE(frame.evm_db().has_value());
    EXPECT_NEAR(*frame.evm_db(), -25.0f, 0.3f);
}

INSTANTIATE_TEST_SUITE_P(Constellations, OfdmDemodEvm, testing::Values("qpsk", "qam16"));

TEST(OfdmDemod, RejectsUnknownEqualizerKeywords) {
    const OfdmConfig cfg = config("qpsk");
    const auto bad = OfdmDemod::create(cfg, "Pilot_Interp");
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(error_message(bad.error()),
              "OfdmDemod: unknown equalizer \"Pilot_Interp\" (expected 'training_symbol' or 'pilot_interp')");
    EXPECT_EQ(error_message(OfdmDemod::create(cfg, "a\"b\n").error()),
              "OfdmDemod: unknown equalizer \"a\\\"b\\n\" (expected 'training_symbol' or 'pilot_interp')");
    EXPECT_EQ(OfdmDemod::create(cfg, std::nullopt)->equalizer_mode(), EqualizerMode::TrainingSymbol);
    EXPECT_EQ(OfdmDemod::create(cfg, "pilot_interp")->equalizer_mode(), EqualizerMode::PilotInterp);
}

class OfdmDemodShortInput : public testing::TestWithParam<const char*> {};

TEST_P(OfdmDemodShortInput, NamesTheLengthsAndLeavesTheEqualizer) {
    const OfdmConfig cfg = config("qpsk");
    OfdmDemod demod = *OfdmDemod::create(cfg, GetParam());
    const std::vector<Complex> short_iq(79, {0.5f, 0.5f});
    EXPECT_EQ(error_message(demod.demodulate(short_iq).error()), "OfdmDemod.demodulate: input too short (79 < 80)");
    EXPECT_EQ(error_message(demod.demodulate_soft(short_iq).error()), "OfdmDemod.demodulate: input too short (79 < 80)");
    EXPECT_EQ(error_message(demod.estimate_channel(short_iq).error()),
              "OfdmDemod.estimate_channel: input too short (79 < 80)");

    // Three symbols in: the first symbol's bits out, whatever the equaliser was given.
    OfdmMod mod = *OfdmMod::create(cfg);
    const std::vector<std::uint8_t> bits = test::random_bits(3 * cfg.bits_per_ofdm_symbol(), 9);
    const std::vector<Complex> iq = mod.modulate(bits);
    const auto got = demod.demodulate(iq);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, std::vector<std::uint8_t>(bits.begin(), bits.begin() + 96));
}

INSTANTIATE_TEST_SUITE_P(BothEqualizers, OfdmDemodShortInput, testing::Values("training_symbol", "pilot_interp"));

TEST(OfdmDemod, EstimateChannelIsANoOpForThePilotEqualizer) {
    const OfdmConfig cfg = config("qam16");
    OfdmDemod fresh = *OfdmDemod::create(cfg, "pilot_interp");
    OfdmDemod estimated = *OfdmDemod::create(cfg, "pilot_interp");
    const std::vector<Complex> garbage(80, {3.0f, -1.0f});
    EXPECT_TRUE(estimated.estimate_channel(garbage).has_value());

    OfdmMod mod = *OfdmMod::create(cfg);
    const std::vector<Complex> iq = mod.modulate(test::random_bits(cfg.bits_per_ofdm_symbol(), 4));
    EXPECT_EQ(fresh.demodulate_soft(iq)->first, estimated.demodulate_soft(iq)->first);
}

TEST(BuildOfdmRxFrame, CountsSymbolsAndLeavesAcquisitionFieldsEmpty) {
    const OfdmConfig cfg = config("bpsk");
    const std::vector<Complex> cells(96, {1, 0});
    const std::vector<std::uint8_t> bits(96, 0);
    const OfdmRxFrame two = build_ofdm_rx_frame(cfg, cells, bits);
    EXPECT_EQ(two.num_symbols(), 2u);
    EXPECT_EQ(two.bits(), bits);
    EXPECT_EQ(two.evm_db(), -std::numeric_limits<float>::infinity());
    EXPECT_FALSE(two.cfo_hz().has_value());
    EXPECT_FALSE(two.timing_offset_samples().has_value());
    EXPECT_FALSE(two.channel_mse().has_value());

    const OfdmRxFrame short_frame = build_ofdm_rx_frame(cfg, std::span(cells).first(47), bits);
    EXPECT_EQ(short_frame.num_symbols(), 0u);
    EXPECT_FALSE(short_frame.evm_db().has_value());
    EXPECT_FALSE(build_ofdm_rx_frame(cfg, cells, std::span(bits).first(95)).evm_db().has_value());
}

}  // namespace
}  // namespace kavro
