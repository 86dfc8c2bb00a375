#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/complex.hpp"
#include "waveform/dvb_t_tps_decoder.hpp"

namespace {

using kavro::Complex;
using kavro::waveform::tps_bch_decode;
using kavro::waveform::TpsDecoder;
using Word = std::array<std::uint8_t, 68>;

constexpr std::array<std::size_t, 17> kTpsBins{1230, 1246, 1405, 1542, 1609, 1765, 1791, 1884, 1986,
                                               49,   221,  367,  410,  434,  617,  742,  835};

void put(Word& s, std::size_t first, unsigned value, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) s[first + i] = (value >> (count - 1 - i)) & 1u;
}

// The word as the standard lays it out, its parity the remainder of s1..s53·x^14 by
// g(x) = x^14 + x^9 + x^8 + x^6 + x^5 + x^4 + x^2 + x + 1, by long division on a bit array.
Word make_word(unsigned sync, unsigned frame, unsigned constellation, unsigned rate, unsigned guard, unsigned cell) {
    Word s{};
    put(s, 1, sync, 16);
    put(s, 17, 0b011111, 6);
    put(s, 23, frame, 2);
    put(s, 25, constellation, 2);
    put(s, 30, rate, 3);
    put(s, 33, rate, 3);
    put(s, 36, guard, 2);
    put(s, 40, cell, 8);
    std::array<int, 67> rem{};
    for (int i = 0; i < 53; ++i) rem[i] = s[1 + i];
    const std::array<int, 15> g{1, 0, 0, 0, 0, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1};  // x^14 .. x^0
    for (int i = 0; i < 53; ++i)
        if (rem[i])
            for (int k = 0; k < 15; ++k) rem[i + k] ^= g[k];
    for (int k = 0; k < 14; ++k) s[54 + k] = static_cast<std::uint8_t>(rem[53 + k]);
    return s;
}

std::vector<std::uint8_t> received(const Word& s) { return {s.begin() + 1, s.end()}; }

// Raw TPS bins of n symbols carrying `word` differentially from the reference signs `ref`,
// reloaded every 68 symbols; each symbol scaled by `gain` to show only signs matter.
std::vector<std::vector<Complex>> tps_symbols(const Word& word, std::size_t n, Complex gain) {
    std::array<float, 17> ref{1, -1, 1, 1, -1, -1, 1, -1, 1, 1, 1, -1, -1, 1, -1, 1, 1};
    std::array<float, 17> cur = ref;
    std::vector<std::vector<Complex>> out;
    for (std::size_t l = 0; l < n; ++l) {
        const std::size_t j = l % 68;
        if (j != 0 && word[j]) for (auto& v : cur) v = -v;
        std::vector<Complex> bins(2048, Complex{0.3f, -0.2f});
        for (std::size_t c = 0; c < 17; ++c) bins[kTpsBins[c]] = gain * cur[c];
        out.push_back(bins);
        if (j == 67) cur = ref;
    }
    return out;
}

const Word kWord = make_word(0x35EE, 2, 0b01, 2, 2, 171);

TEST(TpsBch, ParityOfThePublishedWords) {
    const Word a = make_word(0x35EE, 0, 0, 0, 0, 0);
    unsigned r = 0;
    for (int k = 0; k < 14; ++k) r = (r << 1) | a[54 + k];
    EXPECT_EQ(r, 0x13CDu);
    r = 0;
    for (int k = 0; k < 14; ++k) r = (r << 1) | kWord[54 + k];
    EXPECT_EQ(r, 0x1B97u);
}

TEST(TpsBch, CleanWordDecodesAsSent) {
    const auto got = tps_bch_decode(received(kWord));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, kWord);
}

TEST(TpsBch, EverySingleAndDoubleErrorIsCorrected) {
    for (std::size_t i = 1; i < 68; ++i) {
        Word s = kWord;
        s[i] ^= 1u;
        const auto one = tps_bch_decode(received(s));
        ASSERT_TRUE(one) << i;
        EXPECT_EQ(*one, kWord) << i;
        for (std::size_t j = i + 1; j < 68; ++j) {
            Word t = s;
            t[j] ^= 1u;
            const auto two = tps_bch_decode(received(t));
            ASSERT_TRUE(two) << i << "," << j;
            EXPECT_EQ(*two, kWord) << i << "," << j;
        }
    }
}

TEST(TpsBch, TripleErrorsNeverGiveTheSentWord) {
    std::size_t wrong_words = 0;
    for (std::size_t i = 1; i < 68; ++i)
        for (std::size_t j = i + 1; j < 68; ++j)
            for (std::size_t k = j + 1; k < 68; ++k) {
                Word s = kWord;
                s[i] ^= 1u;
                s[j] ^= 1u;
                s[k] ^= 1u;
                const auto got = tps_bch_decode(received(s));
                if (got) {
                    ASSERT_NE(*got, kWord);
                    ++wrong_words;
                }
            }
    // Some triples lie within two bits of another codeword; most are detected.
    EXPECT_LT(wrong_words, 67u * 66u * 65u / 6u);
}

TEST(TpsBch, InvalidFieldsFailDespiteValidParity) {
    EXPECT_FALSE(tps_bch_decode(received(make_word(0x35EE, 0, 0b11, 0, 0, 0))));
    for (unsigned rate : {5u, 6u, 7u}) EXPECT_FALSE(tps_bch_decode(received(make_word(0x35EE, 0, 0, rate, 0, 0)))) << rate;
    for (unsigned rate : {0u, 4u}) EXPECT_TRUE(tps_bch_decode(received(make_word(0x35EE, 0, 0b10, rate, 3, 0)))) << rate;
}

TEST(TpsDecoder, DecodesAFrameAndReportsItsBlock) {
    TpsDecoder dec(68);
    const auto symbols = tps_symbols(kWord, 68, Complex{-0.6f, 0.8f});
    for (std::size_t l = 0; l < 68; ++l) {
        EXPECT_FALSE(dec.word()) << l;
        dec.push_symbol(symbols[l]);
    }
    ASSERT_TRUE(dec.word());
    EXPECT_EQ(dec.word()->bits, kWord);
    EXPECT_EQ(dec.word()->block, 0u);
    EXPECT_TRUE(dec.word()->sync_ok);
    ASSERT_EQ(dec.bits().size(), 68u);
    for (std::size_t l = 0; l < 68; ++l) EXPECT_EQ(dec.bits()[l], kWord[l]) << l;
}

TEST(TpsDecoder, WrongSyncWordWithValidParityIsAccepted) {
    const Word odd = make_word(0x1234, 1, 0, 1, 0, 5);
    TpsDecoder dec(68);
    for (const auto& bins : tps_symbols(odd, 68, Complex{1, 0})) dec.push_symbol(bins);
    ASSERT_TRUE(dec.word());
    EXPECT_EQ(dec.word()->bits, odd);
    EXPECT_FALSE(dec.word()->sync_ok);
}

TEST(TpsDecoder, CorruptFirstBlockDecodesFromTheSecond) {
    auto symbols = tps_symbols(kWord, 136, Complex{1, 0});
    for (std::size_t l : {5u, 20u, 40u, 60u})  // four wrong differentials in block 0
        for (std::size_t c = 0; c < 17; ++c) symbols[l][kTpsBins[c]] = symbols[l][kTpsBins[c]] * -1.0f;
    TpsDecoder dec(136);
    for (std::size_t l = 0; l < 68; ++l) dec.push_symbol(symbols[l]);
    EXPECT_FALSE(dec.word());
    for (std::size_t l = 68; l < 136; ++l) dec.push_symbol(symbols[l]);
    ASSERT_TRUE(dec.word());
    EXPECT_EQ(dec.word()->block, 1u);
    EXPECT_EQ(dec.word()->bits, kWord);
}

TEST(TpsDecoder, LongFramesKeepOneBitPerSymbol) {
    const auto symbols = tps_symbols(kWord, 157, Complex{0, 1});
    TpsDecoder dec(157);
    for (const auto& bins : symbols) dec.push_symbol(bins);
    ASSERT_EQ(dec.bits().size(), 157u);
    ASSERT_TRUE(dec.word());
    EXPECT_EQ(dec.word()->block, 0u);
    for (std::size_t l = 69; l < 136; ++l) EXPECT_EQ(dec.bits()[l], kWord[l - 68]) << l;
    for (std::size_t l = 137; l < 157; ++l) EXPECT_EQ(dec.bits()[l], kWord[l - 136]) << l;
}

TEST(TpsDecoder, ShortOrSilentFramesGiveNoWord) {
    TpsDecoder dec(67);
    for (const auto& bins : tps_symbols(kWord, 67, Complex{1, 0})) dec.push_symbol(bins);
    EXPECT_FALSE(dec.word());
    TpsDecoder silent(68);
    const std::vector<Complex> zeros(2048);
    for (int l = 0; l < 68; ++l) silent.push_symbol(zeros);
    // All-zero bits form a codeword with valid fields; only the sync flag tells it from a frame.
    ASSERT_TRUE(silent.word());
    EXPECT_FALSE(silent.word()->sync_ok);
}

}  // namespace
