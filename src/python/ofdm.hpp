#pragma once

// The Python classes of the OFDM group that other families take as arguments.

#include "multicarrier/ofdm_config.hpp"
#include "python/binding/frame.hpp"

namespace kavro::python::binding {

std::expected<OfdmConfig, ErrorAlreadySet> make_ofdm_config(
    std::uint64_t n_fft, std::uint64_t cp_len, const LazyArray<std::int32_t>& data_carriers,
    const LazyArray<std::int32_t>& pilot_carrier_indices, const LazyArray<Complex>& pilot_carrier_values, float fs,
    float rf_hz, float gain, std::string_view constellation, std::optional<std::uint64_t> edge_guard);

template <>
struct Binding<OfdmConfig> {
    static constexpr FixedText doc =
        "OfdmConfig(n_fft, cp_len, data_carriers, pilot_carrier_indices, pilot_carrier_values, fs, rf_hz, gain, "
        "constellation, edge_guard=None)\n--\n\n"
        "One OFDM link: carrier plan, sample rate, RF frequency, gain and constellation, with the\n"
        "frame link's coding settings. Immutable: every with_ builder returns a new configuration.";
    static constexpr auto constructor = &make_ofdm_config;
    static constexpr bool equality = true;
    static constexpr auto methods = method_table(
        method<"with_inner_fec($self, kind, code=\"\")\n--\n\n", &OfdmConfig::with_inner_fec>(),
        method<"with_outer_fec($self, kind, a=0, b=0)\n--\n\n", &OfdmConfig::with_outer_fec>(),
        method<"with_scrambler($self, poly, width, seed=1, per_frame_random=False, position=\"before_outer\")\n--\n\n",
               &OfdmConfig::with_scrambler>(),
        method<"with_dvb_t_scrambler($self)\n--\n\n", &OfdmConfig::with_dvb_t_scrambler>(),
        method<"with_interleaver($self, stage, rows, cols)\n--\n\n", &OfdmConfig::with_interleaver>(),
        method<"with_conv_interleaver($self, stage, branches=12, depth=17)\n--\n\n", &OfdmConfig::with_conv_interleaver>(),
        method<"with_payload_crc($self, kind)\n--\n\n", &OfdmConfig::with_payload_crc>(),
        method<"with_header_crc($self, kind)\n--\n\n", &OfdmConfig::with_header_crc>(),
        method<"with_ldpc_decode_rule($self, kind, scale=0.75)\n--\n\n", &OfdmConfig::with_ldpc_decode_rule>(),
        method<"with_header_format($self, kind)\n--\n\n", &OfdmConfig::with_header_format>(),
        method<"with_symbol_window($self, roll_off)\n--\n\n", &OfdmConfig::with_symbol_window>(),
        method<"with_rx_window_backoff($self, backoff)\n--\n\n", &OfdmConfig::with_rx_window_backoff>(),
        method<"with_tx_lowpass($self, num_taps, stopband_db=60.0)\n--\n\n", &OfdmConfig::with_tx_lowpass>(),
        method<"tx_lowpass_suggested_taps($self, stopband_db=60.0)\n--\n\n", &OfdmConfig::tx_lowpass_suggested_taps>(),
        method<"tx_lowpass_group_delay($self, num_taps)\n--\n\n", &OfdmConfig::tx_lowpass_group_delay>(),
        method<"tx_lowpass_fits_guard($self, num_taps, roll_off=0, backoff=None)\n--\n\n",
               &OfdmConfig::tx_lowpass_fits_guard>(),
        method<"validate_frame($self)\n--\n\n", &OfdmConfig::validate_frame>());
    static constexpr auto properties = property_table(
        property<"bits_per_ofdm_symbol", &OfdmConfig::bits_per_ofdm_symbol>(),
        property<"samples_per_ofdm_symbol", &OfdmConfig::samples_per_ofdm_symbol>(),
        property<"occupied_half_carriers", &OfdmConfig::occupied_half_carriers>());
};

}  // namespace kavro::python::binding
