#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The character sets of the 77-bit message fields. Each maps a character to its digit value, the
// position in the set; a character outside the set has no value (-1). Lower-case letters are
// outside every set.

namespace kavro::message {

inline constexpr std::string_view a37_chars = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
inline constexpr std::string_view a36_chars = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
inline constexpr std::string_view a10_chars = "0123456789";
inline constexpr std::string_view a27_chars = " ABCDEFGHIJKLMNOPQRSTUVWXYZ";
inline constexpr std::string_view a38_chars = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ/";
inline constexpr std::string_view a42_chars = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ+-./?";

// A 256-entry lookup from character to digit value, built from the set at compile time.
struct Alphabet {
    std::string_view chars;
    std::array<std::int8_t, 256> value{};

    constexpr explicit Alphabet(std::string_view set) : chars(set) {
        value.fill(-1);
        for (std::size_t i = 0; i < set.size(); ++i) value[static_cast<unsigned char>(set[i])] = static_cast<std::int8_t>(i);
    }

    constexpr int operator[](char c) const { return value[static_cast<unsigned char>(c)]; }
    constexpr bool contains(char c) const { return (*this)[c] >= 0; }
    constexpr char at(std::size_t digit) const { return chars[digit]; }
};

inline constexpr Alphabet a37{a37_chars};
inline constexpr Alphabet a36{a36_chars};
inline constexpr Alphabet a10{a10_chars};
inline constexpr Alphabet a27{a27_chars};
inline constexpr Alphabet a38{a38_chars};
inline constexpr Alphabet a42{a42_chars};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

// The text without spaces at either end.
constexpr std::string_view trim_spaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace kavro::message
