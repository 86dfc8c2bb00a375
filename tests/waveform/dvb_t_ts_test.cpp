#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/internal_fault.hpp"
#include "waveform/dvb_t.hpp"
#include "waveform/dvb_t_ts.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace w = kavro::waveform;

Bytes counting(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return bytes;
}

TEST(TsPacketize, SplitsIntoSyncBytePlus187) {
    struct Case {
        std::size_t payload;
        std::size_t packets;
    };
    for (const Case c : {Case{0, 1}, Case{187, 1}, Case{188, 2}, Case{400, 3}}) {
        const Bytes payload = counting(c.payload);
        const Bytes stream = w::ts_packetize(payload);
        ASSERT_EQ(stream.size(), c.packets * 188) << c.payload;
        Bytes expected(c.packets * 188, 0);
        for (std::size_t i = 0; i < c.packets; ++i) expected[i * 188] = 0x47;
        for (std::size_t i = 0; i < c.payload; ++i) expected[(i / 187) * 188 + 1 + i % 187] = payload[i];
        EXPECT_EQ(stream, expected) << c.payload;
    }
}

TEST(TsNullPacket, HeaderAndStuffing) {
    Bytes stream{1, 2};
    w::append_null_packets(stream, 2);
    ASSERT_EQ(stream.size(), 2 + 2 * 188u);
    for (std::size_t p = 0; p < 2; ++p) {
        const std::uint8_t* packet = stream.data() + 2 + p * 188;
        EXPECT_EQ((Bytes{packet, packet + 4}), (Bytes{0x47, 0x1F, 0xFF, 0x10}));
        for (std::size_t i = 4; i < 188; ++i) EXPECT_EQ(packet[i], 0xFF);
    }
    EXPECT_EQ(stream[0], 1);
}

// The randomiser as drawn: fifteen stages loaded with 100101010000000, output stage 14 XOR 15.
Bytes prbs_bytes(std::size_t n) {
    std::array<int, 16> stage{0, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    Bytes out(n, 0);
    for (std::size_t i = 0; i < 8 * n; ++i) {
        const int bit = stage[14] ^ stage[15];
        for (int k = 15; k > 1; --k) stage[k] = stage[k - 1];
        stage[1] = bit;
        out[i / 8] |= static_cast<std::uint8_t>(bit << (7 - i % 8));
    }
    return out;
}

TEST(TsEnergyDisperse, RandomisesGroupsOfEightPacketsAndUndoesItself) {
    Bytes stream(16 * 188, 0);
    for (std::size_t p = 0; p < 16; ++p) stream[p * 188] = 0x47;
    const Bytes original = stream;
    w::ts_energy_disperse(stream);

    EXPECT_EQ((Bytes{stream.begin() + 1, stream.begin() + 5}), (Bytes{0x03, 0xF6, 0x08, 0x34}));
    const Bytes prbs = prbs_bytes(8 * 188 - 1);
    for (std::size_t p = 0; p < 16; ++p) {
        EXPECT_EQ(stream[p * 188], p % 8 == 0 ? 0xB8 : 0x47) << p;
        for (std::size_t b = 1; b < 188; ++b)
            ASSERT_EQ(stream[p * 188 + b], prbs[(p % 8) * 188 + b - 1]) << "packet " << p << " byte " << b;
    }
    w::ts_energy_disperse(stream);
    EXPECT_EQ(stream, original);
}

TEST(TsEnergyDisperse, PartialPacketIsAnInternalFaultThatChangesNothing) {
    Bytes stream = counting(189);
    const Bytes before = stream;
    EXPECT_THROW(w::ts_energy_disperse(stream), kavro::InternalFault);
    EXPECT_EQ(stream, before);
}

TEST(TsDepacketize, DropsEachSyncByteAndRefusesPartialStreams) {
    Bytes stream = counting(376);
    stream[0] = 0x12;  // any first byte is accepted
    const auto payload = w::ts_depacketize(stream);
    ASSERT_TRUE(payload.has_value());
    Bytes expected(stream.begin() + 1, stream.begin() + 188);
    expected.insert(expected.end(), stream.begin() + 189, stream.end());
    EXPECT_EQ(*payload, expected);
    EXPECT_EQ(payload->size(), 374u);
    EXPECT_FALSE(w::ts_depacketize(Bytes{}).has_value());
    EXPECT_FALSE(w::ts_depacketize(counting(200)).has_value());
}

TEST(DvbTFillPlan, StuffsAOnePacketQpskFrameToItsCapacity) {
    const auto params = *w::DvbTFrameParams::create("1/8", "qpsk", "1/2");
    kavro::fec::CodecCache cache;
    EXPECT_EQ(w::dvb_t_frame_fill_with(params, 1, 68, cache), (w::DvbTFillPlan{51, 202380, 205632}));
    const auto chain = w::dvb_t_chain_settings(params);
    EXPECT_EQ(w::dvb_t_coded_bits(chain, 52, cache), 205644u);
    // Starting at the answer finds the same count.
    EXPECT_EQ(w::dvb_t_frame_fill_with(params, 51, 68, cache).packets, 51u);
}

}  // namespace
