#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fec/bch.hpp"
#include "fec/frame.hpp"
#include "fec/scrambler.hpp"
#include "fec/settings.hpp"
#include "modulate/ofdm_frame/codec_cache.hpp"

// The transmit coding chain and the sizes it produces.
//
// Stages, in order: CRC, scrambler (when placed before the outer code), outer code (BCH over
// 120-bit blocks or Reed-Solomon over k-byte blocks, the last block zero-padded), outer-stage
// interleaver, inner code (LDPC over k-bit blocks, the last zero-padded, or a terminated and
// punctured convolutional code), inner-stage interleaver, scrambler (when placed after the inner
// code; only an LFSR acts there). Bit vectors hold one bit per byte; bytes become bits most
// significant bit first.

namespace kavro {

// How many bytes and bits a payload occupies after each stage.
struct BlockPlan {
    std::size_t payload_bytes = 0;
    std::size_t framed_bytes = 0;      // payload + CRC
    std::size_t outer_bits = 0;        // after the outer code
    std::size_t outer_stage_bits = 0;  // after the outer-stage interleaver
    std::size_t inner_bits = 0;        // after the inner code, tail and puncturing included
    std::size_t coded_bits = 0;        // after the inner-stage interleaver: the total on the air

    friend constexpr bool operator==(const BlockPlan&, const BlockPlan&) = default;
};

struct EncodedStages {
    std::vector<std::uint8_t> outer_stage;  // outer_stage_bits bits: the inner code's input
    std::vector<std::uint8_t> coded;        // coded_bits bits
};

// Computes the plan without coding anything; may build codes into the cache.
BlockPlan block_plan(std::size_t payload_len, fec::CrcKind crc, const fec::OuterFec& outer, const fec::InnerFec& inner,
                     const fec::InterleaverKind& outer_interleaver, const fec::InterleaverKind& inner_interleaver,
                     CodecCache& cache);

// Runs the chain. per_frame_seed seeds an LFSR scrambler with per-frame seeding and is ignored
// otherwise. An LFSR setting the scrambler refuses is an internal fault.
EncodedStages encode_chain_stages(std::span<const std::uint8_t> payload, fec::CrcKind crc, const fec::OuterFec& outer,
                                  const fec::InnerFec& inner, const fec::InterleaverKind& outer_interleaver,
                                  const fec::InterleaverKind& inner_interleaver, const fec::ScramblerKind& scrambler,
                                  fec::ScramblerPosition position, std::uint32_t per_frame_seed, CodecCache& cache);

// The LFSR of an Lfsr setting, seeded with its fixed seed or per_frame_seed; nothing for the other
// settings. Refused parameters are an internal fault with the scrambler's message. Shared by the
// transmit and receive chains so both validate the setting before any coding.
std::optional<fec::PnScrambler> chain_lfsr(const fec::ScramblerKind& scrambler, std::uint32_t per_frame_seed);

// Systematic BCH parity by polynomial division, eight message bits per table step: the parity
// fec::Bch::encode_into gives, at a fraction of the cost of its bit-serial shift register. The
// receive chain uses it to recognise error-free words (a word is a codeword exactly when its
// parity bits equal the parity of its message bits) and runs the algebraic decoder only on the
// others.
class BchParity {
public:
    explicit BchParity(const fec::Bch& code);

    std::size_t n() const { return k_ + deg_; }
    std::size_t k() const { return k_; }

    // Parity (deg bits) of exactly k message bits, one bit per byte.
    void parity(std::span<const std::uint8_t> message, std::span<std::uint8_t> parity) const;

    // Whether exactly n bits form a codeword.
    bool is_codeword(std::span<const std::uint8_t> word) const;

private:
    static constexpr std::size_t kMaxWords = 4;  // a generator degree below 256
    using Register = std::array<std::uint64_t, kMaxWords>;

    // The remainder of m(x) x^deg modulo g(x), left-aligned: x^(deg-1) in the top bit of word 0.
    Register remainder(std::span<const std::uint8_t> message) const;
    std::uint8_t parity_bit(const Register& reg, std::size_t i) const {
        return static_cast<std::uint8_t>((reg[i / 64] >> (63 - i % 64)) & 1u);
    }

    std::size_t k_;
    std::size_t deg_;
    std::size_t words_;                // 64-bit words of the register in use
    Register gen_{};                   // g(x) without x^deg, left-aligned
    std::vector<std::uint64_t> table_;  // 256 x words_: remainder of b(x) x^deg, left-aligned
};

}  // namespace kavro
