#include "waveform/dvb_t_ts.hpp"

#include <algorithm>
#include <array>

#include "core/internal_fault.hpp"
#include "fec/chain/tx_chain.hpp"
#include "fec/dvb_t_energy_dispersal.hpp"

namespace kavro::waveform {

std::vector<std::uint8_t> ts_packetize(std::span<const std::uint8_t> payload) {
    const std::size_t packets = std::max<std::size_t>((payload.size() + ts_payload_len - 1) / ts_payload_len, 1);
    std::vector<std::uint8_t> stream(packets * ts_packet_len, 0);
    for (std::size_t i = 0; i < packets; ++i) {
        stream[i * ts_packet_len] = ts_sync_byte;
        const std::size_t from = i * ts_payload_len;
        const std::size_t take = std::min(ts_payload_len, payload.size() - from);
        std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(from), take, stream.begin() + static_cast<std::ptrdiff_t>(i * ts_packet_len + 1));
    }
    return stream;
}

void append_null_packets(std::vector<std::uint8_t>& stream, std::size_t count) {
    const std::size_t start = stream.size();
    stream.resize(start + count * ts_packet_len, 0xFF);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* packet = stream.data() + start + i * ts_packet_len;
        packet[0] = ts_sync_byte;
        packet[1] = 0x1F;
        packet[2] = 0xFF;
        packet[3] = 0x10;
    }
}

namespace {

constexpr std::size_t dispersal_group = 8;

// The sequence restarts with every group of eight packets, so one group's worth serves them all:
// byte b (1..187) of packet j of a group takes entry j x 188 + b - 1; the entries at the later
// sync bytes are skipped.
const std::array<std::uint8_t, dispersal_group * ts_packet_len - 1>& dispersal_group_sequence() {
    static const auto sequence = [] {
        std::array<std::uint8_t, dispersal_group * ts_packet_len - 1> bytes{};
        fec::DvbTEnergyDispersal prbs;
        prbs.feed_in_place(bytes);
        return bytes;
    }();
    return sequence;
}

}  // namespace

void ts_energy_disperse(std::span<std::uint8_t> stream) {
    if (stream.size() % ts_packet_len != 0) internal_fault("TS energy dispersal needs whole 188-byte packets");
    const auto& sequence = dispersal_group_sequence();
    for (std::size_t i = 0; i * ts_packet_len < stream.size(); ++i) {
        std::uint8_t* packet = stream.data() + i * ts_packet_len;
        const std::size_t j = i % dispersal_group;
        if (j == 0) packet[0] = static_cast<std::uint8_t>(~packet[0]);
        const std::uint8_t* prbs = sequence.data() + j * ts_packet_len;
        for (std::size_t b = 1; b < ts_packet_len; ++b) packet[b] ^= prbs[b - 1];
    }
}

std::optional<std::vector<std::uint8_t>> ts_depacketize(std::span<const std::uint8_t> stream) {
    if (stream.empty() || stream.size() % ts_packet_len != 0) return std::nullopt;
    std::vector<std::uint8_t> payload;
    payload.reserve(stream.size() / ts_packet_len * ts_payload_len);
    for (std::size_t at = 0; at < stream.size(); at += ts_packet_len)
        payload.insert(payload.end(), stream.begin() + static_cast<std::ptrdiff_t>(at + 1),
                       stream.begin() + static_cast<std::ptrdiff_t>(at + ts_packet_len));
    return payload;
}

fec::ChainSettings dvb_t_chain_settings(const DvbTFrameParams& params) {
    return {.crc = fec::CrcKind::None,
            .outer = fec::OuterFec::reed_solomon(204, 16),
            .inner = fec::InnerFec::conv_k7(params.puncture_rate()),
            .outer_interleaver = fec::InterleaverKind::convolutional(12, 17),
            .inner_interleaver = fec::InterleaverKind::none(),
            .scrambler = fec::ScramblerKind::none(),
            .position = fec::ScramblerPosition::BeforeOuter};
}

std::size_t dvb_t_coded_bits(const fec::ChainSettings& chain, std::size_t packets, fec::CodecCache& cache) {
    return fec::block_plan(packets * ts_packet_len, chain, cache).coded_bits;
}

}  // namespace kavro::waveform
