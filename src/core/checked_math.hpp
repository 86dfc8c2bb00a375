#pragma once

#include <concepts>
#include <optional>

// Sums and products of sizes that report wrapping instead of wrapping: a wrapped size must never
// size a buffer or pass a length check. Both operands have one type, so that no silent
// conversion happens before the check; callers convert explicitly.

namespace kavro {

template <std::integral T>
constexpr std::optional<T> checked_add(T a, T b) {
    T sum{};
    if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
    return sum;
}

template <std::integral T>
constexpr std::optional<T> checked_mul(T a, T b) {
    T product{};
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}

}  // namespace kavro
