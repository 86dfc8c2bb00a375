// Python classes and functions of the OFDM group, added in their fixed order.

#include "python/ofdm.hpp"

#include "demodulate/ofdm.hpp"
#include "modulate/ofdm.hpp"
#include "sync/ofdm_sync.hpp"
#include "python/groups.hpp"

namespace kavro::python::binding {

namespace {

// Raises a configuration failure: the array-layout one as the binding frame's TypeError.
std::unexpected<ErrorAlreadySet> raise_config_error(const OfdmConfigError& error) {
    if (is_type_error(error)) raise_not_contiguous();
    else raise_value_error(error_message(error));
    return std::unexpected(ErrorAlreadySet{});
}

template <class E>
ArrayArg<E> array_arg(const LazyArray<E>& array) {
    return array.readable() ? ArrayArg<E>(array.elements) : ArrayArg<E>::not_contiguous();
}

}  // namespace

std::expected<OfdmConfig, ErrorAlreadySet> make_ofdm_config(
    std::uint64_t n_fft, std::uint64_t cp_len, const LazyArray<std::int32_t>& data_carriers,
    const LazyArray<std::int32_t>& pilot_carrier_indices, const LazyArray<Complex>& pilot_carrier_values, float fs,
    float rf_hz, float gain, std::string_view constellation, std::optional<std::uint64_t> edge_guard) {
    auto config = OfdmConfig::create(n_fft, cp_len, array_arg(data_carriers), array_arg(pilot_carrier_indices),
                                     array_arg(pilot_carrier_values), fs, rf_hz, gain, constellation, edge_guard);
    if (!config) return raise_config_error(config.error());
    return std::move(*config);
}

template <>
struct Binding<OfdmMod> {
    static constexpr FixedText doc =
        "OfdmMod(cfg)\n--\n\n"
        "OFDM transmitter: fused mapper + resource-grid mapping + IFFT + cyclic\n"
        "prefix + optional RF upconversion.\n"
        "\n"
        "Input: uint8 array of bits (LSB of each byte); consumed\n"
        "`bits_per_ofdm_symbol` at a time, zero-padding a final partial symbol.\n"
        "Output: complex64 IQ array, `samples_per_ofdm_symbol` samples per symbol.";
    static constexpr auto constructor = &OfdmMod::create;
    static constexpr auto methods = method_table(method<"modulate($self, bits)\n--\n\n", &OfdmMod::modulate>());
};

template <>
struct Binding<OfdmDemod> {
    static constexpr FixedText doc =
        "OfdmDemod(cfg, equalizer=\"training_symbol\")\n--\n\n"
        "OFDM receiver: fused cyclic-prefix removal + FFT + channel equalization\n"
        "+ resource-grid extraction + hard-decision decoding.\n"
        "\n"
        "`equalizer` selects the channel-estimation method: \"training_symbol\" (the\n"
        "default) holds one estimate per packet, so call `estimate_channel()` once\n"
        "with the demodulated training symbol before `demodulate()`; \"pilot_interp\"\n"
        "re-estimates the channel every symbol from the in-band pilots and needs no\n"
        "separate estimation call.\n"
        "\n"
        "Input: complex64 IQ array, `samples_per_ofdm_symbol` samples per symbol.\n"
        "Output: uint8 array of bits, `bits_per_ofdm_symbol` per symbol.";
    static constexpr auto constructor = &OfdmDemod::create;
    static constexpr auto methods = method_table(
        method<"demodulate($self, iq)\n--\n\n", &OfdmDemod::demodulate>(),
        method<"demodulate_soft($self, iq)\n--\n\n"
               "Like `demodulate()`, but also returns the pre-decision soft symbols\n"
               "(post-equalization, post-grid-extract), for callers that want to\n"
               "build an [`PyOfdmRxFrame`] via `build_ofdm_rx_frame`.",
               &OfdmDemod::demodulate_soft>(),
        method<"estimate_channel($self, training_iq)\n--\n\n"
               "Estimates and holds the channel from one already-demodulated training\n"
               "symbol's raw IQ (`samples_per_ofdm_symbol` samples, CP included).\n"
               "\n"
               "Only meaningful for the \"training_symbol\" equalizer; a no-op under\n"
               "\"pilot_interp\".",
               &OfdmDemod::estimate_channel>());
};

template <>
struct Binding<OfdmRxFrame> {
    static constexpr FixedText name = "OfdmRxFrame";
    static constexpr FixedText doc =
        "Per-packet OFDM RX diagnostics. Fields that require acquisition or\n"
        "equalization stay `None` until the caller has actually run those stages.";
    static constexpr auto properties = property_table(
        property<"bits", &OfdmRxFrame::bits>(),
        property<"evm_db", &OfdmRxFrame::evm_db>(),
        property<"cfo_hz", &OfdmRxFrame::cfo_hz>(),
        property<"timing_offset_samples", &OfdmRxFrame::timing_offset_samples>(),
        property<"channel_mse", &OfdmRxFrame::channel_mse>(),
        property<"num_symbols", &OfdmRxFrame::num_symbols>());
};

template <>
struct DictFields<OfdmSyncResult> {
    static constexpr std::array<const char*, 4> keys{"start_sample", "cfo_hz", "integer_cfo_bins", "score"};
    static auto values(const OfdmSyncResult& r) { return std::tuple(r.start_sample, r.cfo_hz, r.integer_cfo_bins, r.score); }
};

}  // namespace kavro::python::binding

namespace kavro::python::ofdm {

int register_group(PyObject* module) {
    using namespace binding;
    return add_all(module, {add_class<OfdmConfig>, add_class<OfdmMod>, add_class<OfdmDemod>, add_class<OfdmRxFrame>,
                            add_function<"build_ofdm_rx_frame(cfg, soft_symbols, bits)\n--\n\n"
                                         "Builds an [`PyOfdmRxFrame`] from demodulated soft symbols and their\n"
                                         "corresponding hard-decided bits, mirroring\n"
                                         "`demodulate::ofdm::build_ofdm_rx_frame`.",
                                         &build_ofdm_rx_frame>,
                            add_function<"ofdm_sync(iq, fs, num_repeats, repeat_len, search_start, search_end, "
                                         "training_n_fft=None, training_cp_len=None)\n--\n\n"
                                         "Searches an OFDM IQ buffer for a repeated-segment preamble match.\n"
                                         "\n"
                                         "Returns a list of dicts, sorted by descending score:\n"
                                         "  {\"start_sample\": int, \"cfo_hz\": float, \"integer_cfo_bins\": int, \"score\": float}\n"
                                         "\n"
                                         "`integer_cfo_bins` is only meaningful (nonzero) if `with_training_symbol`\n"
                                         "was set when generating the preamble; total CFO is\n"
                                         "`cfo_hz + integer_cfo_bins * (fs / n_fft)`.",
                                         &ofdm_sync_call>,
                            add_function<"generate_ofdm_preamble(cfg, num_repeats, repeat_len, training_n_fft=None, "
                                         "training_cp_len=None)\n--\n\n"
                                         "Generates a repeated-segment preamble (plus training symbol, if\n"
                                         "`training_n_fft`/`training_cp_len` are given) for prepending before OFDM\n"
                                         "data symbols.",
                                         &generate_ofdm_preamble_call>});
}

}  // namespace kavro::python::ofdm
