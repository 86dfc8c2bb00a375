#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/simd_level.hpp"
#include "fec/conv_tables.hpp"

// The QPSK31 code: the library's rate-1/2, K = 5 convolutional code (generators 1 + D^2 + D^4
// and 1 + D^3 + D^4), each coded pair sent as one of four carrier rotations, and its two Viterbi
// decoders, which minimise the squared distance between received pairs and rotations. A branch
// adds half its squared distance less the nearest rotation's: the same decisions, in metrics that
// one strong pair does not swamp.
//
// Encoder state: the last four input bits, the newest in bit 3. Rotation index of a step:
// first coded bit × 2 + second coded bit; next state (b << 3) | (state >> 1).

namespace kavro::codec {

// Rotations by index: none, −90°, +90°, 180°.
inline constexpr std::array<Complex, 4> qpsk31_phase_steps{{{1.0f, 0.0f}, {0.0f, -1.0f}, {0.0f, 1.0f}, {-1.0f, 0.0f}}};

// Half the largest finite float (0x7EFFFFFF): a path metric at or above it marks a state no
// surviving path reaches.
inline constexpr float qpsk31_unreached = std::bit_cast<float>(0x7EFFFFFFu);

struct Qpsk31Step {
    std::uint8_t rotation;
    std::uint8_t next_state;
};

// One encoder step; only bit 0 of `input` counts.
constexpr Qpsk31Step qpsk31_encode_step(std::uint8_t state, std::uint8_t input) {
    const fec::ConvGenerators& g = fec::conv_generators[0];
    const unsigned window = (state & 0xFu) | ((input & 1u) << 4);
    const unsigned first = std::popcount(window & g.out0) & 1u;
    const unsigned second = std::popcount(window & g.out1) & 1u;
    return {static_cast<std::uint8_t>(first * 2 + second), static_cast<std::uint8_t>(window >> 1)};
}

// Path metrics of the 16 states and one add-compare-select step over them. Decision bit t of a
// step is set when state t was reached from its odd predecessor 2 (t mod 8) + 1.
struct Qpsk31Metrics {
    alignas(16) std::array<float, 16> m{};

    Qpsk31Metrics();

    // The step for pair (re, im), renormalising first when the pair is far weaker than the pairs
    // since the last renormalisation together; a pair whose squared magnitude is not finite is
    // taken as the erasure (0, 0). Returns the decisions.
    std::uint16_t step(float re, float im);
    // Subtracts the smallest reached metric, when above 0, from every reached one.
    void renormalise();
    // The state with the smallest metric, the lowest of equals.
    unsigned best_state() const;

private:
    std::uint16_t literal_step(const std::array<float, 4>& d);
    void update_ceiling();
    // An upper bound on every metric while all states are reached; infinite otherwise.
    float ceiling_;
    // The sums of the four distances of the pairs since the last renormalisation, added up.
    float lift_ = 0.0f;
};

// The add-compare-select step once every state is reached and no candidate can leave the finite
// range, given the four branch distances by rotation index. Bit t of the result is set where
// state t took its odd predecessor. `level` picks the build; every level gives the same bits.
std::uint16_t qpsk31_butterflies(std::array<float, 16>& m, const std::array<float, 4>& d,
                                 SimdLevel level = best_simd_level());

// Takes one soft pair per symbol and decides the data bit of the symbol fed 32 calls earlier.
class StreamingViterbi {
public:
    static constexpr std::size_t depth = 32;

    std::optional<std::uint8_t> feed_symbol(float re, float im);
    const std::array<float, 16>& metrics() const { return metrics_.m; }

private:
    Qpsk31Metrics metrics_;
    std::array<std::uint16_t, 128> decisions_{};
    std::size_t write_idx_ = 0;
    std::uint64_t count_ = 0;
};

// Decodes interleaved pairs re0, im0, re1, im1, ... (a trailing odd value ignored), one bit per
// pair, tracing back from the best end state.
std::vector<std::uint8_t> viterbi_decode(std::span<const float> soft);

}  // namespace kavro::codec
