#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "fec/crc.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kavro::fec::CrcKind;
using kavro::fec::crc16;
using kavro::fec::crc32;

std::vector<std::uint8_t> ascii(std::string_view text) { return {text.begin(), text.end()}; }

// The byte stream the reference values were computed over: x = (x*1103515245 + 12345) mod 2^31,
// byte = bits 16..23 of x, starting from x = 1.
std::vector<std::uint8_t> lcg_bytes(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    std::uint64_t x = 1;
    for (auto& b : out) {
        x = (x * 1103515245u + 12345u) % (std::uint64_t{1} << 31);
        b = static_cast<std::uint8_t>((x >> 16) & 0xFF);
    }
    return out;
}

struct CrcVector {
    std::size_t length;
    std::uint16_t crc16;
    std::uint32_t crc32;
};

// binascii.crc_hqx(data, 0xFFFF) and zlib.crc32(data) of lcg_bytes(length); the lengths straddle
// the eight-byte steps of the CRC-32 loop.
constexpr CrcVector kVectors[] = {
    {0, 0xFFFF, 0x00000000u},    {1, 0x587A, 0xA0058808u},    {2, 0x3EA4, 0x6BC43E0Cu},
    {3, 0xF234, 0x4160D42Eu},    {7, 0xD386, 0xA6AB295Du},    {8, 0x236A, 0xED114279u},
    {9, 0x6470, 0x9730A2BAu},    {15, 0x2DB3, 0x31398A7Bu},   {16, 0xA7A0, 0x66386830u},
    {17, 0x752C, 0x83BAD7DFu},   {63, 0x5F35, 0x08360A34u},   {64, 0xC88F, 0x3C04B8ABu},
    {65, 0xCBA4, 0xD4885E2Au},   {1000, 0x6346, 0x1F52FD1Cu}, {4099, 0xDB86, 0x20331277u},
};

class CrcReference : public ::testing::TestWithParam<CrcVector> {};

TEST_P(CrcReference, MatchesPythonOracle) {
    const auto data = lcg_bytes(GetParam().length);
    EXPECT_EQ(crc16(data), GetParam().crc16);
    EXPECT_EQ(crc32(data), GetParam().crc32);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CrcReference, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return "len" + std::to_string(info.param.length); });

TEST(Crc, CheckValues) {
    const auto check = ascii("123456789");
    EXPECT_EQ(crc16(check), 0x29B1);
    EXPECT_EQ(crc32(check), 0xCBF43926u);
}

struct AppendCase {
    CrcKind kind;
    const char* text;
    Bytes framed;
};

class AppendCrc : public ::testing::TestWithParam<AppendCase> {};

TEST_P(AppendCrc, MostSignificantByteFirstAndChecksBack) {
    const auto& [kind, text, framed] = GetParam();
    const Bytes payload = ascii(text);
    EXPECT_EQ(kavro::fec::append_crc(kind, payload), framed);

    const auto check = kavro::fec::check_crc(kind, framed);
    ASSERT_TRUE(check.has_value());
    EXPECT_TRUE(check->crc_ok);
    EXPECT_EQ(Bytes(check->payload.begin(), check->payload.end()), payload);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AppendCrc,
    ::testing::Values(AppendCase{CrcKind::Crc16, "123456789", {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x29, 0xB1}},
                      AppendCase{CrcKind::Crc32, "123456789",
                                 {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0xCB, 0xF4, 0x39, 0x26}},
                      AppendCase{CrcKind::None, "123", {'1', '2', '3'}},
                      // A buffer holding only the CRC of nothing checks as an empty payload.
                      AppendCase{CrcKind::Crc16, "", {0xFF, 0xFF}},
                      AppendCase{CrcKind::Crc32, "", {0, 0, 0, 0}}, AppendCase{CrcKind::None, "", {}}));

TEST(CheckCrc, DetectsEveryCorruptedByte) {
    for (const CrcKind kind : {CrcKind::Crc16, CrcKind::Crc32}) {
        const Bytes framed = kavro::fec::append_crc(kind, lcg_bytes(40));
        for (std::size_t i = 0; i < framed.size(); ++i) {
            Bytes bad = framed;
            bad[i] ^= 0x10;
            const auto check = kavro::fec::check_crc(kind, bad);
            ASSERT_TRUE(check.has_value());
            EXPECT_FALSE(check->crc_ok) << "kind " << static_cast<int>(kind) << " byte " << i;
            EXPECT_EQ(check->payload.size(), 40u);
        }
    }
}

TEST(CheckCrc, RefusesBuffersShorterThanTheCrc) {
    const auto short16 = kavro::fec::check_crc(CrcKind::Crc16, Bytes{0xFF});
    ASSERT_FALSE(short16.has_value());
    EXPECT_EQ(error_message(short16.error()), "buffer shorter than its CRC");
    EXPECT_FALSE(kavro::fec::check_crc(CrcKind::Crc32, Bytes{1, 2, 3}).has_value());
    // Without a CRC an empty buffer is a valid empty payload.
    const auto none = kavro::fec::check_crc(CrcKind::None, Bytes{});
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->crc_ok);
}

}  // namespace
