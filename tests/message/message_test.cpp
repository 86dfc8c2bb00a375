#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "message/message.hpp"

namespace {

using namespace kavro::message;

// Fields written most significant bit first from bit 0 of the payload.
Payload fields(std::initializer_list<std::pair<std::uint64_t, unsigned>> list) {
    Payload payload{};
    unsigned at = 0;
    for (const auto& [value, width] : list)
        for (unsigned i = width; i-- > 0; ++at)
            if ((value >> i) & 1u) payload[at / 8] |= static_cast<std::uint8_t>(0x80u >> (at % 8));
    return payload;
}

Payload nonstd_payload(std::uint64_t h12, bool h1, unsigned r2, bool c1) {
    // c58 of "PJ4/K1ABC", right-aligned in base 38.
    std::uint64_t c58 = 0;
    for (const char c : std::string("  PJ4/K1ABC")) c58 = c58 * 38 + (c == ' ' ? 0 : c == '/' ? 37 : c <= '9' ? c - '0' + 1 : c - 'A' + 11);
    return fields({{h12, 12}, {c58, 58}, {h1, 1}, {r2, 2}, {c1, 1}, {4, 3}});
}

TEST(Pack77, NonStandardCallsignsMatchTheReferenceBits) {
    CallsignHashTable table;
    const Payload reference{0xf3, 0x10, 0x01, 0xa3, 0xa3, 0x11, 0xca, 0xa0, 0x05, 0x20};  // <W9XYZ> PJ4/K1ABC RR73
    EXPECT_EQ(pack77(NonStd{"W9XYZ", "PJ4/K1ABC", 1}, table), reference);
    EXPECT_EQ(table.find(callsign_hashes("PJ4/K1ABC").hash22), "PJ4/K1ABC");
    EXPECT_EQ(pack77(NonStd{"W9XYZ", "<PJ4/K1ABC>", 1}, table), reference);
    EXPECT_EQ(pack77(NonStd{"CQ", "PJ4/K1ABC", 0}, table), nonstd_payload(0, false, 0, true));
    EXPECT_EQ(pack77(NonStd{"CQ DX", "PJ4/K1ABC", 3}, table), nonstd_payload(0, false, 0, true));
    EXPECT_EQ(pack77(NonStd{"W9XYZ", "PJ4/K1ABC", 3}, table), nonstd_payload(0xf31, false, 0, false));
    EXPECT_FALSE(pack77(NonStd{"W9XYZ", "PJ4/K1ABCDEF", 1}, table));
    EXPECT_FALSE(pack77(NonStd{"W9XYZ", "pj4/K1ABC", 1}, table));
}

struct NonStdCase {
    bool h1;
    unsigned r2;
    bool c1;
    NonStd expected;
};

class Unpack77NonStd : public testing::TestWithParam<NonStdCase> {};

TEST_P(Unpack77NonStd, ShowsTheCallsInMessageOrder) {
    const NonStdCase& c = GetParam();
    EXPECT_EQ(unpack77(nonstd_payload(0x123, c.h1, c.r2, c.c1), CallsignHashTable{}), Ft8Message(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Flags, Unpack77NonStd,
                         testing::Values(NonStdCase{false, 0, false, {"<...>", "PJ4/K1ABC", 3}},
                                         NonStdCase{false, 1, false, {"<...>", "PJ4/K1ABC", 0}},
                                         NonStdCase{true, 2, false, {"PJ4/K1ABC", "<...>", 1}},
                                         NonStdCase{true, 3, false, {"PJ4/K1ABC", "<...>", 2}},
                                         NonStdCase{false, 2, true, {"CQ", "PJ4/K1ABC", 3}},
                                         NonStdCase{true, 1, true, {"CQ", "PJ4/K1ABC", 3}}));

TEST(Unpack77, CallsignFieldsOutsideEveryRangeShowAsUnknownCalls) {
    const Payload payload = fields({{600000, 28}, {0, 1}, {hashed_base - 1, 28}, {0, 1}, {0, 1}, {10331, 15}, {1, 3}});
    EXPECT_EQ(unpack77(payload, CallsignHashTable{}), Ft8Message(Standard{"<?>", "<?>", grid_field::Grid{"FN31"}}));
}

TEST(Pack77, FlagsASuffixedCallToEvenWhenItIsHashed) {
    CallsignHashTable table;
    const auto payload = pack77(Standard{"PJ4/K1ABC/R", "W9XYZ", grid_field::Blank{}}, table);
    ASSERT_TRUE(payload);
    const std::uint32_t hashed = hashed_base + callsign_hashes("PJ4/K1ABC/R").hash22;
    const std::uint32_t w9xyz = 6257896 + (((32 * 10 + 9) * 27 + 24) * 27 + 25) * 27 + 26;
    EXPECT_EQ(*payload, fields({{hashed, 28}, {1, 1}, {w9xyz, 28}, {0, 1}, {0, 1}, {blank_value, 15}, {1, 3}}));
    EXPECT_FALSE(pack77(Standard{"K1ABC", "k1abc", grid_field::Blank{}}, table));
}

struct FreeTextCase {
    std::string text;
    bool packs;
    std::string unpacked;
};

class FreeTexts : public testing::TestWithParam<FreeTextCase> {};

TEST_P(FreeTexts, PackLeftAlignedAndUnpackTrimmed) {
    const FreeTextCase& c = GetParam();
    CallsignHashTable table;
    const auto payload = pack77(FreeText{c.text}, table);
    ASSERT_EQ(payload.has_value(), c.packs);
    if (payload) {
        EXPECT_EQ(unpack77(*payload, table), Ft8Message(FreeText{c.unpacked}));
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, FreeTexts,
                         testing::Values(FreeTextCase{"", true, ""}, FreeTextCase{"HELLO", true, "HELLO"},
                                         FreeTextCase{"  A B  ", true, "A B"},
                                         FreeTextCase{"+-./?+-./?+-.", true, "+-./?+-./?+-."},
                                         FreeTextCase{"0123456789ABC", true, "0123456789ABC"},
                                         FreeTextCase{"0123456789ABCD", false, ""},
                                         FreeTextCase{"HELLo", false, ""}, FreeTextCase{"A,B", false, ""}));

TEST(Pack77, FreeTextAndTelemetryFillTheLow71Bits) {
    CallsignHashTable table;
    EXPECT_EQ(pack77(FreeText{""}, table), Payload{});
    EXPECT_EQ(pack77(FreeText{"HELLO"}, table), (Payload{0x3c, 0x02, 0x0b, 0x01, 0x8d, 0xa0, 0x62, 0xca, 0x00, 0x00}));
    EXPECT_EQ(pack77(Telemetry{{1, 2, 3, 4, 5, 6, 7, 8, 9}}, table),
              (Payload{0x02, 0x04, 0x06, 0x08, 0x0a, 0x0c, 0x0e, 0x10, 0x13, 0x40}));
    const Payload top{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x47};  // n3 5, i3 0, bits 77..79 set
    EXPECT_EQ(unpack77(top, table), Ft8Message(Telemetry{{0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}));
}

}  // namespace
