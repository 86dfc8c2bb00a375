#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

// Default values read from the text signature at compile time, so that a default has one home:
// the text Python shows. A literal is read as Python reads it (a float literal correctly rounded
// to double, then to the parameter's precision as an argument would be); a literal that cannot
// be read exactly this way is refused at compile time rather than approximated.

namespace kavro::python::binding {

template <class T>
struct ParsedDefault {
    bool ok = false;
    T value{};
};

consteval std::optional<std::uint64_t> parse_digits(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// A decimal integer literal with an optional sign, as a sign and a magnitude.
struct IntegerLiteral {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

consteval std::optional<IntegerLiteral> parse_integer(std::string_view text) {
    IntegerLiteral literal;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        literal.negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.size() > 1 && text.front() == '0') return std::nullopt;  // Python refuses leading zeros
    const auto magnitude = parse_digits(text);
    if (!magnitude) return std::nullopt;
    literal.magnitude = *magnitude;
    return literal;
}

consteval double power_of_ten(int exponent) {
    double value = 1.0;
    for (int i = 0; i < exponent; ++i) value *= 10.0;
    return value;
}

// Decimal literals whose significant digits fit in 53 bits and whose scale is a power of ten up
// to 1e22 convert with one correctly rounded operation (both operands are exact doubles).
consteval std::optional<double> parse_float(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint64_t mantissa = 0;
    int exponent = 0;
    bool digits = false;
    bool point = false;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9') break;
        digits = true;
        if (mantissa > (std::uint64_t{1} << 53) / 10) {
            if (c != '0') return std::nullopt;  // more significant digits than are exact
            if (!point) ++exponent;
            continue;
        }
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        if (point) --exponent;
    }
    if (!digits) return std::nullopt;
    if (i < text.size()) {
        if (text[i] != 'e' && text[i] != 'E') return std::nullopt;
        const auto scale = parse_integer(text.substr(i + 1));
        if (!scale || scale->magnitude > 400) return std::nullopt;
        exponent += scale->negative ? -static_cast<int>(scale->magnitude) : static_cast<int>(scale->magnitude);
    }
    while (mantissa != 0 && mantissa % 10 == 0) {
        mantissa /= 10;
        ++exponent;
    }
    if (mantissa == 0) return negative ? -0.0 : 0.0;
    while (exponent > 22 && mantissa * 10 <= (std::uint64_t{1} << 53)) {  // exact: still within 53 bits
        mantissa *= 10;
        --exponent;
    }
    if (mantissa > (std::uint64_t{1} << 53) || exponent > 22 || exponent < -22) return std::nullopt;
    const auto exact = static_cast<double>(mantissa);
    const double value = exponent >= 0 ? exact * power_of_ten(exponent) : exact / power_of_ten(-exponent);
    return negative ? -value : value;
}

// A quoted string without escapes.
consteval std::optional<std::string_view> parse_string(std::string_view text) {
    if (text.size() < 2 || (text.front() != '"' && text.front() != '\'') || text.back() != text.front())
        return std::nullopt;
    const std::string_view contents = text.substr(1, text.size() - 2);
    if (contents.find('\\') != std::string_view::npos || contents.find(text.front()) != std::string_view::npos)
        return std::nullopt;
    return contents;
}

// The default literal as a value of the parameter type T: a number, True or False, or a string.
template <class T>
consteval ParsedDefault<T> parse_default(std::string_view text) {
    if constexpr (std::is_same_v<T, bool>) {
        if (text == "True") return {true, true};
        if (text == "False") return {true, false};
    } else if constexpr (std::is_integral_v<T>) {
        const auto literal = parse_integer(text);
        if (!literal) return {};
        if (literal->negative) {
            if constexpr (std::is_signed_v<T>) {
                if (literal->magnitude <= static_cast<std::uint64_t>(std::numeric_limits<T>::max()) + 1)
                    return {true, static_cast<T>(-static_cast<std::int64_t>(literal->magnitude - 1) - 1)};
            } else if (literal->magnitude == 0) {
                return {true, T{0}};
            }
            return {};
        }
        if (literal->magnitude <= static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
            return {true, static_cast<T>(literal->magnitude)};
    } else if constexpr (std::is_floating_point_v<T>) {
        if (const auto value = parse_float(text)) return {true, static_cast<T>(*value)};
    } else if constexpr (std::is_same_v<T, std::string_view>) {
        if (const auto value = parse_string(text)) return {true, *value};
    }
    return {};
}

}  // namespace kavro::python::binding
