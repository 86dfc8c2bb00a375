// Python classes of the demodulators.

#include "demodulate/am.hpp"
#include "demodulate/bpsk.hpp"
#include "demodulate/cw.hpp"
#include "demodulate/fm.hpp"
#include "demodulate/pm.hpp"
#include "demodulate/qam.hpp"
#include "demodulate/qpsk.hpp"
#include "demodulate/ssb.hpp"
#include "python/binding/frame.hpp"
#include "python/groups.hpp"

namespace kavro::python::binding {

template <>
struct Binding<CwEnvelopeDemod> {
    static constexpr FixedText name = "CwEnvelopeDemod";
    static constexpr FixedText doc = "CwEnvelopeDemod(sample_rate, tone_hz, env_bw_hz)\n--\n\n";
    static constexpr auto constructor = construct<CwEnvelopeDemod, double, double, double>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, iq)\n--\n\n", &CwEnvelopeDemod::process>(),
            method<"set_gain($self, g)\n--\n\n", &CwEnvelopeDemod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<AmEnvelopeDemod> {
    static constexpr FixedText name = "AmEnvelopeDemod";
    static constexpr FixedText doc = "AmEnvelopeDemod(fs, audio_bw_hz, abs_approx=False)\n--\n\n";
    static constexpr auto constructor = construct<AmEnvelopeDemod, double, double, bool>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {method<"process($self, iq)\n--\n\n", &AmEnvelopeDemod::process>(), {}};
        return table;
    }
};

template <>
struct Binding<SsbProductDemod> {
    static constexpr FixedText name = "SsbProductDemod";
    static constexpr FixedText doc = "SsbProductDemod(fs, bfo_hz, audio_bw_hz)\n--\n\n";
    static constexpr auto constructor = construct<SsbProductDemod, double, double, double>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {method<"process($self, iq)\n--\n\n", &SsbProductDemod::process>(), {}};
        return table;
    }
};

template <>
struct Binding<FmQuadratureDemod> {
    static constexpr FixedText name = "FmQuadratureDemod";
    static constexpr FixedText doc = "FmQuadratureDemod(fs, dev_hz, audio_bw_hz)\n--\n\n";
    static constexpr auto constructor = construct<FmQuadratureDemod, double, double, double>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {method<"process($self, iq)\n--\n\n", &FmQuadratureDemod::process>(), {}};
        return table;
    }
};

template <>
struct Binding<PmQuadratureDemod> {
    static constexpr FixedText name = "PmQuadratureDemod";
    static constexpr FixedText doc = "PmQuadratureDemod(fs, k, audio_bw_hz)\n--\n\n";
    static constexpr auto constructor = construct<PmQuadratureDemod, double, double, double>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {method<"process($self, iq)\n--\n\n", &PmQuadratureDemod::process>(), {}};
        return table;
    }
};

template <>
struct Binding<BpskDemod> {
    static constexpr FixedText name = "BpskDemod";
    static constexpr FixedText doc =
        "BpskDemod(gain)\n--\n\n"
        "Combined BPSK soft-demod + hard decider.\n"
        "Input: complex64 IQ array (carrier-removed baseband, 1 sample per symbol).\n"
        "Output: uint8 array of bits (0 or 1), one per input symbol.";
    static constexpr auto constructor = construct<BpskDemod, float>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, iq)\n--\n\n", &BpskDemod::process>(),
            method<"set_gain($self, g)\n--\n\n", &BpskDemod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<QpskDemod> {
    static constexpr FixedText name = "QpskDemod";
    static constexpr FixedText doc =
        "QpskDemod(gain)\n--\n\n"
        "Combined QPSK soft-demod + hard decider.\n"
        "Input: complex64 IQ array (carrier-removed baseband, 1 sample per symbol).\n"
        "Output: uint8 array of bits (0 or 1); two bits per input symbol,\n"
        "        interleaved as [b0_I, b0_Q, b1_I, b1_Q, \u2026].";
    static constexpr auto constructor = construct<QpskDemod, float>;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, iq)\n--\n\n", &QpskDemod::process>(),
            method<"set_gain($self, g)\n--\n\n", &QpskDemod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<QamDemod> {
    static constexpr FixedText name = "QamDemod";
    static constexpr FixedText doc =
        "QamDemod(order, gain)\n--\n\n"
        "Combined QAM soft-demod + hard decider.\n"
        "\n"
        "*order* must be 16, 64, or 256.\n"
        "Input: complex64 IQ array (carrier-removed baseband, 1 sample per symbol).\n"
        "Output: uint8 array of bits (0 or 1); log2(order) bits per input symbol.";
    static constexpr auto constructor = &QamDemod::create;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, iq)\n--\n\n", &QamDemod::process>(),
            method<"set_gain($self, g)\n--\n\n", &QamDemod::set_gain>(),
            {},
        };
        return table;
    }
};

}  // namespace kavro::python::binding

namespace kavro::python::demodulate {

int register_classes(PyObject* module) {
    using namespace binding;
    for (auto add : {add_class<CwEnvelopeDemod>, add_class<AmEnvelopeDemod>, add_class<SsbProductDemod>,
                     add_class<FmQuadratureDemod>, add_class<PmQuadratureDemod>, add_class<BpskDemod>, add_class<QpskDemod>, add_class<QamDemod>})
        if (add(module) != 0) return -1;
    return 0;
}

}  // namespace kavro::python::demodulate
