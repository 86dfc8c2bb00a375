#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "waveform/ofdm_frame/frame_header.hpp"

namespace {

using namespace kavro;

TEST(FrameHeader, SerialisesFieldsMostSignificantByteFirst) {
    const waveform::FramePacket packet{std::vector<std::uint8_t>(5, 0xAA), 258, 2, 128};
    const std::array<std::uint8_t, 14> expected{0x02, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00,
                                                0x01, 0x02, 0x80, 0x00, 0x00, 0x00, 0x07};
    EXPECT_EQ(waveform::FrameHeader::of(packet, 7).serialize(), expected);
}

TEST(FrameHeader, ParsesWhatItSerialisesAndRefusesShortInput) {
    const waveform::FrameHeader header{255, 0xDEADBEEF, 0xFFFFFFFF, 0x5A, 0x01020304};
    const auto bytes = header.serialize();
    EXPECT_EQ(waveform::FrameHeader::parse(bytes), header);

    std::vector<std::uint8_t> longer(bytes.begin(), bytes.end());
    longer.push_back(0x99);
    EXPECT_EQ(waveform::FrameHeader::parse(longer), header);
    EXPECT_FALSE(waveform::FrameHeader::parse(std::span(bytes).first(13)).has_value());
}

// The header and its CRC fit one "n512r12" word whatever the CRC kind.
TEST(FrameHeader, HeaderCodeIsOneLdpcWord) {
    fec::CodecCache cache;
    for (const auto crc : {fec::CrcKind::None, fec::CrcKind::Crc16, fec::CrcKind::Crc32}) {
        const fec::BlockPlan plan = waveform::header_block_plan(crc, cache);
        EXPECT_EQ(plan.coded_bits, 512u);
        const std::array<std::uint8_t, 14> header{};
        EXPECT_EQ(waveform::encode_header(header, crc, cache).size(), 512u);
    }
}

}  // namespace
