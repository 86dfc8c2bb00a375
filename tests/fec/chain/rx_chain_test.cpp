#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fec/chain/rx_chain.hpp"
#include "fec/bit_packing.hpp"
#include "fec/conv.hpp"
#include "fec/interleaver.hpp"
#include "fec/rx_error.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;
using Bytes = std::vector<std::uint8_t>;
using fec::CrcKind;
using fec::InnerFec;
using fec::InterleaverKind;
using fec::LdpcCode;
using fec::LdpcDecodeRule;
using fec::OuterFec;
using fec::PunctureRate;
using fec::RxError;
using fec::ScramblerKind;
using fec::ScramblerPosition;
using fec::ScramblerSeed;

struct Settings {
    std::size_t payload_len = 0;
    CrcKind crc = CrcKind::None;
    OuterFec outer{};
    InnerFec inner{};
    InterleaverKind outer_il{};
    InterleaverKind inner_il{};
    ScramblerKind scrambler{};
    ScramblerPosition position = ScramblerPosition::BeforeOuter;
    std::uint32_t seed = 0;
};

std::string describe(const Settings& s) {
    std::string text = "len " + std::to_string(s.payload_len) + " crc " + std::to_string(int(s.crc)) + " outer " +
                       std::to_string(int(s.outer.kind)) + "(" + std::to_string(s.outer.t) + "," +
                       std::to_string(s.outer.n) + "," + std::to_string(s.outer.n_parity) + ") inner " +
                       std::to_string(int(s.inner.kind)) + "/" + std::to_string(int(s.inner.code)) + "/" +
                       std::to_string(int(s.inner.rate));
    for (const InterleaverKind* il : {&s.outer_il, &s.inner_il}) {
        text += " il " + std::to_string(int(il->kind)) + "(" + std::to_string(il->rows) + "x" + std::to_string(il->cols) +
                "," + std::to_string(il->branches) + "x" + std::to_string(il->depth) + ")";
    }
    return text + " scr " + std::to_string(int(s.scrambler.kind)) + "@" + std::to_string(int(s.position));
}

fec::ChainSettings chain_settings(const Settings& s, LdpcDecodeRule rule = {}) {
    return {s.crc, s.outer, s.inner, s.outer_il, s.inner_il, s.scrambler, s.position, rule};
}

fec::BlockPlan plan_of(const Settings& s, fec::CodecCache& cache) {
    return fec::block_plan(s.payload_len, chain_settings(s), cache);
}

fec::EncodedStages encode(const Settings& s, const Bytes& payload, fec::CodecCache& cache) {
    return fec::encode_chain_stages(payload, chain_settings(s), s.seed, cache);
}

std::expected<fec::ChainOutcome, RxError> decode(const Settings& s, std::span<const float> llrs, fec::CodecCache& cache,
                                                 LdpcDecodeRule rule = {}) {
    return fec::decode_chain(llrs, plan_of(s, cache), chain_settings(s, rule), s.seed, cache);
}

// Noiseless soft values of varying confidence: positive for bit 0.
std::vector<float> clean_llrs(const Bytes& bits, std::mt19937& rng) {
    std::uniform_real_distribution<float> magnitude(0.25f, 8.0f);
    std::vector<float> llrs(bits.size());
    for (std::size_t i = 0; i < bits.size(); ++i) llrs[i] = bits[i] ? -magnitude(rng) : magnitude(rng);
    return llrs;
}

InterleaverKind random_interleaver(std::mt19937& rng) {
    switch (rng() % 3) {
        case 1: return InterleaverKind::block(1 + rng() % 24, 1 + rng() % 24);
        case 2: return InterleaverKind::convolutional(1 + rng() % 12, 1 + rng() % 17);
        default: return {};
    }
}

// One setting combination drawn from every stage's variants.
Settings sample_settings(unsigned index) {
    std::mt19937 rng(7919 * index + 1);
    Settings s;
    s.payload_len = rng() % 301;
    s.crc = static_cast<CrcKind>(rng() % 3);
    switch (rng() % 3) {
        case 1: s.outer = OuterFec::bch(1 + rng() % 19); break;
        case 2: {
            const std::size_t n = 1 + rng() % 255;
            s.outer = OuterFec::reed_solomon(n, rng() % 3 == 0 ? 0 : rng() % n);
            break;
        }
        default: break;
    }
    const unsigned inner = rng() % 14;
    if (inner >= 1 && inner <= 3) s.inner = InnerFec::ldpc(static_cast<LdpcCode>(inner - 1));
    if (inner >= 4 && inner <= 8) s.inner = InnerFec::conv_k5(static_cast<PunctureRate>(inner - 4));
    if (inner >= 9) s.inner = InnerFec::conv_k7(static_cast<PunctureRate>(inner - 9));
    s.outer_il = random_interleaver(rng);
    s.inner_il = random_interleaver(rng);
    const unsigned width = 2 + rng() % 31;
    const std::uint32_t poly = static_cast<std::uint32_t>(rng()) & (width == 32 ? 0xFFFFFFFFu : (1u << width) - 1u);
    switch (rng() % 4) {
        case 1: s.scrambler = ScramblerKind::lfsr(poly, static_cast<std::uint8_t>(width), ScramblerSeed::fixed(rng())); break;
        case 2: s.scrambler = ScramblerKind::lfsr(poly, static_cast<std::uint8_t>(width), ScramblerSeed::per_frame()); break;
        case 3: s.scrambler = ScramblerKind::dvb_t(); break;
        default: break;
    }
    s.position = static_cast<ScramblerPosition>(rng() % 2);
    s.seed = static_cast<std::uint32_t>(rng());
    return s;
}

class ChainRoundTrip : public ::testing::TestWithParam<unsigned> {};

TEST_P(ChainRoundTrip, PlanMatchesAndNoiselessDecodeIsClean) {
    const Settings s = sample_settings(GetParam());
    SCOPED_TRACE(describe(s));
    std::mt19937 rng(GetParam());
    fec::CodecCache cache;
    const Bytes payload = test::random_bytes(s.payload_len, rng());

    const fec::BlockPlan plan = plan_of(s, cache);
    const fec::EncodedStages stages = encode(s, payload, cache);
    ASSERT_EQ(stages.outer_stage.size(), plan.outer_stage_bits);
    ASSERT_EQ(stages.coded.size(), plan.coded_bits);

    const auto outcome = decode(s, clean_llrs(stages.coded, rng), cache);
    ASSERT_TRUE(outcome) << error_message(outcome.error());
    EXPECT_EQ(outcome->payload, payload);
    EXPECT_TRUE(outcome->crc_ok);
    EXPECT_TRUE(outcome->outer_ok);
    EXPECT_TRUE(outcome->inner_converged);
    EXPECT_EQ(outcome->crc_present, s.crc != CrcKind::None);
    EXPECT_EQ(outcome->outer_present, s.outer.kind != OuterFec::Kind::None);
    EXPECT_EQ(outcome->outer_corrections, outcome->outer_present ? std::optional<std::uint32_t>(0) : std::nullopt);
    // The inner decoder's output begins with the inner code's input.
    ASSERT_GE(outcome->inner_bits_decoded.size(), stages.outer_stage.size());
    EXPECT_TRUE(std::equal(stages.outer_stage.begin(), stages.outer_stage.end(), outcome->inner_bits_decoded.begin()));
}

INSTANTIATE_TEST_SUITE_P(SampledSettings, ChainRoundTrip, ::testing::Range(0u, 200u));

// One decoder, its buffers and Viterbi decoders kept, alternates between a frame of noise, where
// every stage fails, and clean frames of the sampled settings: nothing of a frame carries over.
TEST(ChainDecoder, KeepsNothingOfAnEarlierFrame) {
    fec::CodecCache cache;
    std::mt19937 rng(41);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    Settings failing;
    failing.payload_len = 300;
    failing.crc = CrcKind::Crc32;
    failing.outer = OuterFec::reed_solomon(204, 16);
    failing.inner = InnerFec::ldpc(LdpcCode::N576R23);
    std::vector<float> noise_llrs(plan_of(failing, cache).coded_bits);
    for (float& v : noise_llrs) v = 4.0f * noise(rng);

    fec::ChainDecoder decoder;
    for (unsigned index = 0; index < 40; ++index) {
        ASSERT_TRUE(decoder.decode(noise_llrs, plan_of(failing, cache), chain_settings(failing), 0, cache));
        ASSERT_FALSE(decoder.outcome().inner_converged || decoder.outcome().outer_ok || decoder.outcome().crc_ok);

        const Settings s = sample_settings(index);
        SCOPED_TRACE(describe(s));
        const Bytes payload = test::random_bytes(s.payload_len, rng());
        const fec::EncodedStages stages = encode(s, payload, cache);
        ASSERT_TRUE(decoder.decode(clean_llrs(stages.coded, rng), plan_of(s, cache), chain_settings(s), s.seed, cache));
        const fec::ChainOutcome& outcome = decoder.outcome();
        EXPECT_EQ(outcome.payload, payload);
        EXPECT_TRUE(outcome.crc_ok && outcome.outer_ok && outcome.inner_converged);
        EXPECT_EQ(outcome.outer_corrections, outcome.outer_present ? std::optional<std::uint32_t>(0) : std::nullopt);
        ASSERT_GE(outcome.inner_bits_decoded.size(), stages.outer_stage.size());
        EXPECT_TRUE(std::equal(stages.outer_stage.begin(), stages.outer_stage.end(), outcome.inner_bits_decoded.begin()));
    }
}

// Flipping all eight soft values of a byte turns it into its complement.
void corrupt_byte(std::vector<float>& llrs, std::size_t byte) {
    for (std::size_t i = 0; i < 8; ++i) llrs[8 * byte + i] = -llrs[8 * byte + i];
}

TEST(DecodeChain, UncorrectableReedSolomonWordKeepsItsBytesWhileTheOthersAreCorrected) {
    fec::CodecCache cache;
    std::mt19937 rng(21);
    Settings s;
    s.payload_len = 3 * 188 - 4;  // with the CRC-32, exactly three RS(204, 188) words
    s.crc = CrcKind::Crc32;
    s.outer = OuterFec::reed_solomon(204, 16);
    const Bytes payload = test::random_bytes(s.payload_len, rng());
    std::vector<float> llrs = clean_llrs(encode(s, payload, cache).coded, rng);

    for (const std::size_t b : {3u, 100u, 200u}) corrupt_byte(llrs, b);                                   // word 0
    const std::size_t word1[] = {204 + 0, 204 + 17, 204 + 40, 204 + 41, 204 + 90, 204 + 150, 204 + 187, 204 + 190, 204 + 203};
    for (const std::size_t b : word1) corrupt_byte(llrs, b);                                              // word 1: 9
    for (std::size_t i = 0; i < 8; ++i) corrupt_byte(llrs, 408 + 20 * i + 5);                           // word 2: 8

    const auto outcome = decode(s, llrs, cache);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->outer_ok);
    EXPECT_FALSE(outcome->crc_ok);
    EXPECT_EQ(outcome->outer_corrections, 3u + 8u);
    ASSERT_EQ(outcome->payload.size(), payload.size());
    Bytes expected = payload;
    for (const std::size_t b : word1) {
        if (b - 204 < 188) expected[b - 204 + 188] ^= 0xFF;  // message bytes come back as received
    }
    EXPECT_EQ(outcome->payload, expected);
}

TEST(DecodeChain, CorruptedCrcIsAFlagNotAnError) {
    fec::CodecCache cache;
    std::mt19937 rng(22);
    Settings s;
    s.payload_len = 20;
    s.crc = CrcKind::Crc32;
    const Bytes payload = test::random_bytes(s.payload_len, rng());
    std::vector<float> llrs = clean_llrs(encode(s, payload, cache).coded, rng);
    corrupt_byte(llrs, 23);
    const auto outcome = decode(s, llrs, cache);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->crc_ok);
    EXPECT_TRUE(outcome->crc_present);
    EXPECT_EQ(outcome->payload, payload);
}

// The frame header's code: CRC-16 and one n512r12 word. With a 1 x 1024 block interleaver on the
// outer stage (which keeps the order) the framed bits fill only the first of four LDPC words.
TEST(DecodeChain, MissingSoftValues) {
    fec::CodecCache cache;
    std::mt19937 rng(23);
    Settings s;
    s.payload_len = 14;
    s.crc = CrcKind::Crc16;
    s.inner = InnerFec::ldpc(LdpcCode::N512R12);
    s.outer_il = InterleaverKind::block(1, 1024);
    const Bytes payload = test::random_bytes(s.payload_len, rng());
    const std::vector<float> llrs = clean_llrs(encode(s, payload, cache).coded, rng);
    ASSERT_EQ(llrs.size(), 2048u);
    const auto first = [&](std::size_t n) { return std::span<const float>(llrs).first(n); };

    // Ends inside the second word: that word is dropped.
    auto outcome = decode(s, first(512 + 200), cache);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->inner_converged);
    EXPECT_TRUE(outcome->crc_ok);
    EXPECT_EQ(outcome->payload, payload);

    // Whole words short: nothing to flag.
    outcome = decode(s, first(1024), cache);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->inner_converged);
    EXPECT_EQ(outcome->payload, payload);

    // Ends inside the first word: nothing left for the framed bytes.
    for (const std::size_t n : {0u, 1u, 300u, 511u}) {
        const auto failed = decode(s, first(n), cache);
        ASSERT_FALSE(failed) << n;
        EXPECT_EQ(failed.error(), RxError::MalformedHeader);
    }

    // Without an inner code, a vector that ends inside a framed byte is short as well.
    Settings bare;
    bare.payload_len = 5;
    const std::vector<float> bare_llrs = clean_llrs(encode(bare, test::random_bytes(5, rng()), cache).coded, rng);
    const auto short_by_bits = decode(bare, std::span<const float>(bare_llrs).first(37), cache);
    ASSERT_FALSE(short_by_bits);
    EXPECT_EQ(short_by_bits.error(), RxError::MalformedHeader);
}

// Any cut of the soft values yields an outcome or "malformed frame header", never a fault.
TEST(DecodeChain, TruncationNeverFaults) {
    fec::CodecCache cache;
    std::mt19937 rng(24);
    const Settings cases[] = {
        {300, CrcKind::Crc16, OuterFec::reed_solomon(60, 10), InnerFec::conv_k7(PunctureRate::R34),
         InterleaverKind::convolutional(3, 2), InterleaverKind::block(5, 7), ScramblerKind::lfsr(0x9, 4, ScramblerSeed::per_frame()),
         ScramblerPosition::AfterInner, 77},
        {200, CrcKind::Crc32, OuterFec::bch(8), InnerFec::ldpc(LdpcCode::N576R23), {}, InterleaverKind::convolutional(4, 3),
         ScramblerKind::dvb_t(), ScramblerPosition::BeforeOuter, 0},
        {123, CrcKind::None, OuterFec::reed_solomon(255, 33), {}, InterleaverKind::block(3, 5), {}, {},
         ScramblerPosition::BeforeOuter, 0},
        {90, CrcKind::Crc16, {}, InnerFec::conv_k5(PunctureRate::R78), InterleaverKind::convolutional(5, 1), {}, {},
         ScramblerPosition::BeforeOuter, 0},
    };
    for (const Settings& s : cases) {
        SCOPED_TRACE(describe(s));
        const std::vector<float> llrs = clean_llrs(encode(s, test::random_bytes(s.payload_len, rng()), cache).coded, rng);
        std::vector<std::size_t> cuts;
        for (std::size_t n = 0; n < llrs.size(); n += 1 + llrs.size() / 150) cuts.push_back(n);
        for (std::size_t back = 1; back <= 9 && back <= llrs.size(); ++back) cuts.push_back(llrs.size() - back);
        for (const std::size_t n : cuts) {
            const auto outcome = decode(s, std::span<const float>(llrs).first(n), cache);
            if (!outcome) {
                EXPECT_EQ(outcome.error(), RxError::MalformedHeader) << n;
            }
        }
        // Extra values beyond the plan are ignored.
        std::vector<float> longer = llrs;
        longer.resize(llrs.size() + 100, -1.0f);
        const auto outcome = decode(s, longer, cache);
        ASSERT_TRUE(outcome);
        EXPECT_TRUE(outcome->crc_ok);
    }
}

TEST(DecodeChain, ScramblerAfterInnerNegatesExactlyTheKeystreamPositions) {
    fec::CodecCache cache;
    Settings s;
    s.payload_len = 13;
    s.scrambler = ScramblerKind::lfsr(0x6000, 15, ScramblerSeed::per_frame());
    s.position = ScramblerPosition::AfterInner;
    s.seed = 0x3A5;
    // All-zero data: the transmitted bits are the keystream itself.
    const Bytes keystream = encode(s, Bytes(13, 0), cache).coded;
    const std::vector<float> zeros(keystream.size(), 1.0f);
    const auto outcome = decode(s, zeros, cache);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->inner_bits_decoded, keystream);
}

struct NoisyCase {
    const char* name;
    LdpcDecodeRule rule;
};

class NoisyDefaultLadder : public ::testing::TestWithParam<NoisyCase> {};

// BPSK over AWGN at Es/N0 = 1 dB (Eb/N0 = 4 dB for the rate-1/2 LDPC code) with the default
// ladder's codes: the LDPC and BCH codes together deliver the payload.
TEST_P(NoisyDefaultLadder, DecodesAtFourDbEbN0) {
    fec::CodecCache cache;
    std::mt19937 rng(25);
    Settings s;
    s.payload_len = 1500;
    s.crc = CrcKind::Crc32;
    s.outer = OuterFec::bch(8);
    s.inner = InnerFec::ldpc(LdpcCode::N512R12);
    const Bytes payload = test::random_bytes(s.payload_len, rng());
    const Bytes coded = encode(s, payload, cache).coded;

    const std::vector<float> llrs = test::bpsk_llrs(coded, test::noise_variance_at_snr(0.5, 1.0), rng());
    std::size_t raw_errors = 0;
    for (std::size_t i = 0; i < coded.size(); ++i) raw_errors += (llrs[i] <= 0.0f) != (coded[i] == 1);
    ASSERT_GT(raw_errors, coded.size() / 20);  // the channel does make errors

    const auto outcome = decode(s, llrs, cache, GetParam().rule);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->crc_ok);
    EXPECT_TRUE(outcome->outer_ok);
    EXPECT_EQ(outcome->payload, payload);
}

INSTANTIATE_TEST_SUITE_P(Rules, NoisyDefaultLadder,
                         ::testing::Values(NoisyCase{"sum_product", {}},
                                           NoisyCase{"min_sum", {LdpcDecodeRule::Kind::MinSum, 0.0f}},
                                           NoisyCase{"scaled_min_sum", {LdpcDecodeRule::Kind::ScaledMinSum, 0.75f}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RxError, Texts) {
    EXPECT_EQ(error_message(RxError::NoPreamble), "no preamble found");
    EXPECT_EQ(error_message(RxError::MalformedHeader), "malformed frame header");
    EXPECT_EQ(error_message(RxError::HeaderCrcMismatch), "header CRC mismatch");
    EXPECT_EQ(error_message(RxError::PayloadCrcMismatch), "payload CRC mismatch");
    EXPECT_EQ(error_message(RxError::FecUncorrectable), "FEC uncorrectable");
    EXPECT_EQ(static_cast<int>(RxError::FecUncorrectable), 4);
}

}  // namespace

namespace {

// Reed-Solomon behind a convolutional interleaver, written out stage by stage on bits: the
// Viterbi decisions deinterleaved as bits, cut to the outer stage, packed, and every whole word
// decoded in place.
std::optional<Bytes> reference_rs_after_conv(const Settings& s, std::span<const float> llrs, fec::CodecCache& cache,
                                             std::uint32_t& corrections, bool& all_ok) {
    const fec::BlockPlan plan = plan_of(s, cache);
    const auto soft = llrs.first(std::min(llrs.size(), plan.inner_bits));
    Bytes decided = fec::conv_decode(soft, fec::ConvKind::K7, s.inner.rate, plan.outer_stage_bits);
    Bytes bits = fec::deinterleave_bits(s.outer_il, decided);
    bits.resize(std::min(bits.size(), plan.outer_bits));
    Bytes bytes = fec::pack_bits_padded(bits);
    const auto& rs = *cache.rs(s.outer.n, s.outer.n_parity);
    Bytes message;
    corrections = 0;
    all_ok = bytes.size() % s.outer.n == 0;
    for (std::size_t w = 0; w + s.outer.n <= bytes.size(); w += s.outer.n) {
        const auto fixed = rs.decode_in_place(std::span<std::uint8_t>(bytes).subspan(w, s.outer.n));
        if (fixed) corrections += static_cast<std::uint32_t>(*fixed);
        else all_ok = false;
        message.insert(message.end(), bytes.begin() + static_cast<std::ptrdiff_t>(w),
                       bytes.begin() + static_cast<std::ptrdiff_t>(w + s.outer.n - s.outer.n_parity));
    }
    if (message.size() < plan.framed_bytes) return std::nullopt;
    message.resize(plan.framed_bytes);
    return message;
}

TEST(DecodeChain, ReedSolomonBehindAConvolutionalInterleaverMatchesTheBitwiseStages) {
    std::mt19937 rng(31);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (const auto rate : {PunctureRate::R12, PunctureRate::R34, PunctureRate::R78}) {
        for (const std::size_t cut : {0u, 1000u}) {
          for (const auto& [branches, depth] : {std::pair{12u, 17u}, {5u, 3u}}) {
           for (const float sigma : {0.5f, 3.2f}) {  // clean words, then corrections and failures
            Settings s;
            s.payload_len = 7 * 188;
            s.outer = OuterFec::reed_solomon(204, 16);
            s.inner = InnerFec::conv_k7(rate);
            s.outer_il = InterleaverKind::convolutional(branches, depth);
            fec::CodecCache cache;
            std::vector<float> llrs = clean_llrs(encode(s, test::random_bytes(s.payload_len, rng()), cache).coded, rng);
            for (auto& v : llrs) v += sigma * noise(rng);
            llrs.resize(llrs.size() - cut);                // a short tail: erased values
            std::uint32_t corrections = 0;
            bool all_ok = true;
            const auto want = reference_rs_after_conv(s, llrs, cache, corrections, all_ok);
            const auto got = decode(s, llrs, cache);
            ASSERT_EQ(got.has_value(), want.has_value());
            if (!got) continue;
            EXPECT_EQ(got->payload, *want);
            EXPECT_EQ(got->outer_corrections, corrections);
            EXPECT_EQ(got->outer_ok, all_ok);
           }
          }
        }
    }
}

}  // namespace
