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
    static constexpr FixedText name = "OfdmConfig";
    static constexpr FixedText doc =
        "OfdmConfig(n_fft, cp_len, data_carriers, pilot_carrier_indices, pilot_carrier_values, fs, rf_hz, gain, "
        "constellation, edge_guard=None)\n--\n\n"
        "One OFDM link: carrier plan, sample rate, RF frequency, gain and constellation, with the\n"
        "frame link's coding settings. Immutable: every with_ builder returns a new configuration.";
    static constexpr auto constructor = &make_ofdm_config;
    static constexpr bool equality = true;
    static PyMethodDef* methods();
    static PyGetSetDef* properties();
};

}  // namespace kavro::python::binding
