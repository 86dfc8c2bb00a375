#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/bit_packing.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kavro::fec::bits_to_bytes;
using kavro::fec::bytes_to_bits;
using kavro::fec::pack_bits_padded;

TEST(BitPacking, MostSignificantBitFirst) {
    EXPECT_EQ(bytes_to_bits(Bytes{0xA5}), (Bytes{1, 0, 1, 0, 0, 1, 0, 1}));
    EXPECT_EQ(bits_to_bytes(Bytes{1, 0, 1, 0, 0, 1, 0, 1}), Bytes{0xA5});
    // Only bit 0 of each element counts: 2 packs as 0, 3 as 1.
    EXPECT_EQ(bits_to_bytes(Bytes{3, 2, 3, 2, 2, 3, 2, 3}), Bytes{0xA5});
    EXPECT_EQ(pack_bits_padded(Bytes{3, 2, 3, 2, 2, 3, 2, 3}), Bytes{0xA5});
}

TEST(BitPacking, PaddedPackingFillsTheLastByteWithZeros) {
    EXPECT_EQ(pack_bits_padded(Bytes{1, 1, 1}), Bytes{0xE0});
    EXPECT_EQ(pack_bits_padded(Bytes{1, 0, 0, 0, 0, 0, 0, 1, 1}), (Bytes{0x81, 0x80}));
    EXPECT_TRUE(pack_bits_padded(Bytes{}).empty());
    EXPECT_TRUE(bits_to_bytes(Bytes{}).empty());
}

TEST(BitPacking, EveryByteValueRoundTrips) {
    std::mt19937 rng(7);
    Bytes bytes(1001);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i < 256 ? i : rng());
    const Bytes bits = bytes_to_bits(bytes);
    ASSERT_EQ(bits.size(), 8 * bytes.size());
    for (const auto bit : bits) ASSERT_LE(bit, 1);
    EXPECT_EQ(bits_to_bytes(bits), bytes);
    EXPECT_EQ(pack_bits_padded(bits), bytes);
}

TEST(BitPacking, PartialByteIsAnInternalFault) {
    try {
        bits_to_bytes(Bytes(13, 1));
        FAIL() << "no fault";
    } catch (const kavro::InternalFault& fault) {
        EXPECT_NE(std::string(fault.what()).find("bit count must be a whole number of bytes"), std::string::npos);
    }
}

}  // namespace
