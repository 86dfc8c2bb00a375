#include "waveform/ofdm_frame/frame_header.hpp"

namespace kavro::waveform {

namespace {

void put_u32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t get_u32(const std::uint8_t* in) {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) | in[3];
}

}  // namespace

FrameHeader FrameHeader::of(const FramePacket& packet, std::uint32_t per_frame_seed) {
    return FrameHeader{packet.mcs_index, static_cast<std::uint32_t>(packet.payload.size()), packet.sequence_num,
                       packet.flags, per_frame_seed};
}

std::array<std::uint8_t, FrameHeader::size> FrameHeader::serialize() const {
    std::array<std::uint8_t, size> bytes{};
    bytes[0] = mcs_index;
    put_u32(&bytes[1], payload_len);
    put_u32(&bytes[5], sequence_num);
    bytes[9] = flags;
    put_u32(&bytes[10], per_frame_seed);
    return bytes;
}

std::optional<FrameHeader> FrameHeader::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < size) return std::nullopt;
    return FrameHeader{bytes[0], get_u32(&bytes[1]), get_u32(&bytes[5]), bytes[9], get_u32(&bytes[10])};
}

fec::ChainSettings header_chain_settings(fec::CrcKind header_crc) {
    return {.crc = header_crc,
            .outer = header_outer_code,
            .inner = header_inner_code,
            .outer_interleaver = fec::InterleaverKind::none(),
            .inner_interleaver = fec::InterleaverKind::none(),
            .scrambler = fec::ScramblerKind::none(),
            .position = fec::ScramblerPosition::BeforeOuter};
}

fec::BlockPlan header_block_plan(fec::CrcKind header_crc, fec::CodecCache& cache) {
    return fec::block_plan(FrameHeader::size, header_chain_settings(header_crc), cache);
}

std::vector<std::uint8_t> encode_header(std::span<const std::uint8_t> header_bytes, fec::CrcKind header_crc,
                                        fec::CodecCache& cache) {
    return fec::encode_chain_stages(header_bytes, header_chain_settings(header_crc), 0, cache).coded;
}

}  // namespace kavro::waveform
