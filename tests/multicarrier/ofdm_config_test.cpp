#include "multicarrier/ofdm_config.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kavro {
namespace {

using Ints = std::vector<std::int32_t>;
using Cells = std::vector<Complex>;

std::expected<OfdmConfig, OfdmConfigError> make(std::size_t n_fft, std::size_t cp_len, const Ints& data,
                                                 const Ints& pilot_indices, const Cells& pilot_values,
                                                 std::string_view constellation = "qpsk",
                                                 std::optional<std::size_t> edge_guard = std::nullopt) {
    return OfdmConfig::create(n_fft, cp_len, std::span(data), std::span(pilot_indices), std::span(pilot_values),
                              48000.0f, 0.0f, 1.0f, constellation, edge_guard);
}

OfdmConfig guard4() { return *make(64, 16, {}, {}, {}, "qpsk", 4); }

template <class T>
std::string failure(const std::expected<T, OfdmConfigError>& result) {
    return result ? std::string("<accepted>") : error_message(result.error());
}

TEST(OfdmConfig, EdgeGuardBuildsTheContiguousSpan) {
    const OfdmConfig cfg = guard4();
    EXPECT_EQ(cfg.plan().data_carriers.size(), 54u);
    EXPECT_EQ(cfg.plan().data_carriers.front(), -27);
    EXPECT_EQ(cfg.plan().data_carriers.back(), 27);
    EXPECT_EQ(cfg.bits_per_ofdm_symbol(), 108u);
    EXPECT_EQ(cfg.samples_per_ofdm_symbol(), 80u);
    EXPECT_EQ(cfg.occupied_half_carriers(), 27u);
    EXPECT_EQ(cfg.plan().roll_off, 0u);
}

TEST(OfdmConfig, PropertiesCountPilotsAndConstellation) {
    const auto cfg = make(64, 0, {1, 2, 3}, {-30}, {{1, 0}}, "qam64");
    ASSERT_TRUE(cfg.has_value());
    EXPECT_EQ(cfg->occupied_half_carriers(), 30u);
    EXPECT_EQ(cfg->bits_per_ofdm_symbol(), 18u);
    EXPECT_EQ(cfg->plan().pilot_carriers, (std::vector<PilotCarrier>{{-30, {1, 0}}}));
    const auto huge_cp = make(64, std::numeric_limits<std::size_t>::max(), {1}, {}, {});
    EXPECT_EQ(huge_cp->samples_per_ofdm_symbol(), std::numeric_limits<std::size_t>::max());
}

TEST(OfdmConfig, ConstructionFailuresInOrder) {
    const Ints none;
    const Cells no_values;
    const Ints data{1};
    const Ints two_pilots{1, 2};
    const Cells one_value{{1, 0}};
    auto create = [](std::size_t n_fft, ArrayArg<std::int32_t> d, ArrayArg<std::int32_t> pi, ArrayArg<Complex> pv,
                     std::string_view c, std::optional<std::size_t> guard = std::nullopt) {
        return OfdmConfig::create(n_fft, 16, d, pi, pv, 1.0f, 0.0f, 1.0f, c, guard);
    };
    const auto bad = ArrayArg<std::int32_t>::not_contiguous();
    const auto bad_values = ArrayArg<Complex>::not_contiguous();

    // Pilot arrays are checked for contiguity before their lengths, lengths before the keyword.
    const auto pilots_strided = create(64, std::span(data), bad, std::span(one_value), "qpsk");
    EXPECT_TRUE(is_type_error(pilots_strided.error()));
    EXPECT_EQ(failure(pilots_strided), "The given array is not contiguous or is misaligned.");
    EXPECT_TRUE(is_type_error(create(64, std::span(data), std::span(none), bad_values, "nope").error()));
    EXPECT_EQ(failure(create(64, bad, std::span(two_pilots), std::span(one_value), "QPSK")),
              "OfdmConfig: pilot_carrier_indices (2) and pilot_carrier_values (1) must have the same length");
    // The keyword before the data array, the data array before the edge guard.
    EXPECT_EQ(failure(create(64, bad, std::span(none), std::span(no_values), "qam32")),
              "OfdmConfig: unknown constellation \"qam32\" (expected one of: bpsk, qpsk, qam16, qam64, qam256)");
    EXPECT_TRUE(is_type_error(create(64, bad, std::span(none), std::span(no_values), "qpsk", 4).error()));
    EXPECT_EQ(failure(create(64, std::span(data), std::span(none), std::span(no_values), "qpsk", 4)),
              "OfdmConfig: pass an empty data_carriers array when edge_guard is set (the contiguous span is "
              "generated automatically)");
    EXPECT_FALSE(is_type_error(create(64, std::span(data), std::span(none), std::span(no_values), "qpsk", 4).error()));
    // Size before the plan, the plan before n_fft = 0.
    EXPECT_EQ(failure(create((1u << 24) + 1, std::span(data), std::span(none), std::span(no_values), "qpsk")),
              "OfdmConfig: n_fft 16777217 is too large (max 16777216)");
    EXPECT_EQ(failure(create(0, std::span(data), std::span(none), std::span(no_values), "qpsk")),
              "carrier index 1 is out of range for n_fft=0 (valid: -(n_fft/2)..=((n_fft-1)/2))");
    const Ints dc{0};
    EXPECT_EQ(failure(create(0, std::span(dc), std::span(none), std::span(no_values), "qpsk")),
              "OfdmConfig: n_fft must be at least 1");
    EXPECT_EQ(failure(create(0, std::span(none), std::span(none), std::span(no_values), "qpsk", 0)),
              "no data carriers specified");
}

TEST(OfdmConfig, PlanFailuresCarryTheirMessages) {
    EXPECT_EQ(failure(make(64, 16, {}, {}, {}, "qpsk", 40)), "no data carriers specified");
    EXPECT_EQ(failure(make(64, 16, {}, {}, {}, "qpsk", std::numeric_limits<std::size_t>::max())),
              "no data carriers specified");
    EXPECT_EQ(failure(make(64, 16, {3}, {3}, {{1, 0}})),
              "carrier index 3 is assigned more than one role (data/pilot overlap)");
    EXPECT_EQ(failure(make(64, 16, {40}, {}, {})),
              "carrier index 40 is out of range for n_fft=64 (valid: -(n_fft/2)..=((n_fft-1)/2))");
    EXPECT_TRUE(make(1u << 24, 16, {5}, {}, {}).has_value());
}

TEST(OfdmConfig, FromPlanChecksLikeTheConstructor) {
    CarrierPlan plan = guard4().plan();
    plan.roll_off = 4;
    const auto cfg = OfdmConfig::from_plan(plan, 1.0f, 0.0f, 1.0f, ConstellationOrder::Bpsk);
    ASSERT_TRUE(cfg.has_value());
    EXPECT_EQ(cfg->plan(), plan);
    EXPECT_EQ(cfg->bits_per_ofdm_symbol(), 54u);
    plan.data_carriers.clear();
    EXPECT_EQ(failure(OfdmConfig::from_plan(plan, 1.0f, 0.0f, 1.0f, ConstellationOrder::Bpsk)),
              "no data carriers specified");
}

TEST(OfdmConfig, BuildersLeaveTheirSourceUnchanged) {
    const OfdmConfig original = guard4();
    const OfdmConfig before = original;
    const auto crc = original.with_payload_crc("crc16");
    ASSERT_TRUE(crc.has_value());
    EXPECT_EQ(crc->chain_settings().crc, fec::CrcKind::Crc16);
    EXPECT_EQ(original.with_symbol_window(8).plan().roll_off, 8u);
    EXPECT_EQ(original.with_rx_window_backoff(5).rx_window_backoff(), 5u);
    EXPECT_TRUE(original.with_tx_lowpass(31).has_value());
    EXPECT_FALSE(original.with_header_crc("crc8").has_value());
    EXPECT_EQ(original, before);
    EXPECT_EQ(original.chain_settings().crc, fec::CrcKind::Crc32);
    EXPECT_EQ(original.header_crc(), fec::CrcKind::Crc16);
    EXPECT_FALSE(original.tx_lowpass().has_value());
}

TEST(OfdmConfig, CodingBuildersSetTheirField) {
    const OfdmConfig cfg = guard4();
    EXPECT_EQ(cfg.with_inner_fec("dvb_t", "3/4")->chain_settings().inner, fec::InnerFec::conv_k7(fec::PunctureRate::R34));
    EXPECT_EQ(cfg.with_outer_fec("rs", 255)->chain_settings().outer, fec::OuterFec::reed_solomon(255, 0));
    EXPECT_EQ(cfg.with_header_format("no_header")->header_format(), fec::HeaderFormat::NoHeader);
    EXPECT_EQ(cfg.with_ldpc_decode_rule("scaled_min_sum")->chain_settings().ldpc_rule.scale, 0.75f);

    const auto lfsr = cfg.with_scrambler(0x48, 7, 5, false, "after_inner");
    EXPECT_EQ(lfsr->chain_settings().scrambler, fec::ScramblerKind::lfsr(0x48, 7, fec::ScramblerSeed::fixed(5)));
    EXPECT_EQ(lfsr->chain_settings().position, fec::ScramblerPosition::AfterInner);
    EXPECT_EQ(cfg.with_scrambler(0x48, 7, 5, true)->chain_settings().scrambler.seed, fec::ScramblerSeed::per_frame());
    const auto off = lfsr->with_scrambler(0, 7, 1, false, "after_inner");
    EXPECT_EQ(off->chain_settings().scrambler, fec::ScramblerKind::none());
    EXPECT_EQ(off->chain_settings().position, fec::ScramblerPosition::AfterInner);
    EXPECT_EQ(failure(cfg.with_scrambler(0, 0, 1, false, "middle")),
              "with_scrambler: unknown position \"middle\" (expected before_outer|after_inner)");
    const auto dvb = lfsr->with_dvb_t_scrambler();
    EXPECT_EQ(dvb.chain_settings().scrambler, fec::ScramblerKind::dvb_t());
    EXPECT_EQ(dvb.chain_settings().position, fec::ScramblerPosition::BeforeOuter);

    const auto both = cfg.with_interleaver("outer", 4, 8)->with_conv_interleaver("inner");
    EXPECT_EQ(both->chain_settings().outer_interleaver, fec::InterleaverKind::block(4, 8));
    EXPECT_EQ(both->chain_settings().inner_interleaver, fec::InterleaverKind::convolutional(12, 17));
    EXPECT_EQ(both->with_conv_interleaver("outer", 12, 0)->chain_settings().outer_interleaver, fec::InterleaverKind::none());
    EXPECT_EQ(both->with_interleaver("inner", 0, 8)->chain_settings().inner_interleaver, fec::InterleaverKind::none());
    EXPECT_EQ(failure(cfg.with_interleaver("Outer", 4, 8)), "unknown interleaver stage \"Outer\" (expected inner|outer)");
}

TEST(OfdmConfig, InterleaverSizesAreBounded) {
    const OfdmConfig cfg = guard4();
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    EXPECT_TRUE(cfg.with_interleaver("outer", 4096, 4096).has_value());
    EXPECT_EQ(failure(cfg.with_interleaver("outer", 4097, 4096)),
              "with_interleaver: rows x cols must not exceed 16777216 bits (got 16781312)");
    EXPECT_EQ(failure(cfg.with_interleaver("inner", max, max)),
              "with_interleaver: rows x cols must not exceed 16777216 bits (got "
              "340282366920938463426481119284349108225)");
    EXPECT_TRUE(cfg.with_conv_interleaver("outer", 1, max).has_value());  // no delay lines at all
}

TEST(OfdmConfig, ConvInterleaverSizeCountsAllDelayCells) {
    const OfdmConfig cfg = guard4();
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    EXPECT_TRUE(cfg.with_conv_interleaver("outer", 4096, 1).has_value());  // 4095 x 4096 x 1
    EXPECT_EQ(failure(cfg.with_conv_interleaver("outer", 4097, 2)),
              "with_conv_interleaver: (branches - 1) x branches x depth must not exceed 16777216 bytes (got "
              "33562624)");
    EXPECT_EQ(failure(cfg.with_conv_interleaver("inner", max, max)),
              "with_conv_interleaver: (branches - 1) x branches x depth must not exceed 16777216 bytes (got "
              "6277101735386680762474659955523912562341090735105509425150)");
}

TEST(OfdmConfig, TxLowpassSettingAndSizing) {
    const OfdmConfig cfg = guard4();
    EXPECT_EQ(cfg.tx_lowpass_suggested_taps(), 47u);
    EXPECT_EQ(cfg.tx_lowpass_group_delay(31), 15u);
    EXPECT_FALSE(cfg.tx_lowpass_fits_guard(31));
    EXPECT_TRUE(cfg.tx_lowpass_fits_guard(15));
    EXPECT_FALSE(cfg.tx_lowpass_fits_guard(15, 0, 4));

    const auto lowpass = cfg.with_tx_lowpass(31);
    ASSERT_TRUE(lowpass->tx_lowpass().has_value());
    EXPECT_EQ(*lowpass->tx_lowpass(), (TxLowpass{31, 0.4609375f, 60.0f}));
    EXPECT_NEAR(cfg.with_tx_lowpass(47)->tx_lowpass()->cutoff, 0.460398f, 1e-6);
    EXPECT_EQ(cfg.with_tx_lowpass(0, 15.0f)->tx_lowpass()->num_taps, 0u);
    EXPECT_EQ(cfg.with_tx_lowpass(0, 15.0f)->tx_lowpass()->stopband_db, 15.0f);

    EXPECT_TRUE(cfg.with_tx_lowpass(4095, 300.0f).has_value());
    EXPECT_EQ(failure(cfg.with_tx_lowpass(4096)), "with_tx_lowpass: num_taps must not exceed 4095 (got 4096)");
    EXPECT_EQ(failure(cfg.with_tx_lowpass(31, 300.5f)), "with_tx_lowpass: stopband_db must not exceed 300 (got 300.5)");
    EXPECT_EQ(failure(cfg.with_tx_lowpass(31, INFINITY)), "with_tx_lowpass: stopband_db must not exceed 300 (got inf)");
    EXPECT_EQ(failure(cfg.with_tx_lowpass(31, 1e6f)), "with_tx_lowpass: stopband_db must not exceed 300 (got 1000000)");
    EXPECT_TRUE(std::isnan(cfg.with_tx_lowpass(31, NAN)->tx_lowpass()->stopband_db));
    EXPECT_EQ(cfg.with_tx_lowpass(31, -INFINITY)->tx_lowpass()->cutoff, cfg.with_tx_lowpass(31, 21.0f)->tx_lowpass()->cutoff);
}

TEST(OfdmConfig, ValidateFrame) {
    const OfdmConfig cfg = guard4();
    EXPECT_TRUE(cfg.validate_frame().has_value());
    const auto per_frame = cfg.with_scrambler(0x48, 7, 1, true);
    EXPECT_TRUE(per_frame->validate_frame().has_value());
    for (const char* format : {"none", "dvb_tps"}) {
        EXPECT_EQ(failure(per_frame->with_header_format(format)->validate_frame()),
                  "per-frame-random scrambler seed requires a header (header_format != NoHeader)");
    }
    EXPECT_TRUE(cfg.with_scrambler(0x48, 7, 1, false)->with_header_format("none")->validate_frame().has_value());

    EXPECT_EQ(failure(cfg.with_outer_fec("bch", 0)->validate_frame()), "BCH outer code requires t >= 1");
    EXPECT_TRUE(cfg.with_outer_fec("bch", 1)->validate_frame().has_value());
    EXPECT_TRUE(cfg.with_outer_fec("rs", 255, 32)->validate_frame().has_value());
    for (auto [n, parity] : {std::pair<std::size_t, std::size_t>{256, 32}, {40, 40}, {40, 7}, {40, 0}}) {
        EXPECT_EQ(failure(cfg.with_outer_fec("reed_solomon", n, parity)->validate_frame()),
                  "Reed\u2013Solomon requires 0 < n_parity < n <= 255 with n_parity even")
            << n << " " << parity;
    }
}

TEST(OfdmConfig, EqualityComparesEveryField) {
    const OfdmConfig cfg = guard4();
    EXPECT_EQ(cfg, *cfg.with_payload_crc("crc32"));
    EXPECT_NE(cfg, *cfg.with_payload_crc("crc16"));
    EXPECT_NE(cfg, *cfg.with_tx_lowpass(31));
    EXPECT_NE(cfg, cfg.with_rx_window_backoff(1));
    EXPECT_NE(cfg, cfg.with_symbol_window(1));
    EXPECT_NE(cfg, *cfg.with_header_format("dvbtps"));
    EXPECT_EQ(*cfg.with_ldpc_decode_rule("min-sum", 0.5f), *cfg.with_ldpc_decode_rule("min_sum", 0.25f));

    // Order of carriers matters; NaN in any float makes a configuration unequal to itself.
    EXPECT_NE(*make(64, 16, {1, 2}, {}, {}), *make(64, 16, {2, 1}, {}, {}));
    EXPECT_NE(*make(64, 16, {1}, {3, 4}, {{1, 0}, {0, 1}}), *make(64, 16, {1}, {4, 3}, {{0, 1}, {1, 0}}));
    EXPECT_NE(*make(64, 16, {1}, {}, {}, "qpsk"), *make(64, 16, {1}, {}, {}, "bpsk"));
    const Ints one{1};
    const Ints none;
    const Cells nan_pilot{{NAN, 0}};
    const Ints pilot_at{2};
    const auto nan_fs = OfdmConfig::create(64, 16, std::span(one), std::span(none), std::span<const Complex>(), NAN, 0, 1,
                                           "qpsk", std::nullopt);
    EXPECT_NE(*nan_fs, *nan_fs);
    const auto nan_value = OfdmConfig::create(64, 16, std::span(one), std::span(pilot_at), std::span(nan_pilot), 1, 0, 1,
                                              "qpsk", std::nullopt);
    EXPECT_NE(*nan_value, *nan_value);
}

}  // namespace
}  // namespace kavro
