// Python classes of the modulators.

#include "modulate/bpsk.hpp"
#include "modulate/qam.hpp"
#include "modulate/qpsk.hpp"
#include "python/binding/frame.hpp"
#include "python/groups.hpp"

namespace kavro::python::binding {

template <>
struct Binding<BpskMod> {
    static constexpr FixedText name = "BpskMod";
    static constexpr FixedText doc =
        "BpskMod(fs, rf_hz, gain)\n--\n\n"
        "Combined BPSK mapper + waveform stage.\n"
        "Input: uint8 array of bits (LSB of each byte used).\n"
        "Output: complex64 IQ array (one symbol per input bit).";
    static constexpr auto constructor = [](double fs, double rf_hz, float gain) { return BpskMod(fs, rf_hz, gain); };
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
    static constexpr auto constructor = [](double fs, double rf_hz, float gain) { return QpskMod(fs, rf_hz, gain); };
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
    for (auto add : {add_class<BpskMod>, add_class<QpskMod>, add_class<QamMod>})
        if (add(module) != 0) return -1;
    return 0;
}

}  // namespace kavro::python::modulate
