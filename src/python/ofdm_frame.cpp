// Python classes of the frame-link group, added in their fixed order.

#include <memory>
#include <optional>

#include "demodulate/ofdm_frame/frame_body_decoder.hpp"
#include "demodulate/ofdm_frame/stream_receiver.hpp"
#include "modulate/ofdm_frame/frame_assembly.hpp"
#include "waveform/ofdm_frame/frame_packet.hpp"
#include "fec/chain/mcs_table.hpp"
#include "python/groups.hpp"
#include "python/ofdm.hpp"
#include "python/stream_results.hpp"

namespace kavro::python::binding {

// The Python CodecCache: one counted handle on a cache that frame objects given it share.
struct SharedCodecCache {
    std::shared_ptr<fec::CodecCache> cache = std::make_shared<fec::CodecCache>();
};

namespace {

std::shared_ptr<fec::CodecCache> cache_of(const std::optional<SharedCodecCache>& cache) {
    return cache ? cache->cache : nullptr;  // none: the object makes its own
}

// The modulator and the streaming receiver, which both know the preamble's shape.
template <class T>
std::expected<T, waveform::FrameLinkError> make_with_preamble(const OfdmConfig& cfg, const fec::McsTable& mcs_table,
                                                              std::uint64_t num_repeats, std::uint64_t repeat_len,
                                                              std::optional<SharedCodecCache> cache) {
    return T::create(cfg, mcs_table.entries(), num_repeats, repeat_len, cache_of(cache));
}

std::expected<OfdmFrameDemod, waveform::FrameLinkError> make_frame_demod(const OfdmConfig& cfg,
                                                                         const fec::McsTable& mcs_table,
                                                                         std::optional<SharedCodecCache> cache) {
    return OfdmFrameDemod::create(cfg, mcs_table.entries(), cache_of(cache));
}

// A decoded frame's packet.
waveform::FramePacket packet_of(OfdmFrameStreamDemod::Outcome::value_type frame) {
    return std::move(frame).packet();
}

}  // namespace

template <>
struct Binding<SharedCodecCache> {
    static constexpr FixedText doc =
        "CodecCache()\n--\n\n"
        "A shared cache of constructed FEC codes (LDPC/BCH/Reed\u2013Solomon).\n"
        "\n"
        "Building a code \u2014 the LDPC parity-check matrix above all \u2014 costs\n"
        "milliseconds and is a pure function of its parameters, so it need only be\n"
        "done once per link. Pass one `CodecCache` to an `OfdmFrameMod`, an\n"
        "`OfdmFrameStreamDemod`, and/or an `OfdmFrameDemod` (via their `cache=`\n"
        "argument) to build each code once and reuse it across all of them \u2014 e.g. a\n"
        "transmitter and receiver on the same MCS then share the built codes. Omitting\n"
        "`cache=` gives each object its own private cache, which still amortizes\n"
        "across that object's own calls.";
    static constexpr auto constructor = construct<SharedCodecCache>;
};

template <>
struct Binding<waveform::FramePacket> {
    static constexpr FixedText doc =
        "FramePacket(payload, sequence_num=0, mcs_index=0, flags=0)\n--\n\n"
        "A MAC-layer frame: metadata (sequence number, MCS index, flags) plus an\n"
        "opaque byte payload.";
    static constexpr auto constructor = &waveform::FramePacket::create;
    static constexpr auto properties = property_table(property<"payload", &waveform::FramePacket::payload_copy>(),
                                                      property<"sequence_num", &waveform::FramePacket::sequence_num>(),
                                                      property<"mcs_index", &waveform::FramePacket::mcs_index>(),
                                                      property<"flags", &waveform::FramePacket::flags>());
};

template <>
struct Binding<fec::McsTable> {
    static constexpr FixedText doc =
        "McsTable()\n--\n\n"
        "Maps each frame's `mcs_index` to a modulation-and-coding scheme. Build it\n"
        "by adding entries; the sender and receiver must share the same table.";
    static constexpr auto constructor = construct<fec::McsTable>;
    static constexpr auto methods = method_table(
        method<"add($self, constellation, inner_kind=\"none\", inner_code=\"\", outer_kind=\"none\", outer_a=0, "
               "outer_b=0)\n--\n\n"
               "Appends an MCS entry. `constellation` is one of\n"
               "\"bpsk\"|\"qpsk\"|\"qam16\"|\"qam64\"|\"qam256\"; `inner`/`outer` mirror\n"
               "`OfdmConfig.with_inner_fec`/`with_outer_fec` (`inner_kind`, `inner_code`,\n"
               "`outer_kind`, `outer_a`, `outer_b`).",
               &fec::McsTable::add>(),
        static_method<fec::McsTable,
                      "default_ladder()\n--\n\n"
                      "The default ladder: BPSK/QPSK/QAM-16/QAM-64, each with an LDPC(n512r12)\n"
                      "inner code and a BCH(t=8) outer code.",
                      &fec::McsTable::default_ladder>());
    static constexpr auto properties = property_table(property<"len", &fec::McsTable::len>());
};

template <>
struct Binding<OfdmFrameMod> {
    static constexpr FixedText doc =
        "OfdmFrameMod(cfg, mcs_table, num_repeats=4, repeat_len=16, cache=None)\n--\n\n"
        "COFDM frame transmitter: serializes a `FramePacket` to a flat IQ stream\n"
        "(`[preamble + training][header][payload]`), applying the concatenated FEC\n"
        "chain configured on the `OfdmConfig` and selected per frame by the MCS\n"
        "table.";
    static constexpr auto constructor = &make_with_preamble<OfdmFrameMod>;
    static constexpr auto methods = method_table(
        method<"modulate_frame($self, frame, per_frame_seed=0)\n--\n\n"
               "Modulates a whole frame into IQ. `per_frame_seed` supplies the\n"
               "scrambler seed for a per-frame-random configuration (ignored otherwise).",
               &OfdmFrameMod::modulate_frame>());
};

template <>
struct Binding<OfdmFrameStreamDemod> {
    static constexpr FixedText doc =
        "OfdmFrameStreamDemod(cfg, mcs_table, num_repeats=4, repeat_len=16, cache=None)\n--\n\n"
        "Streaming COFDM frame receiver. Push IQ with `feed()`; it locates\n"
        "preambles, corrects CFO, estimates the channel from the training symbol,\n"
        "decodes each frame, and returns the completed ones. `flush()` runs a final\n"
        "pass over the residual buffer.";
    static constexpr auto constructor = &make_with_preamble<OfdmFrameStreamDemod>;
    static constexpr auto methods = stream_calls<
        OfdmFrameStreamDemod, packet_of, &OfdmFrameStreamDemod::flush,
        "Feeds IQ and returns the frames that completed. Frames that failed to\n"
        "decode (bad CRC/FEC/header) are omitted; use `feed_with_errors` to see\n"
        "the error reasons.",
        "Like `feed`, but returns a list of `(frame_or_None, error_or_None)`\n"
        "tuples so callers can observe decode failures.",
        "Runs a final decode pass over the residual buffer.">;
    static constexpr auto properties = property_table(buffered_property<OfdmFrameStreamDemod>);
};

template <>
struct Binding<OfdmFrameDemod> {
    static constexpr FixedText doc =
        "OfdmFrameDemod(cfg, mcs_table, cache=None)\n--\n\n"
        "The batch COFDM frame demodulator \u2014 decodes a single frame at a known start\n"
        "(`iq[0]` is the first sample after the preamble+training, already\n"
        "synchronized). The counterpart of `OfdmFrameMod`. Pass `cache=` a `CodecCache`\n"
        "to reuse built FEC codes across calls (or share them with a modulator).";
    static constexpr auto constructor = &make_frame_demod;
    static constexpr auto methods = method_table(
        method<"decode($self, iq)\n--\n\n"
               "Decodes one frame whose IQ begins at the first post-preamble sample.\n"
               "Raises `ValueError` on a decode failure.",
               &OfdmFrameDemod::decode>());
};

}  // namespace kavro::python::binding

namespace kavro::python::ofdm_frame {

int register_group(PyObject* module) {
    using namespace binding;
    return add_all(module, {add_class<SharedCodecCache>, add_class<waveform::FramePacket>, add_class<fec::McsTable>,
                            add_class<OfdmFrameMod>, add_class<OfdmFrameStreamDemod>, add_class<OfdmFrameDemod>});
}

}  // namespace kavro::python::ofdm_frame
