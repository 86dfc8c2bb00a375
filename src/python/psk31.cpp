// Python classes and functions of the PSK31 family.

#include "codec/varicode.hpp"
#include "demodulate/psk31.hpp"
#include "demodulate/psk31_stream.hpp"
#include "modulate/psk31.hpp"
#include "python/blocks.hpp"
#include "python/groups.hpp"
#include "sync/psk31_sync.hpp"

namespace kavro::python::binding {

namespace {

using codec::VaricodeDecoder;
using codec::VaricodeEncoder;

ByteString pop_bytes(VaricodeDecoder& decoder) { return {decoder.pop_bytes()}; }

template <class Mod>
std::vector<Complex> modulate_text(Mod& mod, BytesArg text, std::optional<std::uint64_t> preamble_bits,
                                   std::optional<std::uint64_t> postamble_bits) {
    return mod.modulate_text(text.data, preamble_bits.value_or(psk31_default_preamble_bits),
                             postamble_bits.value_or(psk31_default_postamble_bits));
}

// The mode word is lowered by the interpreter's own str.lower on a plain str, so the full Unicode
// mapping applies and a subclass's override does not.
std::expected<Psk31Stream, ErrorAlreadySet> make_stream(std::string_view mode, float fs, float carrier_hz,
                                                        float gain) {
    PyObject* plain = PyUnicode_FromStringAndSize(mode.data(), static_cast<Py_ssize_t>(mode.size()));
    if (plain == nullptr) return std::unexpected(ErrorAlreadySet{});
    PyObject* lowered = PyObject_CallMethod(plain, "lower", nullptr);
    Py_DECREF(plain);
    if (lowered == nullptr) return std::unexpected(ErrorAlreadySet{});
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(lowered, &size);
    if (text == nullptr) {
        Py_DECREF(lowered);
        return std::unexpected(ErrorAlreadySet{});
    }
    auto stream = Psk31Stream::create({text, static_cast<std::size_t>(size)}, mode, fs, carrier_hz, gain);
    Py_DECREF(lowered);
    if (!stream) {
        raise_value_error(error_message(stream.error()));
        return std::unexpected(ErrorAlreadySet{});
    }
    return std::move(*stream);
}

// Reads the keys of one candidate in the given order; empty with the exception set on failure.
std::optional<Psk31SyncKey> read_key(PyObject* item, bool carrier_first) {
    if (!check_dict(item)) return std::nullopt;
    std::optional<float> carrier;
    if (carrier_first && !(carrier = dict_item<float>(item, "carrier_hz"))) return std::nullopt;
    const auto time_sym = dict_item<std::uint64_t>(item, "time_sym");
    if (!time_sym) return std::nullopt;
    if (!carrier_first && !(carrier = dict_item<float>(item, "carrier_hz"))) return std::nullopt;
    return Psk31SyncKey{*carrier, *time_sym};
}

// The first pass reads every candidate (freq_bin and score only to check them), the second
// returns the caller's own dictionary that matches the choice.
PyObject* best_psk31_sync(const ListArg<PyObject*>& candidates, float carrier_hz, std::optional<float> baud) {
    std::vector<Psk31SyncKey> keys;
    keys.reserve(candidates.items.size());
    for (PyObject* item : candidates.items) {
        const auto key = read_key(item, true);
        if (!key || !dict_item<std::uint64_t>(item, "freq_bin") || !dict_item<float>(item, "score")) return nullptr;
        keys.push_back(*key);
    }
    const auto best = best_psk31_index(keys, carrier_hz, baud.value_or(psk31_bin_hz));
    if (best) {
        for (PyObject* item : candidates.items) {
            const auto key = read_key(item, false);
            if (!key) return nullptr;
            if (psk31_same_candidate(keys[*best], *key)) return Py_NewRef(item);
        }
    }
    Py_RETURN_NONE;
}

}  // namespace

// Each kind of modem is one binding for both modes, its texts given for BPSK31, then QPSK31.
template <waveform::Psk31Mode M>
struct Binding<Psk31Mod<M>> {
    using T = Psk31Mod<M>;
    static constexpr bool bpsk = M == waveform::Psk31Mode::Bpsk31;
    static constexpr FixedText doc = pick<bpsk>("Bpsk31Mod(fs, rf_hz, gain)\n--\n\n", "Qpsk31Mod(fs, rf_hz, gain)\n--\n\n");
    static constexpr auto constructor = &T::create;
    static constexpr auto methods = method_table(
        method<pick<bpsk>("modulate_bits($self, bits)\n--\n\nModulate raw differential bits into a complex64 IQ waveform.",
                          "modulate_bits($self, bits)\n--\n\n"),
               &T::modulate_bits>(),
        method<pick<bpsk>("modulate_text($self, text, preamble_bits=..., postamble_bits=...)\n--\n\n"
                          "Modulate text bytes into a complex64 IQ waveform.",
                          "modulate_text($self, text, preamble_bits=..., postamble_bits=...)\n--\n\n"),
               &modulate_text<T>>(),
        reset_call<T>, set_gain_call<T>);
};

// BPSK31's process returns its values; QPSK31's also buffers them for flush.
template <waveform::Psk31Mode M>
struct Binding<Psk31Demod<M>> {
    using T = Psk31Demod<M>;
    static constexpr bool bpsk = M == waveform::Psk31Mode::Bpsk31;
    static constexpr FixedText doc = pick<bpsk>("Bpsk31Demod(fs, rf_hz, gain)\n--\n\n", "Qpsk31Demod(fs, rf_hz, gain)\n--\n\n");
    static constexpr auto constructor = &T::create;
    static constexpr auto methods = [] {
        if constexpr (bpsk)
            return method_table(
                method<"process($self, iq)\n--\n\nProcess a complex64 IQ array and return float32 soft bits.", &T::process_all>(),
                reset_call<T>, set_gain_call<T>);
        else
            return method_table(
                method<"process($self, iq)\n--\n\nProcess IQ samples and buffer the resulting soft dibits.\n"
                       "Returns the soft dibit float32 array (interleaved Re/Im pairs).",
                       &T::process_buffered>(),
                method<"flush($self)\n--\n\nRun Viterbi on accumulated soft dibits and return decoded bits.", &T::flush>(),
                reset_call<T>, set_gain_call<T>);
    }();
};

template <>
struct DictFields<Psk31SyncResult> {
    static constexpr std::array<const char*, 5> keys{"time_sym", "freq_bin", "carrier_hz", "score", "soft_bits"};
    static auto values(const Psk31SyncResult& r) { return std::tuple(r.time_sym, r.freq_bin, r.carrier_hz, r.score, r.soft_bits); }
};

template <>
struct Binding<Psk31Stream> {
    static constexpr FixedText doc =
        "Psk31Stream(mode, fs, carrier_hz, gain=1.0)\n--\n\n"
        "Streaming PSK31 decoder.\n"
        "\n"
        "Wires demod → decider/viterbi → varicode into a single feed/flush API.\n"
        "Use `Psk31Stream(\"bpsk\", fs, carrier_hz, gain)` for BPSK31 or\n"
        "`Psk31Stream(\"qpsk\", ...)` for QPSK31.";
    static constexpr auto constructor = &make_stream;
    static constexpr auto methods = method_table(
        method<"feed($self, iq)\n--\n\nFeed IQ samples and return any newly decoded text.", &Psk31Stream::feed>(),
        method<"flush($self)\n--\n\nFlush the decoder and return any remaining text.", &Psk31Stream::flush>());
};

template <>
struct Binding<VaricodeEncoder> {
    static constexpr FixedText doc = "VaricodeEncoder()\n--\n\n";
    static constexpr auto constructor = construct<VaricodeEncoder>;
    static constexpr auto methods = method_table(
        method<"push_preamble($self, n)\n--\n\n", [](VaricodeEncoder& e, std::uint64_t n) { e.push_preamble(n); }>(),
        method<"push_byte($self, b)\n--\n\n", &VaricodeEncoder::push_byte>(),
        method<"push_postamble($self, n)\n--\n\n", [](VaricodeEncoder& e, std::uint64_t n) { e.push_postamble(n); }>(),
        method<"drain_bits($self)\n--\n\nDrain all pending bits into a uint8 numpy array.", &VaricodeEncoder::drain_bits>(),
        method<"is_empty($self)\n--\n\n", &VaricodeEncoder::is_empty>());
};

template <>
struct Binding<VaricodeDecoder> {
    static constexpr FixedText doc = "VaricodeDecoder()\n--\n\n";
    static constexpr auto constructor = construct<VaricodeDecoder>;
    static constexpr auto methods = method_table(
        method<"push_bits($self, bits)\n--\n\nFeed a uint8 numpy array of bits (0/1) into the decoder.",
               &VaricodeDecoder::push_bits>(),
        method<"pop_bytes($self)\n--\n\nDrain all decoded bytes as a Python `bytes` object.", &pop_bytes>());
};

template <>
struct Binding<Bpsk31Decider> {
    static constexpr FixedText doc = "Bpsk31Decider()\n--\n\n";
    static constexpr auto constructor = construct<Bpsk31Decider>;
    static constexpr auto methods = method_table(
        method<"process($self, soft)\n--\n\nThreshold soft bits to hard decisions. Returns uint8 array.", &Bpsk31Decider::process>());
};

}  // namespace kavro::python::binding

namespace kavro::python::psk31 {

int register_classes(PyObject* module) {
    using namespace binding;
    return add_all(module,
                   {add_class<codec::VaricodeEncoder>, add_class<codec::VaricodeDecoder>, add_class<Bpsk31Mod>,
                    add_class<Qpsk31Mod>, add_class<Bpsk31Demod>, add_class<Bpsk31Decider>, add_class<Qpsk31Demod>,
                    add_class<Psk31Stream>,
                    add_function<"psk31_sync(iq, fs, base_hz, max_hz, min_carrier_syms=8, peak_margin_db=6.0, n_bits=1024, "
                                 "max_cand=10)\n--\n\n"
                                 "Scan for PSK31 carriers in an IQ buffer.\n"
                                 "\n"
                                 "Returns a list of dicts:\n"
                                 "  {\"time_sym\": int, \"freq_bin\": int, \"carrier_hz\": float, \"score\": float, "
                                 "\"soft_bits\": float32[N]}",
                                 &psk31_sync>,
                    add_function<"best_psk31_sync(candidates, carrier_hz, baud=...)\n--\n\n"
                                 "Pick the best PSK31 sync result nearest to `carrier_hz`.\n"
                                 "\n"
                                 "Takes the list of dicts returned by `psk31_sync()` and returns the best\n"
                                 "candidate as a dict, or None if no candidate is within 2×baud of the carrier.",
                                 &best_psk31_sync>});
}

}  // namespace kavro::python::psk31
