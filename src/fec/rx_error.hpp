#pragma once

#include <cstdint>
#include <string>

// Why the frame link could not deliver a frame. The discriminants are the one-byte failure codes
// of the frame receivers.

namespace kavro::fec {

enum class RxError : std::uint8_t {
    NoPreamble = 0,
    MalformedHeader = 1,
    HeaderCrcMismatch = 2,
    PayloadCrcMismatch = 3,
    FecUncorrectable = 4,
};

// The text the receivers report, e.g. "malformed frame header".
std::string error_message(const RxError& error);

}  // namespace kavro::fec
