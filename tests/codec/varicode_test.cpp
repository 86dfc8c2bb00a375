#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codec/varicode.hpp"
#include "codec/varicode_table.hpp"

namespace {

using kavro::codec::kVaricode;
using kavro::codec::VaricodeDecoder;
using kavro::codec::VaricodeEncoder;

std::string code_text(unsigned value) {
    std::string s;
    for (unsigned i = kVaricode[value].length; i-- > 0;) s += ((kVaricode[value].code >> i) & 1u) ? '1' : '0';
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

TEST(Varicode, EveryValueRoundTrips) {
    for (unsigned v = 0; v < 256; ++v) {
        auto bits = encode_text(0, {static_cast<std::uint8_t>(v)}, 0);
        bits.insert(bits.end(), {0, 0});
        EXPECT_EQ(decode(bits), std::vector<std::uint8_t>{static_cast<std::uint8_t>(v < 128 ? v : 0)}) << v;
    }
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
