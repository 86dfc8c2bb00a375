#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fec/settings.hpp"
#include "fec/chain/codec_cache.hpp"
#include "waveform/ofdm_frame/frame_packet.hpp"
#include "fec/chain/tx_chain.hpp"

// The 14-byte frame header that tells a receiver how to decode the payload, and the fixed code
// that protects it.
//
// Layout, multi-byte fields most significant byte first:
//   0      mcs_index
//   1..4   payload length in bytes
//   5..8   sequence_num
//   9      flags
//   10..13 per-frame scrambler seed (written whatever the scrambler setting)
//
// The header code does not come from the modulation-and-coding table: the configuration's header
// CRC, no outer code, no interleavers, no scrambler and LDPC "n512r12", mapped BPSK. The bytes
// and their CRC fit the code's 256 message bits, so the coded header is one 512-bit word.

namespace kavro::waveform {

// The longest payload a frame may carry. A decoded header claiming more is malformed: without
// the bound a corrupted length field could make a receiver wait for gigabytes.
inline constexpr std::size_t max_frame_payload_bytes = std::size_t{1} << 20;

struct FrameHeader {
    static constexpr std::size_t size = 14;

    std::uint8_t mcs_index = 0;
    std::uint32_t payload_len = 0;
    std::uint32_t sequence_num = 0;
    std::uint8_t flags = 0;
    std::uint32_t per_frame_seed = 0;

    // The header of a packet; the length field holds the low 32 bits of the payload length.
    static FrameHeader of(const FramePacket& packet, std::uint32_t per_frame_seed);

    std::array<std::uint8_t, size> serialize() const;

    // Reads the fields back from the first 14 bytes; nothing when fewer are given.
    static std::optional<FrameHeader> parse(std::span<const std::uint8_t> bytes);

    friend constexpr bool operator==(const FrameHeader&, const FrameHeader&) = default;
};

// The fixed header code, apart from the CRC kind the configuration chooses.
inline constexpr fec::OuterFec header_outer_code = fec::OuterFec::none();
inline constexpr fec::InnerFec header_inner_code = fec::InnerFec::ldpc(fec::LdpcCode::N512R12);

// The header's chain: the fixed header code under the configuration's header CRC, no interleaver,
// no scrambler.
fec::ChainSettings header_chain_settings(fec::CrcKind header_crc);

fec::BlockPlan header_block_plan(fec::CrcKind header_crc, fec::CodecCache& cache);

// The header's coded bits (one bit per byte).
std::vector<std::uint8_t> encode_header(std::span<const std::uint8_t> header_bytes, fec::CrcKind header_crc,
                                        fec::CodecCache& cache);

}  // namespace kavro::waveform
