#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// The 28-bit callsign-or-token field `c28` with the flag `r` beside it, and the callsign hashes.
// Value ranges of `c28`: 0 DE, 1 QRZ, 2 CQ, 3..1002 "CQ nnn", 1003..532443 "CQ" and one to four
// letters, 532444..2063591 unused, 2063592 + hash22 a hashed callsign, 6257896 + six-slot value a
// standard callsign.

namespace kavro::message {

inline constexpr std::uint32_t cq_number_base = 3;
inline constexpr std::uint32_t cq_letters_base = 1003;
inline constexpr std::uint32_t unused_base = 532444;
inline constexpr std::uint32_t hashed_base = 2063592;
inline constexpr std::uint32_t standard_base = 6257896;
inline constexpr std::uint32_t c28_limit = std::uint32_t{1} << 28;

struct CallsignHashes {
    std::uint32_t hash22 = 0;
    std::uint16_t hash12 = 0;
};

// The top 22 and 12 bits of n * 47055833459 mod 2^64, n being the first 11 characters read as a
// left-aligned base-38 number (characters outside the hash alphabet count as spaces).
CallsignHashes callsign_hashes(std::string_view text);

// Callsigns seen so far, keyed by hash22; a later text with the same hash22 replaces the earlier.
class CallsignHashTable {
public:
    // Stores the whole text under its hash22 and returns both hashes.
    CallsignHashes save(std::string_view text);

    // The text stored under hash22, if any.
    std::optional<std::string_view> find(std::uint32_t hash22) const;

private:
    std::unordered_map<std::uint32_t, std::string> calls_;
};

struct Packed28 {
    std::uint32_t c28 = 0;
    bool r = false;  // a standard callsign written with "/R" or "/P"

    bool operator==(const Packed28&) const = default;
};

// Packs a token, a CQ form or a callsign; standard and hashed callsigns are saved into `table`.
// Empty for texts no form accepts (then nothing is saved).
std::optional<Packed28> pack28(std::string_view text, CallsignHashTable& table);

// The text of a `c28`: `r` appends "/R" for i3 1 and "/P" for i3 2 to a standard callsign. Empty
// for the unused range, values of 2^28 or more, a standard value shorter than three characters,
// or `r` with another i3.
std::optional<std::string> unpack28(std::uint32_t c28, bool r, unsigned i3, const CallsignHashTable& table);

}  // namespace kavro::message
