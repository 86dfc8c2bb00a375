#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

// The 15-bit third field `g15` of a standard message and the R flag beside it, as one 16-bit
// value (R in bit 15). `g15`: 0..32399 a four-character locator, 32400 read as AA00, 32401 blank,
// 32402 RRR, 32403 RR73, 32404 73, 32405..32485 reports -30..+50 (32435 + r), 32486..32505
// reports -50..-31 (32536 + r); values from 32506 on are never written.

namespace kavro::message {

inline constexpr std::uint16_t grid_limit = 32400;
inline constexpr std::uint16_t blank_value = 32401;
inline constexpr std::uint16_t rrr = 32402;
inline constexpr std::uint16_t rr73 = 32403;
inline constexpr std::uint16_t seventy3 = 32404;
inline constexpr std::uint16_t r_flag_bit = 0x8000;
inline constexpr int min_report = -50;
inline constexpr int max_report = 50;

namespace grid_field {
struct Grid {
    std::string text;
    bool operator==(const Grid&) const = default;
};
struct Report {
    std::int8_t value = 0;
    bool operator==(const Report&) const = default;
};
struct RReport {
    std::int8_t value = 0;
    bool operator==(const RReport&) const = default;
};
struct Rrr {
    bool operator==(const Rrr&) const = default;
};
struct Rr73 {
    bool operator==(const Rr73&) const = default;
};
struct Seventy3 {
    bool operator==(const Seventy3&) const = default;
};
struct Blank {
    bool operator==(const Blank&) const = default;
};
}  // namespace grid_field

// The third field of a standard message. A Grid holds any text; only its packing decides what
// is sent.
using GridField = std::variant<grid_field::Grid, grid_field::Report, grid_field::RReport, grid_field::Rrr,
                               grid_field::Rr73, grid_field::Seventy3, grid_field::Blank>;

// True for a four-character locator: two letters A..R, two digits.
bool is_grid4(std::string_view text);

// Packs any text: the tokens, a locator, "R " and a locator (with R), "R" and a report (with R),
// or a report (an optional sign and the digits that follow, 0 without digits), clamped to
// -50..+50.
std::uint16_t packgrid(std::string_view text);

// The field of a 16-bit value (R in bit 15); R is ignored for the tokens and blank.
GridField unpackgrid(std::uint16_t value);

// Locators and texts as they are, reports with their sign and at least two digits ("+07",
// "-12", "R+05"), the tokens, and "" for blank.
std::string gridfield_to_str(const GridField& field);

}  // namespace kavro::message
