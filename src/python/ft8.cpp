// Python classes and functions of the FT8 family, added in their fixed order: the modem and
// codec classes, the candidate searches, then the message functions.

#include <concepts>
#include <optional>

#include "codec/ft4.hpp"
#include "codec/ft8.hpp"
#include "demodulate/ft4.hpp"
#include "demodulate/ft8.hpp"
#include "message/message_functions.hpp"
#include "modulate/ft4.hpp"
#include "modulate/ft8.hpp"
#include "python/binding/frame.hpp"
#include "python/ft8_messages.hpp"
#include "python/groups.hpp"
#include "sync/costas.hpp"
#include "sync/ft4_sync.hpp"

namespace kavro::python::binding {

namespace {

using Decoded = std::expected<std::optional<codec::Payload>, codec::FtLengthError>;

std::expected<std::optional<ByteString>, codec::FtLengthError> as_bytes(Decoded decoded) {
    if (!decoded) return std::unexpected(decoded.error());
    if (!*decoded) return std::optional<ByteString>{};
    return ByteString{{(*decoded)->begin(), (*decoded)->end()}};
}

template <class T>
concept FtCodec = std::same_as<T, codec::Ft8Codec> || std::same_as<T, codec::Ft4Codec>;

}  // namespace

// A candidate of ft8_sync and ft4_sync, as a dict.
template <>
struct DictFields<SyncResult> {
    static constexpr std::array<const char*, 4> keys{"time_sym", "freq_bin", "score", "llr"};
    static auto values(const SyncResult& r) { return std::tuple(r.time_sym, r.freq_bin, r.score, r.llr); }
};

// Each kind of class is one binding for both modes, its texts given for FT8, then FT4.
template <codec::FtMode M, const codec::ToneFrame& Frame>
struct Binding<ToneFrameMod<M, Frame>> {
    using T = ToneFrameMod<M, Frame>;
    static constexpr bool ft8 = M == codec::FtMode::Ft8;
    static constexpr FixedText doc =
        pick<ft8>("Ft8Mod(fs, base_hz, rf_hz, gain)\n--\n\n", "Ft4Mod(fs, base_hz, rf_hz, gain)\n--\n\n");
    static constexpr auto constructor = construct<T, float, float, float, float>;
    static constexpr auto methods = method_table(
        method<pick<ft8>("modulate($self, tones)\n--\n\n"
                         "Modulate 58 tone indices into a 151 680-sample complex64 IQ waveform.",
                         "modulate($self, tones)\n--\n\n"
                         "Modulate 87 tone indices into a 60 480-sample complex64 IQ waveform."),
               &T::modulate>());
};

template <codec::FtMode M, const codec::ToneFrame& Frame, const auto& Offsets>
struct Binding<ToneFrameDemod<M, Frame, Offsets>> {
    using T = ToneFrameDemod<M, Frame, Offsets>;
    static constexpr bool ft8 = M == codec::FtMode::Ft8;
    static constexpr FixedText doc = pick<ft8>("Ft8Demod(fs, base_hz)\n--\n\n", "Ft4Demod(fs, base_hz)\n--\n\n");
    static constexpr auto constructor = construct<T, float, float>;
    static constexpr auto methods = method_table(
        method<pick<ft8>("demodulate($self, iq)\n--\n\n"
                         "Demodulate a 151 680-sample IQ block into 58 tone indices (uint8).",
                         "demodulate($self, iq)\n--\n\n"
                         "Demodulate a 60 480-sample IQ block into 87 tone indices (uint8)."),
               &T::demodulate>());
};

template <FtCodec T>
struct Binding<T> {
    static constexpr bool ft8 = std::same_as<T, codec::Ft8Codec>;
    static constexpr FixedText doc = pick<ft8>("Ft8Codec()\n--\n\n", "Ft4Codec()\n--\n\n");
    static constexpr auto constructor = construct<T>;
    static constexpr auto methods = method_table(
        static_method<T,
                      pick<ft8>("encode(payload)\n--\n\n"
                                "Encode a 10-byte payload into 58 Gray-coded tone indices (uint8).",
                                "encode(payload)\n--\n\n"
                                "Encode a 10-byte payload into 87 Gray-coded tone indices (uint8)."),
                      [](BytesArg payload) { return T::encode(payload.data); }>(),
        static_method<T,
                      pick<ft8>("decode_hard(tones)\n--\n\n"
                                "Hard-decision decode 58 tone indices \u2192 bytes[10] or None.",
                                "decode_hard(tones)\n--\n\n"
                                "Hard-decision decode 87 tone indices \u2192 bytes[10] or None."),
                      [](std::span<const std::uint8_t> tones) { return as_bytes(T::decode_hard(tones)); }>(),
        static_method<T,
                      "decode_soft(llr)\n--\n\n"
                      "Soft-decision decode float32[174] LLRs \u2192 bytes[10] or None.",
                      [](std::span<const float> llr) { return as_bytes(T::decode_soft(llr)); }>());
};

}  // namespace kavro::python::binding

namespace kavro::python::ft8 {

namespace {

// ft8_sync and ft4_sync: one text but for the function's name and the mode's.
template <binding::FixedText Function, binding::FixedText Mode>
constexpr auto sync_doc =
    binding::joined<Function, "(iq, fs, base_hz, max_hz, t_min, t_max, max_cand)\n--\n\nSynchronise an ", Mode,
                    " IQ buffer and return up to `max_cand` candidates.\n"
                    "\n"
                    "Returns a list of dicts:\n"
                    "  {\"time_sym\": int, \"freq_bin\": int, \"score\": float, \"llr\": float32[174]}">;

// ft8_pack_standard, ft8_pack_free_text, ft8_pack_telemetry, ft8_unpack.
using binding::ByteString;
using binding::BytesArg;
using message::MessageError;

std::expected<ByteString, MessageError> as_bytes(const std::expected<message::Payload, MessageError>& payload) {
    if (!payload) return std::unexpected(payload.error());
    return ByteString{{payload->begin(), payload->end()}};
}

std::expected<ByteString, MessageError> pack_standard(std::string_view call_to, std::string_view call_de,
                                                      std::string_view extra) {
    return as_bytes(message::ft8_pack_standard(call_to, call_de, extra));
}

std::expected<ByteString, MessageError> pack_free_text(std::string_view text) {
    return as_bytes(message::ft8_pack_free_text(text));
}

std::expected<ByteString, MessageError> pack_telemetry(BytesArg data) {
    return as_bytes(message::ft8_pack_telemetry(data.data));
}

std::expected<message::Ft8Message, MessageError> unpack(BytesArg payload) { return message::ft8_unpack(payload.data); }

int register_messages(PyObject* module) {
    using namespace binding;
    return add_all(module,
                   {add_function<"ft8_pack_standard(call_to, call_de, extra)\n--\n\n"
                                 "Pack a standard FT8 message (two callsigns + extra) → bytes[10].\n"
                                 "\n"
                                 "`extra` may be a Maidenhead grid (\"FN31\"), signal report (\"+07\", \"-12\"),\n"
                                 "R-prefixed report (\"R+05\"), or token (\"RRR\", \"RR73\", \"73\").",
                                 &pack_standard>,
                    add_function<"ft8_pack_free_text(text)\n--\n\n"
                                 "Pack a free-text FT8 message (up to 13 chars, base-42) → bytes[10].",
                                 &pack_free_text>,
                    add_function<"ft8_pack_telemetry(data)\n--\n\n"
                                 "Pack a telemetry FT8 message (9 bytes of arbitrary data) → bytes[10].",
                                 &pack_telemetry>,
                    add_function<"ft8_unpack(payload)\n--\n\n"
                                 "Unpack a 10-byte FT8/FT4 payload → dict.\n"
                                 "\n"
                                 "Standard:   {\"type\": \"standard\", \"call_to\": str, \"call_de\": str, \"extra\": str}\n"
                                 "FreeText:   {\"type\": \"free_text\", \"text\": str}\n"
                                 "Telemetry:  {\"type\": \"telemetry\", \"data\": bytes}\n"
                                 "Unknown:    {\"type\": \"unknown\", \"payload\": bytes}",
                                 &unpack>});
}

}  // namespace

int register_classes(PyObject* module) {
    using namespace binding;
    return add_all(module, {add_class<Ft8Mod>, add_class<Ft8Demod>, add_class<codec::Ft8Codec>, add_class<Ft4Mod>,
                            add_class<Ft4Demod>, add_class<codec::Ft4Codec>,
                            add_function<sync_doc<"ft8_sync", "FT8">, &kavro::ft8_sync>,
                            add_function<sync_doc<"ft4_sync", "FT4">, &kavro::ft4_sync>, register_messages});
}

}  // namespace kavro::python::ft8
