// Python classes and functions of the DVB-T group, added in their fixed order.

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "demodulate/dvb_t_frame.hpp"
#include "demodulate/dvb_t_stream.hpp"
#include "demodulate/dvb_t_super_frame.hpp"
#include "modulate/dvb_t_frame.hpp"
#include "modulate/dvb_t_super_frame.hpp"
#include "python/binding/frame.hpp"
#include "python/stream_results.hpp"
#include "python/groups.hpp"
#include "waveform/dvb_t_params.hpp"
#include "waveform/dvb_t_tps.hpp"

namespace kavro::python::binding {

namespace {

using waveform::DvbTFrameParams;
using waveform::DvbTKeywordError;
using waveform::TpsWord;

std::expected<DvbTFrameParams, DvbTKeywordError> make_params(std::string_view guard, std::string_view constellation,
                                                             std::string_view code_rate,
                                                             std::uint8_t frame_number, std::uint8_t cell_id) {
    return DvbTFrameParams::create(guard, constellation, code_rate, frame_number, cell_id);
}

std::expected<std::string, DvbTKeywordError> constellation_text(ConstellationOrder order) {
    const auto text = waveform::constellation_str(order);
    if (!text) return std::unexpected(text.error());
    return std::string(*text);
}

DvbTFrameMod make_frame_mod(const DvbTFrameParams& params) { return DvbTFrameMod(params); }

DvbTFrameDemod make_frame_demod(const DvbTFrameParams& params) { return DvbTFrameDemod(params); }

std::expected<DvbTSuperFrameParams, DvbTKeywordError> make_super_params(std::string_view guard,
                                                                        std::string_view constellation,
                                                                        std::string_view code_rate,
                                                                        std::uint16_t cell_id) {
    return DvbTSuperFrameParams::create(guard, constellation, code_rate, cell_id);
}

DvbTSuperFrameMod make_super_frame_mod(const DvbTSuperFrameParams& params) { return DvbTSuperFrameMod(params); }

DvbTSuperFrameDemod make_super_frame_demod(const DvbTSuperFrameParams& params) { return DvbTSuperFrameDemod(params); }

std::expected<DvbTRxSuperFrame, ErrorAlreadySet> decode_super_frame(const DvbTSuperFrameDemod& demod,
                                                                    std::span<const Complex> iq,
                                                                    std::uint64_t symbols_per_frame,
                                                                    const SequenceArg<std::uint64_t>& lens) {
    if (lens.items.size() != super_frame_frames) {
        raise_value_error("expected a sequence of length " + std::to_string(super_frame_frames) + " (got " +
                          std::to_string(lens.items.size()) + ")");
        return std::unexpected(ErrorAlreadySet{});
    }
    const std::span<const std::uint64_t, super_frame_frames> fixed(lens.items.data(), super_frame_frames);
    auto result = demod.decode(iq, symbols_per_frame, fixed);
    if (!result) {
        raise_value_error(error_message(result.error()));
        return std::unexpected(ErrorAlreadySet{});
    }
    return std::move(*result);
}

std::expected<DvbTFrameStreamDemod, DvbTStreamSetupError> make_stream_demod(const DvbTFrameParams& params,
                                                                           std::uint64_t n_symbols,
                                                                           std::uint64_t payload_len,
                                                                           bool integer_cfo_correction,
                                                                           std::uint64_t rx_window_backoff) {
    return DvbTFrameStreamDemod::create(params, n_symbols, payload_len, integer_cfo_correction, rx_window_backoff);
}

// A decoded frame, as it is.
DvbTRxFrame frame_of(DvbTRxFrame frame) { return frame; }

}  // namespace

template <>
struct Binding<DvbTFrameParams> {
    static constexpr FixedText name = "DvbTFrameParams";
    static constexpr FixedText doc =
        "DvbTFrameParams(guard, constellation, code_rate, frame_number=0, cell_id=0)\n--\n\n"
        "The transmission parameters of a DVB-T frame: guard interval (\"1/32\",\n"
        "\"1/16\", \"1/8\", \"1/4\"), constellation (\"qpsk\", \"qam16\", \"qam64\"),\n"
        "code rate (\"1/2\", \"2/3\", \"3/4\", \"5/6\", \"7/8\"), and the frame number and\n"
        "cell id that the TPS carriers signal (0..255 each; only the frame number's\n"
        "two low bits are sent).";
    static constexpr auto constructor = &make_params;
    static constexpr auto repr = [](const DvbTFrameParams& p) { return waveform::repr(p); };
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"guard", [](const DvbTFrameParams& p) { return std::string(waveform::guard_str(p.guard)); }>(),
            property<"constellation", [](const DvbTFrameParams& p) { return constellation_text(p.constellation); }>(),
            property<"code_rate", [](const DvbTFrameParams& p) { return std::string(waveform::rate_str(p.code_rate)); }>(),
            property<"frame_number", [](const DvbTFrameParams& p) { return p.frame_number; }>(),
            property<"cell_id", [](const DvbTFrameParams& p) { return p.cell_id; }>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTFrame> {
    static constexpr FixedText name = "DvbTFrame";
    static constexpr FixedText doc =
        "A modulated DVB-T frame: the time-domain IQ plus the numerology a receiver\n"
        "needs to acquire it.";
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"iq", [](const DvbTFrame& f) { return f.iq; }>(
                "The time-domain baseband IQ (no preamble; a whole number of OFDM symbols)."),
            property<"n_symbols", [](const DvbTFrame& f) { return f.n_symbols; }>(),
            property<"samples_per_symbol", [](const DvbTFrame& f) { return f.samples_per_symbol; }>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTRxFrame> {
    static constexpr FixedText name = "DvbTRxFrame";
    static constexpr FixedText doc = "One decoded DVB-T frame: its payload bytes and the TPS word it carried.";
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"payload", [](const DvbTRxFrame& f) { return ByteString{f.payload}; }>(),
            property<"tps", [](const DvbTRxFrame& f) { return f.tps; }>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<TpsWord> {
    static constexpr FixedText name = "TpsWord";
    static constexpr FixedText doc = "The transmission parameters recovered from a frame's TPS carriers.";
    static constexpr auto repr = [](const TpsWord& w) { return waveform::repr(w); };
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"frame_number", [](const TpsWord& w) { return w.frame_number; }>(),
            property<"constellation", [](const TpsWord& w) { return constellation_text(w.constellation); }>(),
            property<"code_rate", [](const TpsWord& w) { return std::string(waveform::rate_str(w.code_rate)); }>(),
            property<"guard", [](const TpsWord& w) { return std::string(waveform::guard_str(w.guard)); }>(),
            property<"cell_id", [](const TpsWord& w) { return w.cell_id; }>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTFrameMod> {
    static constexpr FixedText name = "DvbTFrameMod";
    static constexpr FixedText doc =
        "DvbTFrameMod(params)\n--\n\n"
        "Preamble-less DVB-T 2K frame modulator built from a `DvbTFrameParams`.\n"
        "`modulate(payload)` produces one `DvbTFrame` per call. Out-of-band shaping\n"
        "is off by default (see `with_symbol_window` and `with_tx_lowpass`).";
    static constexpr auto constructor = &make_frame_mod;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"modulate($self, payload)\n--\n\n"
                   "Modulates the payload bytes (1-D uint8 array, may be empty) into one\n"
                   "frame of at least 68 OFDM symbols, null-stuffed to its capacity.",
                   &DvbTFrameMod::modulate>(),
            method<"with_tx_lowpass($self, num_taps, stopband_db=60.0)\n--\n\n"
                   "Returns a copy that runs a Kaiser-windowed low-pass FIR across the\n"
                   "assembled frame, after the symbol taper, placed against the fixed\n"
                   "852-of-2048 band edge. Size it with `dvb_t_tx_lowpass_suggested_taps` and\n"
                   "test it against the guard with `dvb_t_tx_lowpass_fits_guard`.",
                   &DvbTFrameMod::with_tx_lowpass>(),
            method<"with_symbol_window($self, roll_off)\n--\n\n"
                   "Returns a copy that tapers the edges of every symbol with a raised cosine\n"
                   "of `roll_off` samples, reducing out-of-band emission. It is transparent to\n"
                   "a receiver only with a matching FFT-window back-off (roll_off = backoff =\n"
                   "cp/2, at most `dvb_t_max_rx_window_backoff()`). 0 switches it off.",
                   &DvbTFrameMod::with_symbol_window>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTFrameDemod> {
    static constexpr FixedText name = "DvbTFrameDemod";
    static constexpr FixedText doc =
        "DvbTFrameDemod(params)\n--\n\n"
        "Preamble-less DVB-T 2K frame demodulator built from a `DvbTFrameParams`.\n"
        "`decode(iq, n_symbols, payload_len)` recovers one frame, acquired from its\n"
        "guard intervals. Integer-CFO correction is off by default (see\n"
        "`with_integer_cfo_correction`); no fractional carrier offset is corrected.";
    static constexpr auto constructor = &make_frame_demod;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"decode($self, iq, n_symbols, payload_len)\n--\n\n"
                   "Decodes one frame from `iq` (1-D complex64, starting at or before the\n"
                   "frame's first cyclic prefix): `n_symbols` as the modulator reported it,\n"
                   "`payload_len` the payload's length in bytes. Raises `ValueError` on any\n"
                   "acquisition or decode failure. The result exposes `.payload` (bytes) and\n"
                   "`.tps`.",
                   [](DvbTFrameDemod& d, std::span<const Complex> iq, std::uint64_t n_symbols,
                      std::uint64_t payload_len) { return d.decode(iq, n_symbols, payload_len); }>(),
            method<"with_rx_window_backoff($self, backoff)\n--\n\n"
                   "Returns a copy whose FFT windows start `backoff` samples earlier, inside\n"
                   "the guard interval (used up to the cyclic-prefix length). Match a\n"
                   "transmit symbol taper with backoff = roll_off = cp/2, at most\n"
                   "`dvb_t_max_rx_window_backoff()`.",
                   [](const DvbTFrameDemod& d, std::uint64_t backoff) { return d.with_rx_window_backoff(backoff); }>(),
            method<"with_integer_cfo_correction($self, on)\n--\n\n"
                   "Returns a copy that searches for and removes a whole-subcarrier carrier\n"
                   "offset (up to 32 carriers either way) before acquisition.",
                   &DvbTFrameDemod::with_integer_cfo_correction>(),
            {},
        };
        return table;
    }
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"rx_window_backoff", [](const DvbTFrameDemod& d) { return d.rx_window_backoff(); }>(),
            property<"integer_cfo_correction", [](const DvbTFrameDemod& d) { return d.integer_cfo_correction(); }>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTSuperFrameParams> {
    static constexpr FixedText name = "DvbTSuperFrameParams";
    static constexpr FixedText doc =
        "DvbTSuperFrameParams(guard, constellation, code_rate, cell_id=0)\n--\n\n"
        "The transmission parameters of a DVB-T super-frame of four frames: guard\n"
        "interval, constellation and code rate as for `DvbTFrameParams`, and a 16-bit\n"
        "cell id whose high byte frames 0 and 2 signal and whose low byte frames 1\n"
        "and 3 signal. The frame numbers 0..3 are assigned by the modulator.";
    static constexpr auto constructor = &make_super_params;
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"guard", [](const DvbTSuperFrameParams& p) { return std::string(waveform::guard_str(p.guard)); }>(),
            property<"constellation", [](const DvbTSuperFrameParams& p) { return constellation_text(p.constellation); }>(),
            property<"code_rate", [](const DvbTSuperFrameParams& p) { return std::string(waveform::rate_str(p.code_rate)); }>(),
            property<"cell_id", [](const DvbTSuperFrameParams& p) { return p.cell_id; }>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTSuperFrame> {
    static constexpr FixedText name = "DvbTSuperFrame";
    static constexpr FixedText doc =
        "A modulated DVB-T super-frame: four frames of equal length, concatenated,\n"
        "with the numerology of each frame and the payload length each carries.";
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"iq", [](const DvbTSuperFrame& f) { return f.iq; }>(
                "The time-domain IQ of all four frames, concatenated (no preamble)."),
            property<"symbols_per_frame", [](const DvbTSuperFrame& f) { return f.symbols_per_frame; }>(),
            property<"samples_per_symbol", [](const DvbTSuperFrame& f) { return f.samples_per_symbol; }>(),
            property<"n_symbols", &DvbTSuperFrame::n_symbols>(
                "OFDM symbols across the whole super-frame (`4 \u00b7 symbols_per_frame`)."),
            property<"frame_payload_lens",
                     [](const DvbTSuperFrame& f) {
                         return std::vector<std::uint64_t>(f.frame_payload_lens.begin(), f.frame_payload_lens.end());
                     }>("The payload byte count carried by each of the four frames, in order."),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTSuperFrameMod> {
    static constexpr FixedText name = "DvbTSuperFrameMod";
    static constexpr FixedText doc =
        "DvbTSuperFrameMod(params)\n--\n\n"
        "DVB-T super-frame modulator: splits the payload over four frames (frame\n"
        "numbers 0..3, the cell id's bytes in their TPS), modulates each with the\n"
        "frame modulator and concatenates them. The symbol taper runs inside each\n"
        "frame; the transmit low-pass runs once over all four.";
    static constexpr auto constructor = &make_super_frame_mod;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"with_symbol_window($self, roll_off)\n--\n\n"
                   "Returns a copy whose frames taper every symbol's edges with a raised\n"
                   "cosine of `roll_off` samples (see `DvbTFrameMod.with_symbol_window`).",
                   &DvbTSuperFrameMod::with_symbol_window>(),
            method<"with_tx_lowpass($self, num_taps, stopband_db=60.0)\n--\n\n"
                   "Returns a copy that runs the transmit low-pass once across the four\n"
                   "concatenated frames (see `DvbTFrameMod.with_tx_lowpass`).",
                   &DvbTSuperFrameMod::with_tx_lowpass>(),
            method<"modulate($self, payload)\n--\n\n"
                   "Modulates the payload bytes (1-D uint8 array, may be empty) into one\n"
                   "super-frame.",
                   &DvbTSuperFrameMod::modulate>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTRxSuperFrame> {
    static constexpr FixedText name = "DvbTRxSuperFrame";
    static constexpr FixedText doc = "One decoded DVB-T super-frame: the four frames' payloads and the 16-bit cell id.";
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"payload", [](const DvbTRxSuperFrame& f) { return ByteString{f.payload}; }>(
                "The four frames' payloads, concatenated."),
            property<"cell_id", [](const DvbTRxSuperFrame& f) { return f.cell_id; }>(),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTSuperFrameDemod> {
    static constexpr FixedText name = "DvbTSuperFrameDemod";
    static constexpr FixedText doc =
        "DvbTSuperFrameDemod(params)\n--\n\n"
        "DVB-T super-frame demodulator built from a `DvbTSuperFrameParams`: decodes\n"
        "the four frames of one super-frame with the frame demodulator, checks that\n"
        "they carry the frame numbers 0..3 in order and reads the cell id from frames\n"
        "2 and 3. Integer-CFO correction is off by default.";
    static constexpr auto constructor = &make_super_frame_demod;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"decode($self, iq, symbols_per_frame, frame_payload_lens)\n--\n\n"
                   "Decodes one super-frame from `iq` (1-D complex64, starting at or before\n"
                   "frame 0's first cyclic prefix), given the modulator's `symbols_per_frame`\n"
                   "and its four `frame_payload_lens` (a list or tuple). Returns a\n"
                   "`DvbTRxSuperFrame`; raises `ValueError` naming the first failure.",
                   &decode_super_frame>(),
            method<"with_rx_window_backoff($self, backoff)\n--\n\n"
                   "Returns a copy whose frames are decoded with this FFT-window back-off (see\n"
                   "`DvbTFrameDemod.with_rx_window_backoff`).",
                   [](const DvbTSuperFrameDemod& d, std::uint64_t backoff) { return d.with_rx_window_backoff(backoff); }>(),
            method<"with_integer_cfo_correction($self, on)\n--\n\n"
                   "Returns a copy whose frames each search for and remove a whole-subcarrier\n"
                   "carrier offset (see `DvbTFrameDemod.with_integer_cfo_correction`).",
                   &DvbTSuperFrameDemod::with_integer_cfo_correction>(),
            {},
        };
        return table;
    }
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"rx_window_backoff", [](const DvbTSuperFrameDemod& d) { return d.rx_window_backoff(); }>(
                "The receiver FFT-window back-off in samples."),
            property<"integer_cfo_correction", [](const DvbTSuperFrameDemod& d) { return d.integer_cfo_correction(); }>(
                "Whether internal integer-CFO correction is enabled."),
            {},
        };
        return table;
    }
};

template <>
struct Binding<DvbTFrameStreamDemod> {
    static constexpr FixedText name = "DvbTFrameStreamDemod";
    static constexpr FixedText doc =
        "DvbTFrameStreamDemod(params, n_symbols, payload_len, integer_cfo_correction=False, rx_window_backoff=0)\n--\n\n"
        "Streaming DVB-T receiver of frames of one fixed size. Push IQ with `feed()`;\n"
        "it acquires each frame by its guard interval and decodes it as soon as its\n"
        "samples and one symbol period more have arrived, and returns the completed\n"
        "ones. `flush()` runs a final pass over the residual buffer. The two keyword\n"
        "options are set once here.";
    static constexpr auto constructor = &make_stream_demod;
    static PyMethodDef* methods() {
        static PyMethodDef table[] = {
            method<"feed($self, iq)\n--\n\n"
                   "Appends `iq` (1-D complex64) and returns the decoded `DvbTRxFrame`s that\n"
                   "completed, in stream order. Frames that fail to decode are omitted; use\n"
                   "`feed_with_errors` to see why.",
                   [](DvbTFrameStreamDemod& d, std::span<const Complex> iq) { return successes_of(d.feed(iq), frame_of); }>(),
            method<"feed_with_errors($self, iq)\n--\n\n"
                   "Like `feed`, but returns a list of `(frame_or_None, error_or_None)` tuples,\n"
                   "one per attempted frame.",
                   [](DvbTFrameStreamDemod& d, std::span<const Complex> iq) { return tuples_of(d.feed(iq), frame_of); }>(),
            method<"flush($self)\n--\n\n"
                   "Runs a final decode pass over the residual buffer and returns the decoded\n"
                   "frames as `feed` does. A frame is tried only with one symbol period of\n"
                   "samples after it: to flush the last frame of a recording, first feed\n"
                   "`samples_per_symbol` zeros.",
                   [](DvbTFrameStreamDemod& d) { return successes_of(d.drain(), frame_of); }>(),
            method<"clear($self)\n--\n\n"
                   "Discards the accumulated buffer.",
                   &DvbTFrameStreamDemod::clear>(),
            {},
        };
        return table;
    }
    static PyGetSetDef* properties() {
        static PyGetSetDef table[] = {
            property<"buffered", &DvbTFrameStreamDemod::buffered>("Number of accumulated (not-yet-consumed) samples."),
            property<"rx_window_backoff", &DvbTFrameStreamDemod::rx_window_backoff>(),
            property<"integer_cfo_correction", &DvbTFrameStreamDemod::integer_cfo_correction>(),
            {},
        };
        return table;
    }
};

}  // namespace kavro::python::binding

namespace kavro::python::dvb_t_frame {

int register_group(PyObject* module) {
    using namespace binding;
    using waveform::DvbTFrameParams;
    using waveform::TpsWord;
    for (auto add : {
             add_class<DvbTFrameParams>,
             add_class<DvbTFrame>,
             add_class<DvbTRxFrame>,
             add_class<TpsWord>,
             add_class<DvbTFrameMod>,
             add_class<DvbTFrameDemod>,
             add_class<DvbTSuperFrameParams>,
             add_class<DvbTSuperFrame>,
             add_class<DvbTRxSuperFrame>,
             add_class<DvbTSuperFrameMod>,
             add_class<DvbTSuperFrameDemod>,
             add_class<DvbTFrameStreamDemod>,
             add_function<"nb_bandwidth_fs(mode)\n--\n\n"
                          "The sample rate of a narrowband mode (\"333khz\", \"1mhz\", \"2mhz\"; or\n"
                          "\"333k\", \"1m\", \"2m\"): the 2K structure scaled so that 1705 carriers span\n"
                          "the occupied bandwidth.",
                          &waveform::nb_bandwidth_fs>,
             add_function<"nb_bandwidth_occupied_hz(mode)\n--\n\n"
                          "The occupied bandwidth in Hz of a narrowband mode.",
                          &waveform::nb_bandwidth_occupied_hz>,
             add_function<"dvb_t_cp_len(guard)\n--\n\n"
                          "The cyclic-prefix length in samples of a guard interval: 64, 128, 256\n"
                          "or 512 for \"1/32\", \"1/16\", \"1/8\", \"1/4\".",
                          &waveform::dvb_t_cp_len>,
             add_function<"dvb_t_max_rx_window_backoff()\n--\n\n"
                          "The largest FFT-window back-off a receiver may use, 85 samples for every\n"
                          "guard interval (the scattered pilots sample the channel every 12\n"
                          "carriers). With the back-off at half the cyclic prefix but at most 85,\n"
                          "the shaping budget of \"1/32\", \"1/16\", \"1/8\", \"1/4\" is 32, 64, 85 and\n"
                          "85 samples.",
                          &waveform::dvb_t_max_rx_window_backoff>,
             add_function<"dvb_t_tx_lowpass_suggested_taps(stopband_db=60.0)\n--\n\n"
                          "The odd transmit low-pass length whose Kaiser transition fills the band\n"
                          "from the 852-of-2048 edge to half the sample rate.",
                          &waveform::dvb_t_tx_lowpass_suggested_taps>,
             add_function<"dvb_t_tx_lowpass_group_delay(num_taps)\n--\n\n"
                          "The transmit low-pass reach in samples on either side: max(num_taps, 3) // 2.",
                          &waveform::dvb_t_tx_lowpass_group_delay>,
             add_function<"dvb_t_tx_lowpass_fits_guard(guard, num_taps, roll_off, backoff)\n--\n\n"
                          "Whether roll_off plus the low-pass group delay fits in min(backoff,\n"
                          "cp - backoff), the prefix samples a receiver with that window back-off\n"
                          "discards on both sides.",
                          &waveform::dvb_t_tx_lowpass_fits_guard>,
         })
        if (add(module) != 0) return -1;
    return 0;
}

}  // namespace kavro::python::dvb_t_frame
