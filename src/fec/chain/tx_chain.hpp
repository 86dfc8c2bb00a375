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
#include "fec/chain/chain_settings.hpp"
#include "fec/chain/codec_cache.hpp"

// The transmit coding chain and the sizes it produces.
//
// Stages, in order: CRC, scrambler (when placed before the outer code), outer code (BCH over
// 120-bit blocks or Reed-Solomon over k-byte blocks, the last block zero-padded), outer-stage
// interleaver, inner code (LDPC over k-bit blocks, the last zero-padded, or a terminated and
// punctured convolutional code), inner-stage interleaver, scrambler (when placed after the inner
// code; only an LFSR acts there). Bit vectors hold one bit per byte; bytes become bits most
// significant bit first.

namespace kavro::fec {

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
BlockPlan block_plan(std::size_t payload_len, const ChainSettings& settings, CodecCache& cache);

// Runs the chain. per_frame_seed seeds an LFSR scrambler with per-frame seeding and is ignored
// otherwise. An LFSR setting the scrambler refuses is an internal fault.
EncodedStages encode_chain_stages(std::span<const std::uint8_t> payload, const ChainSettings& settings,
                                  std::uint32_t per_frame_seed, CodecCache& cache);

// The LFSR of an Lfsr setting, seeded with its fixed seed or per_frame_seed; nothing for the other
// settings. Refused parameters are an internal fault with the scrambler's message. Shared by the
// transmit and receive chains so both validate the setting before any coding.
std::optional<PnScrambler> chain_lfsr(const ScramblerKind& scrambler, std::uint32_t per_frame_seed);

}  // namespace kavro::fec
