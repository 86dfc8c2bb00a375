// Python classes and functions of the PSK31 family.

#include "codec/varicode.hpp"
#include "demodulate/psk31.hpp"
#include "modulate/psk31.hpp"
#include "python/binding/frame.hpp"
#include "python/groups.hpp"

namespace kavro::python::binding {

namespace {

using codec::VaricodeDecoder;
using codec::VaricodeEncoder;

ByteString pop_bytes(VaricodeDecoder& decoder) { return {decoder.pop_bytes()}; }

template <class Mod>
std::vector<Complex> modulate_text(Mod& mod, BytesArg text, std::optional<std::uint64_t> preamble_bits,
                                   std::optional<std::uint64_t> postamble_bits) {
    return mod.modulate_text(text.data, preamble_bits.value_or(kPsk31DefaultPreambleBits),
                             postamble_bits.value_or(kPsk31DefaultPostambleBits));
}

}  // namespace

template <>
struct Binding<VaricodeEncoder> {
    static constexpr FixedText name = "VaricodeEncoder";
    static constexpr FixedText doc = "VaricodeEncoder()\n--\n\n";
    static constexpr auto constructor = [] { return VaricodeEncoder(); };
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"push_preamble($self, n)\n--\n\n", [](VaricodeEncoder& e, std::uint64_t n) { e.push_preamble(n); }>(),
            method<"push_byte($self, b)\n--\n\n", &VaricodeEncoder::push_byte>(),
            method<"push_postamble($self, n)\n--\n\n", [](VaricodeEncoder& e, std::uint64_t n) { e.push_postamble(n); }>(),
            method<"drain_bits($self)\n--\n\nDrain all pending bits into a uint8 numpy array.", &VaricodeEncoder::drain_bits>(),
            method<"is_empty($self)\n--\n\n", &VaricodeEncoder::is_empty>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<VaricodeDecoder> {
    static constexpr FixedText name = "VaricodeDecoder";
    static constexpr FixedText doc = "VaricodeDecoder()\n--\n\n";
    static constexpr auto constructor = [] { return VaricodeDecoder(); };
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"push_bits($self, bits)\n--\n\nFeed a uint8 numpy array of bits (0/1) into the decoder.",
                   &VaricodeDecoder::push_bits>(),
            method<"pop_bytes($self)\n--\n\nDrain all decoded bytes as a Python `bytes` object.", &pop_bytes>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<Bpsk31Mod> {
    static constexpr FixedText name = "Bpsk31Mod";
    static constexpr FixedText doc = "Bpsk31Mod(fs, rf_hz, gain)\n--\n\n";
    static constexpr auto constructor = &Bpsk31Mod::create;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"modulate_bits($self, bits)\n--\n\nModulate raw differential bits into a complex64 IQ waveform.",
                   &Bpsk31Mod::modulate_bits>(),
            method<"modulate_text($self, text, preamble_bits=..., postamble_bits=...)\n--\n\n"
                   "Modulate text bytes into a complex64 IQ waveform.",
                   &modulate_text<Bpsk31Mod>>(),
            method<"reset($self)\n--\n\n", &Bpsk31Mod::reset>(),
            method<"set_gain($self, g)\n--\n\n", &Bpsk31Mod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<Qpsk31Mod> {
    static constexpr FixedText name = "Qpsk31Mod";
    static constexpr FixedText doc = "Qpsk31Mod(fs, rf_hz, gain)\n--\n\n";
    static constexpr auto constructor = &Qpsk31Mod::create;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"modulate_bits($self, bits)\n--\n\n", &Qpsk31Mod::modulate_bits>(),
            method<"modulate_text($self, text, preamble_bits=..., postamble_bits=...)\n--\n\n", &modulate_text<Qpsk31Mod>>(),
            method<"reset($self)\n--\n\n", &Qpsk31Mod::reset>(),
            method<"set_gain($self, g)\n--\n\n", &Qpsk31Mod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<Bpsk31Demod> {
    static constexpr FixedText name = "Bpsk31Demod";
    static constexpr FixedText doc = "Bpsk31Demod(fs, rf_hz, gain)\n--\n\n";
    static constexpr auto constructor = &Bpsk31Demod::create;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, iq)\n--\n\nProcess a complex64 IQ array and return float32 soft bits.", &Bpsk31Demod::process_all>(),
            method<"reset($self)\n--\n\n", &Bpsk31Demod::reset>(),
            method<"set_gain($self, g)\n--\n\n", &Bpsk31Demod::set_gain>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<Bpsk31Decider> {
    static constexpr FixedText name = "Bpsk31Decider";
    static constexpr FixedText doc = "Bpsk31Decider()\n--\n\n";
    static constexpr auto constructor = [] { return Bpsk31Decider(); };
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, soft)\n--\n\nThreshold soft bits to hard decisions. Returns uint8 array.", &Bpsk31Decider::process>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<Qpsk31Demod> {
    static constexpr FixedText name = "Qpsk31Demod";
    static constexpr FixedText doc = "Qpsk31Demod(fs, rf_hz, gain)\n--\n\n";
    static constexpr auto constructor = &Qpsk31Demod::create;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"process($self, iq)\n--\n\nProcess IQ samples and buffer the resulting soft dibits.\n"
                   "Returns the soft dibit float32 array (interleaved Re/Im pairs).",
                   &Qpsk31Demod::process_buffered>(),
            method<"flush($self)\n--\n\nRun Viterbi on accumulated soft dibits and return decoded bits.", &Qpsk31Demod::flush>(),
            method<"reset($self)\n--\n\n", &Qpsk31Demod::reset>(),
            method<"set_gain($self, g)\n--\n\n", &Qpsk31Demod::set_gain>(),
            {},
        };
        return table;
    }
};

}  // namespace kavro::python::binding

namespace kavro::python::psk31 {

int register_classes(PyObject* module) {
    using namespace binding;
    for (auto add : {add_class<codec::VaricodeEncoder>, add_class<codec::VaricodeDecoder>, add_class<Bpsk31Mod>,
                     add_class<Qpsk31Mod>, add_class<Bpsk31Demod>, add_class<Bpsk31Decider>, add_class<Qpsk31Demod>})
        if (add(module) != 0) return -1;
    return 0;
}

}  // namespace kavro::python::psk31
