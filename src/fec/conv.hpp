#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/simd_level.hpp"
#include "fec/code_kinds.hpp"

// Rate-1/2 convolutional codes of constraint length 5 and 7, punctured to rates 1/2..7/8, with a
// soft-decision Viterbi decoder. Every encoded block starts in state 0 and is terminated with
// K - 1 zero tail bits; every decode starts from state 0 and traces back from state 0.
//
// Register window: the state holds the previous K - 1 input bits, the most recent at bit K - 2;
// for input b the window is w = state | (b << (K - 1)), out0 = parity(w & g0),
// out1 = parity(w & g1), and the next state is w >> 1.

namespace kavro::fec {

// Convolutional inner codes: the library's own K = 5 code and DVB-T's K = 7 code.
enum class ConvKind : std::uint8_t { K5 = 0, K7 = 1 };

unsigned conv_constraint_length(ConvKind kind);

// Encodes bits (one per byte) with K - 1 zero tail bits appended, then punctures.
std::vector<std::uint8_t> conv_encode(std::span<const std::uint8_t> bits, ConvKind kind, PunctureRate rate);

// Number of coded bits conv_encode yields for message_bits input bits (tail included).
std::size_t conv_coded_length(std::size_t message_bits, ConvKind kind, PunctureRate rate);

// Spreads received soft values over the 2 (message_bits + K - 1) slots of the rate-1/2 mother
// stream; punctured slots and slots beyond the received values are 0 (no information).
std::vector<float> conv_depuncture(std::span<const float> llrs, ConvKind kind, PunctureRate rate,
                                   std::size_t message_bits);

// Depunctures, runs the Viterbi decoder and drops the tail: message_bits decided bits.
std::vector<std::uint8_t> conv_decode(std::span<const float> llrs, ConvKind kind, PunctureRate rate,
                                      std::size_t message_bits);

// One trellis branch, index 2 * state + input bit.
struct ConvBranch {
    std::uint16_t next;
    std::uint8_t label;  // out1 | (out0 << 1)
};

// Soft-decision Viterbi decoder with a correlation metric (maximised). Soft values are
// log-likelihood ratios, positive favouring bit 0. Keeps its survivor memory between calls so
// that repeated decoding does not allocate.
class ViterbiDecoder {
public:
    explicit ViterbiDecoder(ConvKind kind);

    ConvKind kind() const { return kind_; }
    std::span<const ConvBranch> trellis() const { return {branches_.data(), 2 * states_}; }

    // soft holds 2 L values (out0, out1 of each step); decided receives all L decisions, the
    // tail decisions included. `level` picks the build of the vector kernel; every level gives
    // the same bits.
    void decode(std::span<const float> soft, std::span<std::uint8_t> decided, SimdLevel level = best_simd_level());

private:
    template <unsigned K>
    void run(const float* soft, std::size_t steps, bool tame, SimdLevel level);
    template <unsigned K>
    static void trace_back(const std::uint64_t* decisions, std::span<std::uint8_t> decided);

    ConvKind kind_;
    unsigned constraint_length_;
    std::size_t states_;
    std::array<ConvBranch, 128> branches_{};
    // Survivor memory: one word per step, bit s set when state s was reached from the odd one of
    // its two predecessors (2 (s mod S/2) + 1), clear for the even one.
    std::vector<std::uint64_t> decisions_;
    // L0 + L1 and L0 - L1 of each step.
    std::vector<float> branch_;
};

}  // namespace kavro::fec
