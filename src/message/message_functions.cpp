#include "message/message_functions.hpp"

#include <algorithm>

#include "message/alphabets.hpp"

namespace kavro::message {

namespace {

// An optional sign and one or more digits, nothing else, from -128 to +127.
std::optional<std::int8_t> signed_byte(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    int magnitude = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        magnitude = std::min(magnitude * 10 + (c - '0'), 1000);
    }
    const int value = negative ? -magnitude : magnitude;
    if (value < -128 || value > 127) return std::nullopt;
    return static_cast<std::int8_t>(value);
}

bool report_in_range(int value) { return value >= min_report && value <= max_report; }

}  // namespace

std::string error_message(const MessageError& error) {
    switch (error.kind) {
        case MessageError::Kind::InvalidCallsign: return "ft8_pack_standard: failed to pack message (invalid callsign?)";
        case MessageError::Kind::InvalidExtra: return "ft8_pack_standard: failed to pack message (invalid extra?)";
        case MessageError::Kind::InvalidFreeText:
            return "ft8_pack_free_text: failed to pack message (text too long or invalid chars?)";
        case MessageError::Kind::TelemetryLength:
            return "ft8_pack_telemetry: expected 9 bytes, got " + std::to_string(error.given);
        case MessageError::Kind::PayloadLength: return "ft8_unpack: expected 10 bytes, got " + std::to_string(error.given);
    }
    return "message error";
}

GridField parse_extra(std::string_view extra) {
    using namespace grid_field;
    if (extra.empty()) return Blank{};
    if (extra == "73") return Seventy3{};
    if (extra == "RRR") return Rrr{};
    if (extra == "RR73") return Rr73{};
    if (extra.size() >= 2 && extra.front() == 'R') {
        if (const auto r = signed_byte(extra.substr(1))) return RReport{*r};
    }
    if (const auto r = signed_byte(extra)) return Report{*r};
    return Grid{std::string(extra)};
}

bool sendable_extra(const GridField& field) {
    using namespace grid_field;
    if (const auto* report = std::get_if<Report>(&field)) return report_in_range(report->value);
    if (const auto* report = std::get_if<RReport>(&field)) return report_in_range(report->value);
    if (const auto* grid = std::get_if<Grid>(&field)) {
        const std::string_view text = grid->text;
        return is_grid4(text) || (text.starts_with("R ") && is_grid4(text.substr(2)));
    }
    return true;
}

std::expected<Payload, MessageError> ft8_pack_standard(std::string_view call_to, std::string_view call_de,
                                                       std::string_view extra) {
    CallsignHashTable table;
    Standard message{std::string(call_to), std::string(call_de), parse_extra(extra)};
    const auto payload = pack77(message, table);
    if (!payload) return std::unexpected(MessageError{MessageError::Kind::InvalidCallsign});
    if (!sendable_extra(message.extra)) return std::unexpected(MessageError{MessageError::Kind::InvalidExtra});
    return *payload;
}

std::expected<Payload, MessageError> ft8_pack_free_text(std::string_view text) {
    CallsignHashTable table;
    const auto payload = pack77(FreeText{std::string(text)}, table);
    if (!payload) return std::unexpected(MessageError{MessageError::Kind::InvalidFreeText});
    return *payload;
}

std::expected<Payload, MessageError> ft8_pack_telemetry(std::span<const std::uint8_t> data) {
    Telemetry message;
    if (data.size() != message.data.size())
        return std::unexpected(MessageError{MessageError::Kind::TelemetryLength, data.size()});
    std::ranges::copy(data, message.data.begin());
    CallsignHashTable table;
    return *pack77(message, table);
}

std::expected<Ft8Message, MessageError> ft8_unpack(std::span<const std::uint8_t> payload) {
    Payload bytes;
    if (payload.size() != bytes.size()) return std::unexpected(MessageError{MessageError::Kind::PayloadLength, payload.size()});
    std::ranges::copy(payload, bytes.begin());
    return unpack77(bytes, CallsignHashTable{});
}

}  // namespace kavro::message
