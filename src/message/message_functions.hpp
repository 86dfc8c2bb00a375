#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "message/grid.hpp"
#include "message/message.hpp"

// The message calls offered to Python: each packs or unpacks one message with a new, empty
// callsign table, so nothing carries over from one call to the next.

namespace kavro::message {

struct MessageError {
    enum class Kind : std::uint8_t { InvalidCallsign, InvalidExtra, InvalidFreeText, TelemetryLength, PayloadLength };
    Kind kind = Kind::InvalidCallsign;
    std::size_t given = 0;  // the wrong length
};

std::string error_message(const MessageError& error);

// "" blank, "73", "RRR", "RR73", "R" and a signed 8-bit decimal an R-report, a signed 8-bit
// decimal a report, any other text a Grid holding it.
GridField parse_extra(std::string_view extra);

// Whether a third field goes out as itself: reports within -50..+50, and Grid texts that are a
// locator or "R " and a locator.
bool sendable_extra(const GridField& field);

// Callsign faults are reported before a faulty `extra`.
std::expected<Payload, MessageError> ft8_pack_standard(std::string_view call_to, std::string_view call_de,
                                                       std::string_view extra);
std::expected<Payload, MessageError> ft8_pack_free_text(std::string_view text);
std::expected<Payload, MessageError> ft8_pack_telemetry(std::span<const std::uint8_t> data);
std::expected<Ft8Message, MessageError> ft8_unpack(std::span<const std::uint8_t> payload);

}  // namespace kavro::message
