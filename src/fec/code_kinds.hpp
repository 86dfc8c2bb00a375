#pragma once

#include <cstdint>

// The code selectors shared by the configuration, the codec cache and the codes themselves.

namespace kavro::fec {

// LDPC codes by code index: "n512r12", "n576r23", "n512r34".
enum class LdpcCode : std::uint8_t { N512R12 = 0, N576R23 = 1, N512R34 = 2 };

// Convolutional puncturing by rate index: "1/2", "2/3", "3/4", "5/6", "7/8".
enum class PunctureRate : std::uint8_t { R12 = 0, R23 = 1, R34 = 2, R56 = 3, R78 = 4 };

// Check-node rule of the LDPC decoder.
struct LdpcDecodeRule {
    enum class Kind : std::uint8_t { SumProduct = 0, MinSum = 1, ScaledMinSum = 2 };
    Kind kind = Kind::SumProduct;
    float scale = 0.0f;  // read only by ScaledMinSum

    friend bool operator==(const LdpcDecodeRule& a, const LdpcDecodeRule& b) {
        if (a.kind != b.kind) return false;
        return a.kind != Kind::ScaledMinSum || a.scale == b.scale;
    }
};

}  // namespace kavro::fec
