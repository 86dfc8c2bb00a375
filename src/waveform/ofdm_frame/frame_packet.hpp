#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

// The unit the frame link carries: an opaque byte payload with a sequence number, the index of
// its modulation-and-coding entry and a flags byte. The link carries all three unchanged; the
// mcs_index is looked up only when the packet is modulated.

namespace kavro::waveform {

struct FramePacket {
    std::vector<std::uint8_t> payload;
    std::uint32_t sequence_num = 0;
    std::uint8_t mcs_index = 0;
    std::uint8_t flags = 0;

    static FramePacket create(std::span<const std::uint8_t> payload, std::uint32_t sequence_num, std::uint8_t mcs_index,
                              std::uint8_t flags) {
        return FramePacket{std::vector<std::uint8_t>(payload.begin(), payload.end()), sequence_num, mcs_index, flags};
    }

    // A fresh copy on every call.
    std::vector<std::uint8_t> payload_copy() const { return payload; }

    friend bool operator==(const FramePacket&, const FramePacket&) = default;
};

}  // namespace kavro::waveform
