#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "waveform/dvb_t_tps.hpp"

namespace {

using kavro::Complex;
using kavro::ConstellationOrder;
namespace w = kavro::waveform;

w::DvbTFrameParams params(const char* guard, const char* constellation, const char* rate, std::uint8_t frame,
                          std::uint8_t cell) {
    return *w::DvbTFrameParams::create(guard, constellation, rate, frame, cell);
}

unsigned field(const w::TpsBits& s, std::size_t from, std::size_t count) {
    unsigned value = 0;
    for (std::size_t i = 0; i < count; ++i) value = (value << 1) | s[from + i];
    return value;
}

// Long division of s1..s67, s1 the highest power, by x^14+x^9+x^8+x^6+x^5+x^4+x^2+x+1.
unsigned division_remainder(const w::TpsBits& s) {
    std::vector<int> r(s.begin() + 1, s.end());
    const std::array<int, 15> g{1, 0, 0, 0, 0, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1};  // x^14 .. x^0
    for (std::size_t i = 0; i + 14 < r.size(); ++i)
        if (r[i])
            for (std::size_t j = 0; j < g.size(); ++j) r[i + j] ^= g[j];
    unsigned rem = 0;
    for (std::size_t i = r.size() - 14; i < r.size(); ++i) rem = (rem << 1) | static_cast<unsigned>(r[i]);
    return rem;
}

struct WordCase {
    w::DvbTFrameParams p;
    std::string bits_1_to_53;
    unsigned parity;
};

class TpsEncoding : public ::testing::TestWithParam<WordCase> {};

TEST_P(TpsEncoding, FillsTheFieldsAndTheBchParity) {
    const auto& c = GetParam();
    const w::TpsBits s = w::encode_tps(c.p);
    EXPECT_EQ(s[0], 0);
    std::string info;
    for (std::size_t i = 1; i <= 53; ++i) info += static_cast<char>('0' + s[i]);
    EXPECT_EQ(info, c.bits_1_to_53);
    EXPECT_EQ(field(s, 54, 14), c.parity);
    EXPECT_EQ(division_remainder(s), 0u);
    EXPECT_EQ(w::tps_remainder(std::span<const std::uint8_t>(s).subspan(1)), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    PublishedWords, TpsEncoding,
    ::testing::Values(
        //         sync             length  fn  con hier rate rate gi md cell id  reserved
        WordCase{params("1/32", "qpsk", "1/2", 0, 0),
                 "0011010111101110" "011111" "00" "00" "000" "000" "000" "00" "00" "00000000" "000000", 0x13CD},
        WordCase{params("1/8", "qam16", "3/4", 2, 171),
                 "0011010111101110" "011111" "10" "01" "000" "010" "010" "10" "00" "10101011" "000000", 0x1B97},
        WordCase{params("1/4", "qam64", "7/8", 5, 0),
                 "1100101000010001" "011111" "01" "10" "000" "100" "100" "11" "00" "00000000" "000000",
                 division_remainder([] {
                     w::TpsBits s{};
                     const std::string info = "1100101000010001" "011111" "01" "10" "000" "100" "100" "11" "00"
                                              "00000000" "000000";
                     for (std::size_t i = 0; i < info.size(); ++i) s[1 + i] = static_cast<std::uint8_t>(info[i] - '0');
                     return s;  // parity zero: the remainder of the information bits times x^14
                 }())}));

TEST(TpsEncoding, FrameNumberPicksTheSyncWordAndSendsTwoBits) {
    const std::array<std::uint8_t, 5> frames{0, 1, 2, 3, 5};
    for (const std::uint8_t f : frames) {
        const auto s = w::encode_tps(params("1/8", "qpsk", "1/2", f, 0));
        EXPECT_EQ(field(s, 1, 16), (f & 1) ? 0xCA11u : 0x35EEu) << int(f);
        EXPECT_EQ(s[23], (f >> 1) & 1) << int(f);
        EXPECT_EQ(s[24], f & 1) << int(f);
    }
}

TEST(TpsReference, SignsAreOneMinusTwiceTheReferenceBit) {
    std::vector<int> bits(1705, 1);
    for (int k = 11; k < 1705; ++k) bits[k] = bits[k - 2] ^ bits[k - 11];
    const std::array<int, 17> carriers{34, 50, 209, 346, 413, 569, 595, 688, 790, 901, 1073, 1219, 1262, 1286, 1469, 1594, 1687};
    const auto signs = w::tps_reference_signs();
    for (std::size_t i = 0; i < carriers.size(); ++i) EXPECT_EQ(signs[i], 1.0f - 2.0f * bits[carriers[i]]) << carriers[i];
}

TEST(TpsSymbolWriter, DifferentialSignsCarryTheWordAndRestartEveryBlock) {
    const auto p = params("1/8", "qam16", "3/4", 2, 171);
    const auto s = w::encode_tps(p);
    const auto reference = w::tps_reference_signs();
    const std::array<std::size_t, 17> bins{1230, 1246, 1405, 1542, 1609, 1765, 1791, 1884, 1986,
                                           49,   221,  367,  410,  434,  617,  742,  835};
    w::TpsSymbolWriter writer(p);
    std::vector<Complex> spectrum(2048, Complex{5.0f, 5.0f});
    std::vector<std::array<float, 17>> values;
    for (std::size_t l = 0; l < 157; ++l) {
        writer.write(l, spectrum);
        std::array<float, 17> v{};
        for (std::size_t i = 0; i < 17; ++i) {
            EXPECT_EQ(spectrum[bins[i]].im, 0.0f);
            v[i] = spectrum[bins[i]].re;
        }
        values.push_back(v);
    }
    EXPECT_EQ(values[0], reference);
    for (std::size_t l = 1; l < 68; ++l)
        for (std::size_t i = 0; i < 17; ++i) EXPECT_EQ(values[l][i] != values[l - 1][i], s[l] == 1) << l;
    for (std::size_t l = 68; l < 157; ++l) EXPECT_EQ(values[l], values[l - 68]) << l;
    EXPECT_EQ(spectrum[0], (Complex{5.0f, 5.0f}));  // only the TPS bins are written
}

TEST(TpsWordRepr, QuotesTheKeywords) {
    const w::TpsWord word{2, ConstellationOrder::Qam16, 2, 2, 171};
    EXPECT_EQ(w::repr(word), "TpsWord(frame_number=2, constellation=\"qam16\", code_rate=\"3/4\", guard=\"1/8\", cell_id=171)");
}

}  // namespace
