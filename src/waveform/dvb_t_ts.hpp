#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fec/chain/chain_settings.hpp"
#include "fec/chain/codec_cache.hpp"
#include "waveform/dvb_t_params.hpp"

// The transport-stream side of a DVB-T frame: 188-byte packets (sync byte 0x47 and 187 payload
// bytes), null stuffing, energy dispersal over whole packets, the coding-chain settings every
// DVB-T frame is coded with, and the way back to payload bytes.

namespace kavro::waveform {

inline constexpr std::size_t ts_packet_len = 188;
inline constexpr std::size_t ts_payload_len = 187;
inline constexpr std::uint8_t ts_sync_byte = 0x47;

// max(ceil(L / 187), 1) packets: sync byte, then the payload in order; the last packet's tail
// stays zero.
std::vector<std::uint8_t> ts_packetize(std::span<const std::uint8_t> payload);

// Appends `count` null packets (0x47 1F FF 10, then 184 bytes 0xFF).
void append_null_packets(std::vector<std::uint8_t>& stream, std::size_t count);

// XORs the energy-dispersal sequence into bytes 1..187 of every packet, restarting it and
// inverting the sync byte at the first packet of every group of eight. Its own inverse. A length
// that is not a whole number of packets is an internal fault, with the buffer left unchanged.
void ts_energy_disperse(std::span<std::uint8_t> stream);

// Bytes 1..187 of every packet, or nothing for an empty stream or a partial packet.
std::optional<std::vector<std::uint8_t>> ts_depacketize(std::span<const std::uint8_t> stream);

// No CRC, no scrambler, Reed-Solomon 204/188, convolutional interleaver 12 x 17 on the outer
// stage, the K = 7 convolutional code at the frame's rate, no inner-stage interleaver.
fec::ChainSettings dvb_t_chain_settings(const DvbTFrameParams& params);

// coded(k): the chain's output length in bits for k whole packets.
std::size_t dvb_t_coded_bits(const fec::ChainSettings& chain, std::size_t packets, fec::CodecCache& cache);

}  // namespace kavro::waveform
