#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fec/conv.hpp"
#include "fec/rx_error.hpp"
#include "fec/scrambler.hpp"
#include "fec/chain/chain_settings.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/tx_chain.hpp"

// The receive decoding chain: undoes the transmit chain on soft values (single precision,
// positive favouring bit 0, in the order the coded bits were sent) and reports how every stage
// fared. It judges nothing: uncorrectable outer words, unconverged LDPC words and CRC mismatches
// are flags, and the payload always holds the best bytes available.
//
// `plan` is block_plan of the expected payload length under the same settings, which must equal
// the transmitter's. Fewer soft values than plan.coded_bits are not an error: the missing values
// count as erased (a trailing partial LDPC or outer word is dropped and clears its flag, the
// Viterbi decoder sees zeros). Only a decoded stream too short to hold the framed bytes fails,
// with RxError::MalformedHeader.

namespace kavro::fec {

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

// The chain as an object that keeps what decoding needs beyond its inputs from one call to the
// next: a Viterbi decoder per convolutional code with its survivor memory, the soft values, the
// inner decisions and the outer stage's buffers, each grown to the largest frame seen. The
// settings may differ from call to call. A frame of a convolutional code behind a convolutional
// byte interleaver and Reed-Solomon (DVB-T's chain) allocates only byte-sized buffers once the
// others have grown. One caller at a time.
class ChainDecoder {
public:
    // The outcome of a successful decode stays readable through outcome() until the next decode.
    std::expected<void, RxError> decode(std::span<const float> llrs, const BlockPlan& plan,
                                        const ChainSettings& settings, std::uint32_t per_frame_seed, CodecCache& cache);

    const ChainOutcome& outcome() const& { return outcome_; }
    ChainOutcome outcome() && { return std::move(outcome_); }

private:
    std::span<const float> inner_input(std::span<const float> llrs, const BlockPlan& plan,
                                       const ChainSettings& settings, const std::optional<PnScrambler>& lfsr);
    void inner_decode(std::span<const float> soft, const BlockPlan& plan, const ChainSettings& settings,
                      CodecCache& cache);
    void conv_decode(std::span<const float> soft, ConvKind kind, PunctureRate rate, std::size_t message_bits);
    bool outer_decode(const BlockPlan& plan, const ChainSettings& settings, CodecCache& cache);
    void pack_bytes(std::span<const std::uint8_t> bits);

    std::array<std::optional<ViterbiDecoder>, 2> viterbi_;       // by ConvKind, built at first use
    std::vector<float> soft_;                                    // the soft values when a stage changes them
    std::vector<float> mother_;                                  // the depunctured rate-1/2 stream
    std::vector<std::uint8_t> outer_bits_;                       // the outer stage's bits
    std::vector<std::uint8_t> bytes_;                            // the outer stage's bytes, then the framed bytes
    ChainOutcome outcome_;
};

// One decode with a decoder of its own.
std::expected<ChainOutcome, RxError> decode_chain(std::span<const float> llrs, const BlockPlan& plan,
                                                  const ChainSettings& settings, std::uint32_t per_frame_seed,
                                                  CodecCache& cache);

// How far a successful decode's inputs were from what it decoded, from a re-encoding of its
// payload under the same settings and seed: `channel` is the share of the soft values' hard
// decisions (bit 1 where 0 or below) that differ from the re-encoded coded bits, `outer` the share
// of the inner decoder's output bits that differ from the re-encoded outer stage. Each is absent
// when it would compare no bits.
struct PreDecodingRatios {
    std::optional<float> channel;
    std::optional<float> outer;
};

PreDecodingRatios pre_decoding_error_ratios(std::span<const float> llrs, const BlockPlan& plan,
                                            const ChainSettings& settings, std::uint32_t per_frame_seed,
                                            const ChainOutcome& outcome, CodecCache& cache);

}  // namespace kavro::fec
