#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "message/callsign.hpp"
#include "message/grid.hpp"

// The 77-bit FT8/FT4 message in its 10-byte payload: bit 0 is the top bit of byte 0, fields are
// written most significant bit first, and bits 77..79 are zero when packed and ignored when
// unpacked. The type i3 sits in bits 74..76 and, for i3 0, the subtype n3 in bits 71..73.
//   standard (i3 1, or 2 with a "/P" call): c28 r c28 r R g15
//   free text (i3 0, n3 0) and telemetry (i3 0, n3 5): a 71-bit number
//   non-standard call (i3 4): h12 c58 h1 r2 c1

namespace kavro::message {

using Payload = std::array<std::uint8_t, 10>;

struct Standard {
    std::string call_to;
    std::string call_de;
    GridField extra;
    bool operator==(const Standard&) const = default;
};

// Up to 13 characters of space, 0-9, A-Z, + - . / ?
struct FreeText {
    std::string text;
    bool operator==(const FreeText&) const = default;
};

// One hashed and one full callsign. `token`: 0 RRR, 1 RR73, 2 73, 3 none. Unpacked, `hashed` and
// `full` hold the first and the second callsign in message order.
struct NonStd {
    std::string hashed;
    std::string full;
    std::uint8_t token = 3;
    bool operator==(const NonStd&) const = default;
};

struct Telemetry {
    std::array<std::uint8_t, 9> data{};
    bool operator==(const Telemetry&) const = default;
};

// A payload of a type this layer does not read, kept unchanged.
struct Unknown {
    Payload payload{};
    bool operator==(const Unknown&) const = default;
};

using Ft8Message = std::variant<Standard, FreeText, NonStd, Telemetry, Unknown>;

// Empty when a callsign is refused (standard), the text is too long or leaves the alphabet
// (free text), or the full callsign is over 11 characters or leaves its alphabet (non-standard).
// Callsigns that are packed as standard or hashed ones are saved into `table`.
std::optional<Payload> pack77(const Ft8Message& message, CallsignHashTable& table);

// Never fails: a callsign field no text belongs to reads "<?>", and unread types come back
// as Unknown.
Ft8Message unpack77(const Payload& payload, const CallsignHashTable& table);

}  // namespace kavro::message
