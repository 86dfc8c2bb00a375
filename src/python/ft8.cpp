// Python classes and functions of the FT8 family, added in their fixed order: the modem and
// codec classes, the candidate searches, then the message functions.

#include "message/message_functions.hpp"
#include "python/binding/frame.hpp"
#include "python/ft8_messages.hpp"
#include "python/groups.hpp"

namespace kavro::python::ft8 {

namespace {

// Ft8Mod, Ft8Demod, Ft8Codec, Ft4Mod, Ft4Demod, Ft4Codec.
int register_modems(PyObject*) { return 0; }

// ft8_sync, ft4_sync.
int register_searches(PyObject*) { return 0; }

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
    for (auto add : {add_function<"ft8_pack_standard(call_to, call_de, extra)\n--\n\n"
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
                                  &unpack>})
        if (add(module) != 0) return -1;
    return 0;
}

}  // namespace

int register_classes(PyObject* module) {
    if (register_modems(module) != 0 || register_searches(module) != 0) return -1;
    return register_messages(module);
}

}  // namespace kavro::python::ft8
