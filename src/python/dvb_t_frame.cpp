// Python classes and functions of the DVB-T group, added in their fixed order.

#include <string>
#include <vector>

#include "demodulate/dvb_t_frame.hpp"
#include "demodulate/dvb_t_stream.hpp"
#include "demodulate/dvb_t_super_frame.hpp"
#include "modulate/dvb_t_frame.hpp"
#include "modulate/dvb_t_super_frame.hpp"
#include "python/stream_results.hpp"
#include "python/groups.hpp"
#include "waveform/dvb_t_params.hpp"
#include "waveform/dvb_t_tps.hpp"

namespace kavro::python::binding {

namespace {

using waveform::DvbTFrameParams;
using waveform::DvbTKeywordError;
using waveform::DvbTSuperFrameParams;
using waveform::super_frame_frames;
using waveform::TpsWord;

std::expected<std::string, DvbTKeywordError> constellation_text(ConstellationOrder order) {
    const auto text = waveform::constellation_str(order);
    if (!text) return std::unexpected(text.error());
    return std::string(*text);
}

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

// A decoded frame, as it is.
DvbTRxFrame frame_of(DvbTRxFrame frame) { return frame; }

// The keywords that frame parameters and TPS words carry, read back as their texts.
template <class P>
constexpr auto guard_property = property<"guard", [](const P& p) { return std::string(waveform::guard_str(p.guard)); }>();
template <class P>
constexpr auto constellation_property =
    property<"constellation", [](const P& p) { return constellation_text(p.constellation); }>();
template <class P>
constexpr auto code_rate_property =
    property<"code_rate", [](const P& p) { return std::string(waveform::rate_str(p.code_rate)); }>();
template <class P>
constexpr auto keyword_properties = property_table(guard_property<P>, constellation_property<P>, code_rate_property<P>);

// The options of a frame receiver, read back.
template <class D>
constexpr auto option_properties = property_table(property<"rx_window_backoff", &D::rx_window_backoff>(),
                                                  property<"integer_cfo_correction", &D::integer_cfo_correction>());

}  // namespace

template <>
struct Binding<DvbTFrameParams> {
    static constexpr FixedText doc =
        "DvbTFrameParams(guard, constellation, code_rate, frame_number=0, cell_id=0)\n--\n\n"
        "The transmission parameters of a DVB-T frame: guard interval (\"1/32\",\n"
        "\"1/16\", \"1/8\", \"1/4\"), constellation (\"qpsk\", \"qam16\", \"qam64\"),\n"
        "code rate (\"1/2\", \"2/3\", \"3/4\", \"5/6\", \"7/8\"), and the frame number and\n"
        "cell id that the TPS carriers signal (0..255 each; only the frame number's\n"
        "two low bits are sent).";
    static constexpr auto constructor = &DvbTFrameParams::create;
    static constexpr auto repr = [](const DvbTFrameParams& p) { return waveform::repr(p); };
    static constexpr auto properties = property_table(keyword_properties<DvbTFrameParams>,
                                                      property<"frame_number", &DvbTFrameParams::frame_number>(),
                                                      property<"cell_id", &DvbTFrameParams::cell_id>());
};

template <>
struct Binding<DvbTFrame> {
    static constexpr FixedText name = "DvbTFrame";
    static constexpr FixedText doc =
        "A modulated DVB-T frame: the time-domain IQ plus the numerology a receiver\n"
        "needs to acquire it.";
    static constexpr auto properties = property_table(
        property<"iq", &DvbTFrame::iq>("The time-domain baseband IQ (no preamble; a whole number of OFDM symbols)."),
        property<"n_symbols", &DvbTFrame::n_symbols>(), property<"samples_per_symbol", &DvbTFrame::samples_per_symbol>());
};

template <>
struct Binding<DvbTRxFrame> {
    static constexpr FixedText name = "DvbTRxFrame";
    static constexpr FixedText doc = "One decoded DVB-T frame: its payload bytes and the TPS word it carried.";
    static constexpr auto properties = property_table(
        property<"payload", [](const DvbTRxFrame& f) { return ByteString{f.payload}; }>(),
        property<"tps", &DvbTRxFrame::tps>());
};

template <>
struct Binding<TpsWord> {
    static constexpr FixedText name = "TpsWord";
    static constexpr FixedText doc = "The transmission parameters recovered from a frame's TPS carriers.";
    static constexpr auto repr = [](const TpsWord& w) { return waveform::repr(w); };
    static constexpr auto properties =
        property_table(property<"frame_number", &TpsWord::frame_number>(), constellation_property<TpsWord>,
                       code_rate_property<TpsWord>, guard_property<TpsWord>, property<"cell_id", &TpsWord::cell_id>());
};

template <>
struct Binding<DvbTFrameMod> {
    static constexpr FixedText doc =
        "DvbTFrameMod(params)\n--\n\n"
        "Preamble-less DVB-T 2K frame modulator built from a `DvbTFrameParams`.\n"
        "`modulate(payload)` produces one `DvbTFrame` per call. Out-of-band shaping\n"
        "is off by default (see `with_symbol_window` and `with_tx_lowpass`).";
    static constexpr auto constructor = construct<DvbTFrameMod, const DvbTFrameParams&>;
    static constexpr auto methods = method_table(
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
               &DvbTFrameMod::with_symbol_window>());
};

template <>
struct Binding<DvbTFrameDemod> {
    static constexpr FixedText doc =
        "DvbTFrameDemod(params)\n--\n\n"
        "Preamble-less DVB-T 2K frame demodulator built from a `DvbTFrameParams`.\n"
        "`decode(iq, n_symbols, payload_len)` recovers one frame, acquired from its\n"
        "guard intervals. Integer-CFO correction is off by default (see\n"
        "`with_integer_cfo_correction`); the fractional carrier offset is measured\n"
        "from the guard intervals and removed.";
    static constexpr auto constructor = construct<DvbTFrameDemod, const DvbTFrameParams&>;
    static constexpr auto methods = method_table(
        method<"decode($self, iq, n_symbols, payload_len)\n--\n\n"
               "Decodes one frame from `iq` (1-D complex64, starting at or before the\n"
               "frame's first cyclic prefix): `n_symbols` as the modulator reported it,\n"
               "`payload_len` the payload's length in bytes. Raises `ValueError` on any\n"
               "acquisition or decode failure. The result exposes `.payload` (bytes) and\n"
               "`.tps`.",
               &DvbTFrameDemod::decode>(),
        method<"with_rx_window_backoff($self, backoff)\n--\n\n"
               "Returns a copy whose FFT windows start `backoff` samples earlier, inside\n"
               "the guard interval (used up to the cyclic-prefix length). Match a\n"
               "transmit symbol taper with backoff = roll_off = cp/2, at most\n"
               "`dvb_t_max_rx_window_backoff()`.",
               &DvbTFrameDemod::with_rx_window_backoff>(),
        method<"with_integer_cfo_correction($self, on)\n--\n\n"
               "Returns a copy that searches for and removes a whole-subcarrier carrier\n"
               "offset (up to 32 carriers either way) before acquisition.",
               &DvbTFrameDemod::with_integer_cfo_correction>());
    static constexpr auto properties = option_properties<DvbTFrameDemod>;
};

template <>
struct Binding<DvbTSuperFrameParams> {
    static constexpr FixedText doc =
        "DvbTSuperFrameParams(guard, constellation, code_rate, cell_id=0)\n--\n\n"
        "The transmission parameters of a DVB-T super-frame of four frames: guard\n"
        "interval, constellation and code rate as for `DvbTFrameParams`, and a 16-bit\n"
        "cell id whose high byte frames 0 and 2 signal and whose low byte frames 1\n"
        "and 3 signal. The frame numbers 0..3 are assigned by the modulator.";
    static constexpr auto constructor = &DvbTSuperFrameParams::create;
    static constexpr auto properties =
        property_table(keyword_properties<DvbTSuperFrameParams>, property<"cell_id", &DvbTSuperFrameParams::cell_id>());
};

template <>
struct Binding<DvbTSuperFrame> {
    static constexpr FixedText name = "DvbTSuperFrame";
    static constexpr FixedText doc =
        "A modulated DVB-T super-frame: four frames of equal length, concatenated,\n"
        "with the numerology of each frame and the payload length each carries.";
    static constexpr auto properties = property_table(
        property<"iq", &DvbTSuperFrame::iq>("The time-domain IQ of all four frames, concatenated (no preamble)."),
        property<"symbols_per_frame", &DvbTSuperFrame::symbols_per_frame>(),
        property<"samples_per_symbol", &DvbTSuperFrame::samples_per_symbol>(),
        property<"n_symbols", &DvbTSuperFrame::n_symbols>(
            "OFDM symbols across the whole super-frame (`4 \u00b7 symbols_per_frame`)."),
        property<"frame_payload_lens",
                 [](const DvbTSuperFrame& f) {
                     return std::vector<std::uint64_t>(f.frame_payload_lens.begin(), f.frame_payload_lens.end());
                 }>("The payload byte count carried by each of the four frames, in order."));
};

template <>
struct Binding<DvbTSuperFrameMod> {
    static constexpr FixedText doc =
        "DvbTSuperFrameMod(params)\n--\n\n"
        "DVB-T super-frame modulator: splits the payload over four frames (frame\n"
        "numbers 0..3, the cell id's bytes in their TPS), modulates each with the\n"
        "frame modulator and concatenates them. The symbol taper runs inside each\n"
        "frame; the transmit low-pass runs once over all four.";
    static constexpr auto constructor = construct<DvbTSuperFrameMod, const DvbTSuperFrameParams&>;
    static constexpr auto methods = method_table(
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
               &DvbTSuperFrameMod::modulate>());
};

template <>
struct Binding<DvbTRxSuperFrame> {
    static constexpr FixedText name = "DvbTRxSuperFrame";
    static constexpr FixedText doc = "One decoded DVB-T super-frame: the four frames' payloads and the 16-bit cell id.";
    static constexpr auto properties = property_table(
        property<"payload", [](const DvbTRxSuperFrame& f) { return ByteString{f.payload}; }>(
            "The four frames' payloads, concatenated."),
        property<"cell_id", &DvbTRxSuperFrame::cell_id>());
};

template <>
struct Binding<DvbTSuperFrameDemod> {
    static constexpr FixedText doc =
        "DvbTSuperFrameDemod(params)\n--\n\n"
        "DVB-T super-frame demodulator built from a `DvbTSuperFrameParams`: decodes\n"
        "the four frames of one super-frame with the frame demodulator, checks that\n"
        "they carry the frame numbers 0..3 in order and reads the cell id from frames\n"
        "2 and 3. Integer-CFO correction is off by default.";
    static constexpr auto constructor = construct<DvbTSuperFrameDemod, const DvbTSuperFrameParams&>;
    static constexpr auto methods = method_table(
        method<"decode($self, iq, symbols_per_frame, frame_payload_lens)\n--\n\n"
               "Decodes one super-frame from `iq` (1-D complex64, starting at or before\n"
               "frame 0's first cyclic prefix), given the modulator's `symbols_per_frame`\n"
               "and its four `frame_payload_lens` (a list or tuple). Returns a\n"
               "`DvbTRxSuperFrame`; raises `ValueError` naming the first failure.",
               &decode_super_frame>(),
        method<"with_rx_window_backoff($self, backoff)\n--\n\n"
               "Returns a copy whose frames are decoded with this FFT-window back-off (see\n"
               "`DvbTFrameDemod.with_rx_window_backoff`).",
               &DvbTSuperFrameDemod::with_rx_window_backoff>(),
        method<"with_integer_cfo_correction($self, on)\n--\n\n"
               "Returns a copy whose frames each search for and remove a whole-subcarrier\n"
               "carrier offset (see `DvbTFrameDemod.with_integer_cfo_correction`).",
               &DvbTSuperFrameDemod::with_integer_cfo_correction>());
    static constexpr auto properties = property_table(
        property<"rx_window_backoff", &DvbTSuperFrameDemod::rx_window_backoff>("The receiver FFT-window back-off in samples."),
        property<"integer_cfo_correction", &DvbTSuperFrameDemod::integer_cfo_correction>(
            "Whether internal integer-CFO correction is enabled."));
};

template <>
struct Binding<DvbTFrameStreamDemod> {
    static constexpr FixedText doc =
        "DvbTFrameStreamDemod(params, n_symbols, payload_len, integer_cfo_correction=False, rx_window_backoff=0)\n--\n\n"
        "Streaming DVB-T receiver of frames of one fixed size. Push IQ with `feed()`;\n"
        "it acquires each frame by its guard interval and decodes it as soon as its\n"
        "samples and one symbol period more have arrived, and returns the completed\n"
        "ones. `flush()` runs a final pass over the residual buffer. The two keyword\n"
        "options are set once here.";
    static constexpr auto constructor = &DvbTFrameStreamDemod::create;
    static constexpr auto methods = stream_calls<
        DvbTFrameStreamDemod, frame_of, &DvbTFrameStreamDemod::drain,
        "Appends `iq` (1-D complex64) and returns the decoded `DvbTRxFrame`s that\n"
        "completed, in stream order. Frames that fail to decode are omitted; use\n"
        "`feed_with_errors` to see why.",
        "Like `feed`, but returns a list of `(frame_or_None, error_or_None)` tuples,\n"
        "one per attempted frame.",
        "Runs a final decode pass over the residual buffer and returns the decoded\n"
        "frames as `feed` does. A frame is tried only with one symbol period of\n"
        "samples after it: to flush the last frame of a recording, first feed\n"
        "`samples_per_symbol` zeros.">;
    static constexpr auto properties =
        property_table(buffered_property<DvbTFrameStreamDemod>, option_properties<DvbTFrameStreamDemod>);
};

}  // namespace kavro::python::binding

namespace kavro::python::dvb_t_frame {

int register_group(PyObject* module) {
    using namespace binding;
    using waveform::DvbTFrameParams;
    using waveform::DvbTSuperFrameParams;
    using waveform::TpsWord;
    return add_all(module, {
             add_class<DvbTFrameParams>, add_class<DvbTFrame>, add_class<DvbTRxFrame>, add_class<TpsWord>,
             add_class<DvbTFrameMod>, add_class<DvbTFrameDemod>, add_class<DvbTSuperFrameParams>,
             add_class<DvbTSuperFrame>, add_class<DvbTRxSuperFrame>, add_class<DvbTSuperFrameMod>,
             add_class<DvbTSuperFrameDemod>, add_class<DvbTFrameStreamDemod>,
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
         });
}

}  // namespace kavro::python::dvb_t_frame
