#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codec/varicode.hpp"
#include "codec/varicode_table.hpp"

namespace {

using kavro::codec::varicode_codes;
using kavro::codec::VaricodeDecoder;
using kavro::codec::VaricodeEncoder;

std::string code_text(unsigned value) {
    std::string s;
    for (unsigned i = varicode_codes[value].length; i-- > 0;) s += ((varicode_codes[value].code >> i) & 1u) ? '1' : '0';
    return s;
}

std::vector<std::uint8_t> bits_of(const std::string& text) {
    std::vector<std::uint8_t> bits;
    for (char c : text) bits.push_back(static_cast<std::uint8_t>(c - '0'));
    return bits;
}

TEST(Varicode, PublishedRows) {
    const std::map<unsigned, std::string> rows{
        {32, "1"},     {101, "11"},    {116, "101"},        {111, "111"},        {97, "1011"},
        {10, "11101"}, {13, "11111"},  {65, "1111101"},     {0, "1010101011"},   {127, "1110110101"},
    };
    for (const auto& [value, code] : rows) EXPECT_EQ(code_text(value), code) << value;
}

TEST(Varicode, TableShape) {
    std::set<std::string> seen;
    std::vector<unsigned> by_length(11, 0);
    for (unsigned v = 0; v < 128; ++v) {
        const std::string c = code_text(v);
        EXPECT_EQ(c.front(), '1') << v;
        EXPECT_EQ(c.back(), '1') << v;
        EXPECT_EQ(c.find("00"), std::string::npos) << v;
        EXPECT_TRUE(seen.insert(c).second) << v;
        ++by_length[c.size()];
    }
    EXPECT_EQ(by_length, (std::vector<unsigned>{0, 1, 1, 2, 3, 5, 8, 13, 21, 34, 40}));
}

// The encoder's gaps: none at a boundary (construction, after a preamble), two zeros otherwise.
TEST(Varicode, EncoderGaps) {
    struct Case {
        const char* name;
        void (*run)(VaricodeEncoder&);
        std::string bits;
    };
    const Case cases[] = {
        {"e", [](VaricodeEncoder& e) { e.push_byte(101); }, "11"},
        {"e e", [](VaricodeEncoder& e) { e.push_byte(101); e.push_byte(101); }, "110011"},
        {"e post3", [](VaricodeEncoder& e) { e.push_byte(101); e.push_postamble(3); }, "1100111"},
        {"post4", [](VaricodeEncoder& e) { e.push_postamble(4); }, "1111"},
        {"e pre post4", [](VaricodeEncoder& e) { e.push_byte(101); e.push_preamble(2); e.push_postamble(4); }, "11001111"},
        {"e pre0 e", [](VaricodeEncoder& e) { e.push_byte(101); e.push_preamble(0); e.push_byte(101); }, "1111"},
        {"high byte", [](VaricodeEncoder& e) { e.push_byte(0x80); }, "1010101011"},
        {"0xFF", [](VaricodeEncoder& e) { e.push_byte(0xFF); }, "1010101011"},
        {"nothing", [](VaricodeEncoder&) {}, ""},
    };
    for (const Case& c : cases) {
        VaricodeEncoder e;
        c.run(e);
        EXPECT_EQ(e.is_empty(), c.bits.empty()) << c.name;
        EXPECT_EQ(e.drain_bits(), bits_of(c.bits)) << c.name;
        EXPECT_TRUE(e.is_empty()) << c.name;
    }
}

std::vector<std::uint8_t> decode(const std::vector<std::uint8_t>& bits) {
    VaricodeDecoder d;
    d.push_bits(bits);
    return d.pop_bytes();
}

// Any run of two or more zeros ends a character; zeros between characters are ignored.
TEST(Varicode, DecoderCases) {
    struct Case {
        std::string bits;
        std::vector<std::uint8_t> bytes;
    };
    const std::string e = "11", nul = code_text(0);
    const Case cases[] = {
        {"100", {32}},
        {"10110", {}},
        {"101100", {97}},
        {"00" "1100", {101}},
        {"000" "1100", {101}},
        {"0000" "1100", {101}},
        {"1100" "000" "1100", {101, 101}},
        {"000" + nul + "00", {0}},
        {"11111111111" "00", {}},          // longer than any code
        {"1" "1111111111" "00" "1100", {101}},  // dropped, then the next one decodes
        {"1011", {}},                      // not ended yet
    };
    for (const Case& c : cases) EXPECT_EQ(decode(bits_of(c.bits)), c.bytes) << c.bits;

    // A byte 2 shifts in a 0 that cannot end a character: 1,2,1 reads as 101 (t).
    EXPECT_EQ(decode({1, 2, 1, 0, 0}), std::vector<std::uint8_t>{116});
    EXPECT_EQ(decode({1, 0, 2, 1, 0, 0}), std::vector<std::uint8_t>{}); // 1001 is no code
}

std::vector<std::uint8_t> encode_text(std::size_t pre, const std::vector<std::uint8_t>& text, std::size_t post) {
    VaricodeEncoder e;
    e.push_preamble(pre);
    for (auto b : text) e.push_byte(b);
    e.push_postamble(post);
    auto bits = e.drain_bits();
    EXPECT_EQ(bits.size(), VaricodeEncoder::text_bit_count(pre, text, post));
    return bits;
}

TEST(Varicode, PreamblesOfAnyLengthKeepTheFirstCharacter) {
    for (std::size_t pre : {0u, 1u, 2u, 31u, 32u, 33u}) {
        auto bits = encode_text(pre, {104, 105}, 32);
        bits.push_back(0);
        bits.push_back(0);
        EXPECT_EQ(decode(bits), (std::vector<std::uint8_t>{104, 105})) << pre;
    }
}

// The published alphabet, character values 0 to 127, eight to a line, as sent on the air.
constexpr const char* kPublished[128] = {
    "1010101011", "1011011011", "1011101101", "1101110111", "1011101011", "1101011111", "1011101111", "1011111101",
    "1011111111", "11101111", "11101", "1101101111", "1011011101", "11111", "1101110101", "1110101011",
    "1011110111", "1011110101", "1110101101", "1110101111", "1101011011", "1101101011", "1101101101", "1101010111",
    "1101111011", "1101111101", "1110110111", "1101010101", "1101011101", "1110111011", "1011111011", "1101111111",
    "1", "111111111", "101011111", "111110101", "111011011", "1011010101", "1010111011", "101111111",
    "11111011", "11110111", "101101111", "111011111", "1110101", "110101", "1010111", "110101111",
    "10110111", "10111101", "11101101", "11111111", "101110111", "101011011", "101101011", "110101101",
    "110101011", "110110111", "11110101", "110111101", "111101101", "1010101", "111010111", "1010101111",
    "1010111101", "1111101", "11101011", "10101101", "10110101", "1110111", "11011011", "11111101",
    "101010101", "1111111", "111111101", "101111101", "11010111", "10111011", "11011101", "10101011",
    "11010101", "111011101", "10101111", "1101111", "1101101", "101010111", "110110101", "101011101",
    "101110101", "101111011", "1010101101", "111110111", "111101111", "111111011", "1010111111", "101101101",
    "1011011111", "1011", "1011111", "101111", "101101", "11", "111101", "1011011",
    "101011", "1101", "111101011", "10111111", "11011", "111011", "1111", "111",
    "111111", "110111111", "10101", "10111", "101", "110111", "1111011", "1101011",
    "11011111", "1011101", "111010101", "1010110111", "110111011", "1010110101", "1011010111", "1110110101",
};

// Each value encodes to its published code and the gap (a byte from 128 up to NUL's), and each
// code with its gap decodes to its value.
TEST(Varicode, EveryCodeIsThePublishedOne) {
    for (unsigned v = 0; v < 256; ++v) {
        const auto value = static_cast<std::uint8_t>(v);
        const auto sent = bits_of(std::string(kPublished[v < 128 ? v : 0]) + "00");
        EXPECT_EQ(encode_text(0, {value}, 0), sent) << v;
        if (v < 128) {
            EXPECT_EQ(decode(sent), std::vector<std::uint8_t>{value}) << v;
        }
    }
}

TEST(Varicode, TextInRandomPiecesRoundTrips) {
    std::mt19937 rng(4);
    std::vector<std::uint8_t> text(10000);
    for (auto& b : text) b = static_cast<std::uint8_t>(rng() % 128);
    auto bits = encode_text(32, text, 32);
    bits.insert(bits.end(), {0, 0});
    EXPECT_EQ(decode(bits), text);

    // The same bits in random pieces, popping between them.
    VaricodeDecoder d;
    std::vector<std::uint8_t> joined;
    for (std::size_t at = 0; at < bits.size();) {
        const std::size_t n = std::min<std::size_t>(rng() % 40, bits.size() - at);
        d.push_bits(std::span(bits).subspan(at, n));
        at += n;
        const auto got = d.pop_bytes();
        joined.insert(joined.end(), got.begin(), got.end());
    }
    EXPECT_EQ(joined, text);
    EXPECT_TRUE(d.pop_bytes().empty());
}

TEST(Varicode, SizesBeyondMemoryFailBeforeQueueing) {
    VaricodeEncoder e;
    e.push_byte(101);
    // Beyond what a vector can ever hold, so nothing is allocated (sizes that only exhaust memory
    // are checked from Python).
    EXPECT_THROW(e.push_preamble(std::size_t{1} << 63), std::length_error);
    EXPECT_THROW(e.push_postamble(~std::size_t{0}), std::length_error);
    EXPECT_THROW(VaricodeEncoder::text_bit_count(std::size_t{1} << 63, {}, std::size_t{1} << 63), std::length_error);
    EXPECT_EQ(e.drain_bits(), bits_of("11"));
}

}  // namespace
