// Python classes of the analog and single-carrier modems, each modulator beside its demodulator.

#include "demodulate/am.hpp"
#include "demodulate/bpsk.hpp"
#include "demodulate/cw.hpp"
#include "demodulate/fm.hpp"
#include "demodulate/pm.hpp"
#include "demodulate/qam.hpp"
#include "demodulate/qpsk.hpp"
#include "demodulate/ssb.hpp"
#include "modulate/am.hpp"
#include "modulate/bpsk.hpp"
#include "modulate/cw.hpp"
#include "modulate/fm.hpp"
#include "modulate/pm.hpp"
#include "modulate/qam.hpp"
#include "modulate/qpsk.hpp"
#include "modulate/ssb.hpp"
#include "python/blocks.hpp"
#include "python/groups.hpp"

namespace kavro::python::binding {

// The product and quadrature detectors: audio out of IQ, set up by three rates.
template <class T, FixedText Doc>
struct DetectorBinding {
    static constexpr FixedText doc = Doc;
    static constexpr auto constructor = construct<T, double, double, double>;
    static constexpr auto methods = method_table(process_call<T, "iq">);
};

template <>
struct Binding<AmDsbMod> {
    static constexpr FixedText doc = "AmDsbMod(fs, rf_hz, carrier_level, modulation_index)\n--\n\n";
    static constexpr auto constructor = construct<AmDsbMod, double, double, double, double>;
    static constexpr auto methods =
        method_table(block_calls<AmDsbMod, "audio">, method<"set_clamp($self, on)\n--\n\n", &AmDsbMod::set_clamp>());
};

template <>
struct Binding<AmEnvelopeDemod> {
    static constexpr FixedText doc = "AmEnvelopeDemod(fs, audio_bw_hz, abs_approx=False)\n--\n\n";
    static constexpr auto constructor = construct<AmEnvelopeDemod, double, double, bool>;
    static constexpr auto methods = method_table(process_call<AmEnvelopeDemod, "iq">);
};

template <>
struct Binding<SsbPhasingMod> {
    static constexpr FixedText doc = "SsbPhasingMod(fs, audio_bw_hz, audio_if_hz, rf_hz, usb)\n--\n\n";
    static constexpr auto constructor = construct<SsbPhasingMod, double, double, double, double, bool>;
    static constexpr auto methods = method_table(process_call<SsbPhasingMod, "audio">);
};

template <>
struct Binding<SsbProductDemod> : DetectorBinding<SsbProductDemod, "SsbProductDemod(fs, bfo_hz, audio_bw_hz)\n--\n\n"> {};

template <>
struct Binding<CwKeyedMod> {
    static constexpr FixedText doc = "CwKeyedMod(sample_rate, tone_hz, rise_ms, fall_ms)\n--\n\n";
    static constexpr auto constructor = construct<CwKeyedMod, double, double, double, double>;
    static constexpr auto methods = method_table(
        method<"process($self, audio)\n--\n\nInput: keying envelope 0..1 as float32 array.", &CwKeyedMod::process>(),
        set_gain_call<CwKeyedMod>);
};

template <>
struct Binding<CwEnvelopeDemod> {
    static constexpr FixedText doc = "CwEnvelopeDemod(sample_rate, tone_hz, env_bw_hz)\n--\n\n";
    static constexpr auto constructor = construct<CwEnvelopeDemod, double, double, double>;
    static constexpr auto methods = block_calls<CwEnvelopeDemod, "iq">;
};

template <>
struct Binding<FmPhaseAccumMod> {
    static constexpr FixedText doc = "FmPhaseAccumMod(sample_rate, deviation_hz, rf_hz)\n--\n\n";
    static constexpr auto constructor = construct<FmPhaseAccumMod, double, double, double>;
    static constexpr auto methods = method_table(
        block_calls<FmPhaseAccumMod, "audio">, method<"set_deviation($self, hz)\n--\n\n", &FmPhaseAccumMod::set_deviation>());
};

template <>
struct Binding<FmQuadratureDemod> : DetectorBinding<FmQuadratureDemod, "FmQuadratureDemod(fs, dev_hz, audio_bw_hz)\n--\n\n"> {};

template <>
struct Binding<PmDirectPhaseMod> {
    static constexpr FixedText doc = "PmDirectPhaseMod(sample_rate, kp_rad_per_unit, rf_hz)\n--\n\n";
    static constexpr auto constructor = construct<PmDirectPhaseMod, double, double, double>;
    static constexpr auto methods = method_table(
        block_calls<PmDirectPhaseMod, "audio">, method<"set_sensitivity($self, kp)\n--\n\n", &PmDirectPhaseMod::set_sensitivity>());
};

template <>
struct Binding<PmQuadratureDemod> : DetectorBinding<PmQuadratureDemod, "PmQuadratureDemod(fs, k, audio_bw_hz)\n--\n\n"> {};

template <>
struct Binding<BpskMod> {
    static constexpr FixedText doc =
        "BpskMod(fs, rf_hz, gain)\n--\n\n"
        "Combined BPSK mapper + waveform stage.\n"
        "Input: uint8 array of bits (LSB of each byte used).\n"
        "Output: complex64 IQ array (one symbol per input bit).";
    static constexpr auto constructor = construct<BpskMod, double, double, float>;
    static constexpr auto methods = block_calls<BpskMod, "bits">;
};

template <>
struct Binding<BpskDemod> {
    static constexpr FixedText doc =
        "BpskDemod(gain)\n--\n\n"
        "Combined BPSK soft-demod + hard decider.\n"
        "Input: complex64 IQ array (carrier-removed baseband, 1 sample per symbol).\n"
        "Output: uint8 array of bits (0 or 1), one per input symbol.";
    static constexpr auto constructor = construct<BpskDemod, float>;
    static constexpr auto methods = block_calls<BpskDemod, "iq">;
};

template <>
struct Binding<QpskMod> {
    static constexpr FixedText doc =
        "QpskMod(fs, rf_hz, gain)\n--\n\n"
        "Combined QPSK mapper + waveform stage.\n"
        "Input: uint8 array of bits (LSB of each byte); consumed in pairs.\n"
        "Output: complex64 IQ array (one symbol per two input bits).";
    static constexpr auto constructor = construct<QpskMod, double, double, float>;
    static constexpr auto methods = block_calls<QpskMod, "bits">;
};

template <>
struct Binding<QpskDemod> {
    static constexpr FixedText doc =
        "QpskDemod(gain)\n--\n\n"
        "Combined QPSK soft-demod + hard decider.\n"
        "Input: complex64 IQ array (carrier-removed baseband, 1 sample per symbol).\n"
        "Output: uint8 array of bits (0 or 1); two bits per input symbol,\n"
        "        interleaved as [b0_I, b0_Q, b1_I, b1_Q, \u2026].";
    static constexpr auto constructor = construct<QpskDemod, float>;
    static constexpr auto methods = block_calls<QpskDemod, "iq">;
};

template <>
struct Binding<QamMod> {
    static constexpr FixedText doc =
        "QamMod(order, fs, rf_hz, gain)\n--\n\n"
        "Combined QAM mapper + waveform stage.\n"
        "\n"
        "*order* must be 16, 64, or 256.\n"
        "Input: uint8 array of bits (LSB of each byte); consumed log2(order) bytes per symbol.\n"
        "Output: complex64 IQ array (one symbol per log2(order) input bits).";
    static constexpr auto constructor = &QamMod::create;
    static constexpr auto methods = block_calls<QamMod, "bits">;
};

template <>
struct Binding<QamDemod> {
    static constexpr FixedText doc =
        "QamDemod(order, gain)\n--\n\n"
        "Combined QAM soft-demod + hard decider.\n"
        "\n"
        "*order* must be 16, 64, or 256.\n"
        "Input: complex64 IQ array (carrier-removed baseband, 1 sample per symbol).\n"
        "Output: uint8 array of bits (0 or 1); log2(order) bits per input symbol.";
    static constexpr auto constructor = &QamDemod::create;
    static constexpr auto methods = block_calls<QamDemod, "iq">;
};

}  // namespace kavro::python::binding

namespace kavro::python::modems {

// The demodulators, then the modulators.
int register_classes(PyObject* module) {
    using namespace binding;
    return add_all(module, {add_class<CwEnvelopeDemod>, add_class<AmEnvelopeDemod>, add_class<SsbProductDemod>,
                            add_class<FmQuadratureDemod>, add_class<PmQuadratureDemod>, add_class<BpskDemod>,
                            add_class<QpskDemod>, add_class<QamDemod>, add_class<AmDsbMod>, add_class<CwKeyedMod>,
                            add_class<FmPhaseAccumMod>, add_class<PmDirectPhaseMod>, add_class<SsbPhasingMod>,
                            add_class<BpskMod>, add_class<QpskMod>, add_class<QamMod>});
}

}  // namespace kavro::python::modems
