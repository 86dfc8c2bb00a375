#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "message/callsign.hpp"

namespace {

using namespace kavro::message;

// The six-slot value written out from the slot digits (A37, A36, A10, A27, A27, A27).
constexpr std::uint32_t slots(int s0, int s1, int s2, int s3, int s4, int s5) {
    return 6257896u + static_cast<std::uint32_t>(((((s0 * 36 + s1) * 10 + s2) * 27 + s3) * 27 + s4) * 27 + s5);
}

constexpr std::uint32_t kK1abcHash22 = 2920267;

struct PackCase {
    const char* text;
    std::optional<Packed28> expected;  // empty: refused; c28 0 with hashed: 2063592 + hash22(text)
    bool hashed = false;
};

const PackCase kPackCases[] = {
    {"DE", Packed28{0, false}},
    {"QRZ", Packed28{1, false}},
    {"CQ", Packed28{2, false}},
    {"CQ 000", Packed28{3, false}},
    {"CQ 999", Packed28{1002, false}},
    {"CQ DX", Packed28{1003 + 4 * 27 + 24, false}},
    {"CQ AB C", Packed28{1032, false}},       // what follows the second space is ignored
    {"CQ ZZZZ", Packed28{1003 + 26 * 27 * 27 * 27 + 26 * 27 * 27 + 26 * 27 + 26, false}},
    {"CQ ", std::nullopt},
    {"CQ 12", std::nullopt},
    {"CQ 1A", std::nullopt},
    {"CQ 1234", std::nullopt},
    {"CQ A-B", std::nullopt},
    {"CQ ABCDE", Packed28{}, true},           // eight bytes: not a CQ form, a hashed call
    {"K1", std::nullopt},
    {"K1ABC", Packed28{10214965, false}},
    {"K1ABC/R", Packed28{10214965, true}},
    {"K1ABC/P", Packed28{10214965, true}},
    {"KA1ABC", Packed28{slots(21, 10, 1, 1, 2, 3), false}},
    {"W9XYZ", Packed28{slots(0, 32, 9, 24, 25, 26), false}},
    {"AB1", Packed28{slots(11, 11, 1, 0, 0, 0), false}},
    {"AB1CDE", Packed28{slots(11, 11, 1, 3, 4, 5), false}},
    {"AB1CDEF", Packed28{}, true},            // too long for the six slots
    {"K1ABCD", Packed28{}, true},
    {"3DA0XYZ", Packed28{}, true},            // 3DA0 and 3X calls are never folded into six slots
    {"3XA1BC", Packed28{}, true},
    {"PJ4/K1ABC", Packed28{}, true},
    {"K1ABC/R/P", Packed28{}, true},
    {"ABCDEFGHIJK", Packed28{}, true},
    {"ABCDEFGHIJKL", std::nullopt},
    {"k1abc", std::nullopt},
    {"K1-BC7", std::nullopt},
};

class Pack28 : public testing::TestWithParam<PackCase> {};

TEST_P(Pack28, GivesTheFieldAndSavesOnlyWhatItPacks) {
    const PackCase& c = GetParam();
    CallsignHashTable table;
    const auto packed = pack28(c.text, table);
    const std::uint32_t hash22 = callsign_hashes(c.text).hash22;
    if (!c.expected) {
        EXPECT_FALSE(packed);
        EXPECT_FALSE(table.find(hash22));
        return;
    }
    ASSERT_TRUE(packed);
    const Packed28 expected = c.hashed ? Packed28{hashed_base + hash22, false} : *c.expected;
    EXPECT_EQ(*packed, expected);
    if (c.hashed || packed->c28 >= standard_base) {
        EXPECT_EQ(table.find(hash22), std::optional<std::string_view>(c.text));
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, Pack28, testing::ValuesIn(kPackCases));

struct UnpackCase {
    std::uint32_t c28;
    bool r;
    unsigned i3;
    std::optional<std::string> expected;
};

const UnpackCase kUnpackCases[] = {
    {0, false, 1, "DE"},
    {2, true, 0, "CQ"},                        // r and i3 only matter for standard calls
    {3 + 7, false, 1, "CQ 007"},
    {1003, false, 1, "CQ "},
    {1135, false, 1, "CQ DX"},
    {1003 + 1 * 27 * 27 * 27, false, 1, "CQ A"}, // spaces trimmed on both sides of the letters
    {532443, false, 1, "CQ ZZZZ"},
    {532444, false, 1, std::nullopt},
    {2063591, false, 1, std::nullopt},
    {hashed_base + kK1abcHash22, false, 1, "<...>"},
    {10214965, false, 1, "K1ABC"},
    {10214965, true, 1, "K1ABC/R"},
    {10214965, true, 2, "K1ABC/P"},
    {10214965, true, 3, std::nullopt},
    {slots(4, 13, 0, 24, 25, 26), false, 1, "3DA0XYZ"},  // 3D0XYZ as folding senders write it
    {slots(27, 10, 1, 2, 3, 0), false, 1, "3XA1BC"},     // QA1BC likewise
    {slots(4, 13, 0, 0, 0, 0), false, 1, "3D0"},
    {slots(0, 1, 1, 0, 0, 0), false, 1, std::nullopt},   // "11": too short
    {(1u << 28) - 1, false, 1, "ZZ9ZZZ"},
    {1u << 28, false, 1, std::nullopt},
};

class Unpack28 : public testing::TestWithParam<UnpackCase> {};

TEST_P(Unpack28, GivesTheText) {
    const UnpackCase& c = GetParam();
    EXPECT_EQ(unpack28(c.c28, c.r, c.i3, CallsignHashTable{}), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, Unpack28, testing::ValuesIn(kUnpackCases));

TEST(CallsignHashTable, HashesLeftAlignedAndKeepsTheLatestTextPerHash) {
    EXPECT_EQ(callsign_hashes("K1ABC").hash22, kK1abcHash22);
    EXPECT_EQ(callsign_hashes("K1ABC").hash12, 2851);
    // Only the first 11 characters count; characters outside the alphabet count as spaces.
    EXPECT_EQ(callsign_hashes("ABCDEFGHIJKL").hash22, callsign_hashes("ABCDEFGHIJK").hash22);
    EXPECT_EQ(callsign_hashes("K1ABC").hash22, callsign_hashes("K1ABC,").hash22);
    EXPECT_NE(callsign_hashes("K1ABC").hash22, callsign_hashes(" K1ABC").hash22);

    CallsignHashTable table;
    const std::uint32_t c28 = hashed_base + kK1abcHash22;
    table.save("K1ABC");
    EXPECT_EQ(unpack28(c28, false, 1, table), "<K1ABC>");
    EXPECT_EQ(table.save("K1ABC ").hash22, kK1abcHash22);
    EXPECT_EQ(unpack28(c28, false, 1, table), "<K1ABC >");
}

}  // namespace
