#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "fec/code_kinds.hpp"
#include "fec/frame.hpp"
#include "fec/rx_error.hpp"
#include "fec/settings.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/tx_chain.hpp"

// The receive decoding chain: undoes the transmit chain on soft values (single precision,
// positive favouring bit 0, in the order the coded bits were sent) and reports how every stage
// fared. It judges nothing: uncorrectable outer words, unconverged LDPC words and CRC mismatches
// are flags, and the payload always holds the best bytes available.

namespace kavro {

struct ChainOutcome {
    std::vector<std::uint8_t> payload;  // payload_bytes bytes, CRC removed
    // The inner decoder's whole output as bits, before outer-stage deinterleaving: k bits per
    // LDPC word (padding included), message and tail decisions of a convolutional code, or the
    // hard decisions without inner code.
    std::vector<std::uint8_t> inner_bits_decoded;
    // Corrected bytes (Reed-Solomon) or bits (BCH) over the outer words that decoded; present
    // when an outer code is configured.
    std::optional<std::uint32_t> outer_corrections;
    bool inner_converged = true;  // every LDPC word converged and none was cut short
    bool outer_ok = true;         // every outer word decoded and none was cut short
    bool crc_ok = true;           // true without CRC
    bool crc_present = false;
    bool outer_present = false;
};

// `plan` is block_plan of the expected payload length under the same settings, which must equal
// the transmitter's. Fewer soft values than plan.coded_bits are not an error: the missing values
// count as erased (a trailing partial LDPC or outer word is dropped and clears its flag, the
// Viterbi decoder sees zeros). Only a decoded stream too short to hold the framed bytes fails,
// with RxError::MalformedHeader.
std::expected<ChainOutcome, fec::RxError> decode_chain(
    std::span<const float> llrs, const BlockPlan& plan, fec::CrcKind crc, const fec::OuterFec& outer,
    const fec::InnerFec& inner, const fec::InterleaverKind& outer_interleaver,
    const fec::InterleaverKind& inner_interleaver, const fec::ScramblerKind& scrambler, fec::ScramblerPosition position,
    std::uint32_t per_frame_seed, CodecCache& cache, fec::LdpcDecodeRule ldpc_rule);

}  // namespace kavro
