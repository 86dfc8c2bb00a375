// Python classes of the modulators.

#include "modulate/am.hpp"
#include "modulate/bpsk.hpp"
#include "modulate/cw.hpp"
#include "modulate/fm.hpp"
#include "modulate/pm.hpp"
#include "modulate/qam.hpp"
#include "modulate/qpsk.hpp"
#include "modulate/ssb.hpp"
#include "python/binding/frame.hpp"
#include "python/groups.hpp"

namespace kavro::python::binding {

template <>
struct Binding<AmDsbMod> {
    static constexpr FixedText name = "AmDsbMod";
    static constexpr FixedText doc = "AmDsbMod(fs, rf_hz, carrier_level, modulation_index)\n--\n\n";
    static constexpr auto constructor = construct<AmDsbMod, double, double, double, double>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, audio)\n--\n\n", &AmDsbMod::process>(),
            method<"set_gain($self, g)\n--\n\n", &AmDsbMod::set_gain>(),
            method<"set_clamp($self, on)\n--\n\n", &AmDsbMod::set_clamp>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<CwKeyedMod> {
    static constexpr FixedText name = "CwKeyedMod";
    static constexpr FixedText doc = "CwKeyedMod(sample_rate, tone_hz, rise_ms, fall_ms)\n--\n\n";
    static constexpr auto constructor = construct<CwKeyedMod, double, double, double, double>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, audio)\n--\n\nInput: keying envelope 0..1 as float32 array.", &CwKeyedMod::process>(),
            method<"set_gain($self, g)\n--\n\n", &CwKeyedMod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<FmPhaseAccumMod> {
    static constexpr FixedText name = "FmPhaseAccumMod";
    static constexpr FixedText doc = "FmPhaseAccumMod(sample_rate, deviation_hz, rf_hz)\n--\n\n";
    static constexpr auto constructor = construct<FmPhaseAccumMod, double, double, double>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, audio)\n--\n\n", &FmPhaseAccumMod::process>(),
            method<"set_gain($self, g)\n--\n\n", &FmPhaseAccumMod::set_gain>(),
            method<"set_deviation($self, hz)\n--\n\n", &FmPhaseAccumMod::set_deviation>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<PmDirectPhaseMod> {
    static constexpr FixedText name = "PmDirectPhaseMod";
    static constexpr FixedText doc = "PmDirectPhaseMod(sample_rate, kp_rad_per_unit, rf_hz)\n--\n\n";
    static constexpr auto constructor = construct<PmDirectPhaseMod, double, double, double>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, audio)\n--\n\n", &PmDirectPhaseMod::process>(),
            method<"set_gain($self, g)\n--\n\n", &PmDirectPhaseMod::set_gain>(),
            method<"set_sensitivity($self, kp)\n--\n\n", &PmDirectPhaseMod::set_sensitivity>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<SsbPhasingMod> {
    static constexpr FixedText name = "SsbPhasingMod";
    static constexpr FixedText doc = "SsbPhasingMod(fs, audio_bw_hz, audio_if_hz, rf_hz, usb)\n--\n\n";
    static constexpr auto constructor = construct<SsbPhasingMod, double, double, double, double, bool>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {method<"process($self, audio)\n--\n\n", &SsbPhasingMod::process>(), {}};
        return table;
    }
};

template <>
struct Binding<BpskMod> {
    static constexpr FixedText name = "BpskMod";
    static constexpr FixedText doc =
        "BpskMod(fs, rf_hz, gain)\n--\n\n"
        "Combined BPSK mapper + waveform stage.\n"
        "Input: uint8 array of bits (LSB of each byte used).\n"
        "Output: complex64 IQ array (one symbol per input bit).";
    static constexpr auto constructor = construct<BpskMod, double, double, float>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, bits)\n--\n\n", &BpskMod::process>(),
            method<"set_gain($self, g)\n--\n\n", &BpskMod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<QpskMod> {
    static constexpr FixedText name = "QpskMod";
    static constexpr FixedText doc =
        "QpskMod(fs, rf_hz, gain)\n--\n\n"
        "Combined QPSK mapper + waveform stage.\n"
        "Input: uint8 array of bits (LSB of each byte); consumed in pairs.\n"
        "Output: complex64 IQ array (one symbol per two input bits).";
    static constexpr auto constructor = construct<QpskMod, double, double, float>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, bits)\n--\n\n", &QpskMod::process>(),
            method<"set_gain($self, g)\n--\n\n", &QpskMod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<QamMod> {
    static constexpr FixedText name = "QamMod";
    static constexpr FixedText doc =
        "QamMod(order, fs, rf_hz, gain)\n--\n\n"
        "Combined QAM mapper + waveform stage.\n"
        "\n"
        "*order* must be 16, 64, or 256.\n"
        "Input: uint8 array of bits (LSB of each byte); consumed log2(order) bytes per symbol.\n"
        "Output: complex64 IQ array (one symbol per log2(order) input bits).";
    static constexpr auto constructor = &QamMod::create;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, bits)\n--\n\n", &QamMod::process>(),
            method<"set_gain($self, g)\n--\n\n", &QamMod::set_gain>(),
            {},
        };
        return table;
    }
};

}  // namespace kavro::python::binding

namespace kavro::python::modulate {

int register_classes(PyObject* module) {
    using namespace binding;
    for (auto add : {add_class<AmDsbMod>, add_class<CwKeyedMod>, add_class<FmPhaseAccumMod>,
                     add_class<PmDirectPhaseMod>, add_class<SsbPhasingMod>, add_class<BpskMod>, add_class<QpskMod>, add_class<QamMod>})
        if (add(module) != 0) return -1;
    return 0;
}

}  // namespace kavro::python::modulate
