#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/internal_fault.hpp"
#include "demodulate/ofdm_frame/frame_body_decoder.hpp"
#include "modulate/ofdm.hpp"
#include "multicarrier/fft_block.hpp"
#include "support/frame_link_support.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;
using Samples = std::vector<Complex>;
using fec::RxError;

constexpr std::size_t kPreamble = test::frame_preamble_span;

Samples modulate(const OfdmConfig& cfg, const waveform::FramePacket& packet,
                 const fec::McsTable& table = fec::McsTable::default_ladder()) {
    return *OfdmFrameMod::create(cfg, table.entries(), 4, 16, nullptr)->modulate_frame(packet, 0);
}

Samples body_of(const Samples& frame) { return Samples(frame.begin() + kPreamble, frame.end()); }

// The unscaled FFT of the frame's training symbol, its window moved `backoff` samples into the
// prefix as the body's windows are.
Samples training_bins_of(const Samples& frame, std::size_t backoff) {
    FftBlock fft(64);
    Samples bins(64);
    fft.process(std::span(frame).subspan(64 + 16 - backoff, 64), bins);
    return bins;
}

void rotate(std::span<Complex> samples, float angle) {
    const Complex turn{std::cos(angle), std::sin(angle)};
    for (Complex& s : samples) s = s * turn;
}

// A carrier offset of `bins` FFT bins from the first sample on.
void shift_frequency(std::span<Complex> samples, double bins) {
    for (std::size_t n = 0; n < samples.size(); ++n) {
        const double angle = 2.0 * M_PI * bins * static_cast<double>(n) / 64.0;
        samples[n] = samples[n] * Complex{static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
    }
}

FrameBodyDecoder body_decoder(const OfdmConfig& cfg, const fec::McsTable& table = fec::McsTable::default_ladder()) {
    return FrameBodyDecoder(*waveform::FrameLink::create(cfg, table.entries(), 0, 0, nullptr));
}

std::expected<waveform::FramePacket, RxError> batch_decode(const OfdmConfig& cfg, const Samples& body,
                                                           const fec::McsTable& table = fec::McsTable::default_ladder(),
                                                           std::shared_ptr<fec::CodecCache> cache = nullptr) {
    return OfdmFrameDemod::create(cfg, table.entries(), std::move(cache))->decode(body);
}

// Without an equaliser the windows start right after each prefix whatever the back-off.
TEST(FrameBodyDecoder, BatchRoundTripsEveryLadderEntry) {
    for (const OfdmConfig& cfg : {test::frame_link_config(), test::frame_link_rx_config()}) {
        for (std::uint8_t entry = 0; entry < 4; ++entry) {
            const waveform::FramePacket packet{test::random_bytes(100, entry), 0xFFFFFFFF, entry, 0x81};
            const auto decoded = batch_decode(cfg, body_of(modulate(cfg, packet)));
            ASSERT_TRUE(decoded.has_value()) << int(entry) << " backoff " << cfg.rx_window_backoff();
            EXPECT_EQ(*decoded, packet);
        }
    }
}

TEST(FrameBodyDecoder, TrainingBinsOfItsOwnFrameDecodeAndCountConsumedSamples) {
    const OfdmConfig cfg = test::frame_link_config().with_rx_window_backoff(4);
    const fec::McsTable table = fec::McsTable::default_ladder();
    const waveform::FramePacket packet{test::random_bytes(100, 2), 7, 1, 0};
    const Samples frame = modulate(cfg, packet);
    const Samples bins = training_bins_of(frame, 4);
    FrameBodyDecoder decoder = body_decoder(cfg, table);
    decoder.set_pre_fec_diagnostics(true);
    auto decoded = decoder.decode(body_of(frame), std::span<const Complex>(bins));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->consumed_samples, frame.size() - kPreamble);
    EXPECT_LT(*decoded->evm_db, -40.0f);
    EXPECT_EQ(decoded->pre_fec_channel_error_ratio, 0.0f);
    EXPECT_EQ(decoded->pre_fec_outer_error_ratio, 0.0f);
    EXPECT_TRUE(decoded->inner_converged && decoded->outer_ok);
    EXPECT_EQ(decoder.cells().size(), 31u * 50u);
    EXPECT_EQ(decoder.payload_bits().size(), 31u * 100u);
    EXPECT_EQ(std::move(*decoded).packet(), packet);
}

TEST(FrameBodyDecoder, NeedsEveryPayloadSymbolAndNoMore) {
    const OfdmConfig cfg = test::frame_link_config();
    const fec::McsTable table = fec::McsTable::default_ladder();
    const Samples body = body_of(modulate(cfg, waveform::FramePacket{test::random_bytes(100, 3), 1, 3, 0}));
    FrameBodyDecoder decoder = body_decoder(cfg, table);
    const auto short_by_one = decoder.decode(std::span(body).first(body.size() - 1), std::nullopt);
    ASSERT_FALSE(short_by_one.has_value());
    EXPECT_EQ(short_by_one.error(), BodyFailure(NeedMoreSamples{}));
    EXPECT_EQ(rx_error(short_by_one.error()), RxError::MalformedHeader);
    EXPECT_TRUE(decoder.decode(body, std::nullopt).has_value());

    const auto cut = batch_decode(cfg, Samples(body.begin(), body.begin() + 1000));
    EXPECT_EQ(cut.error(), RxError::MalformedHeader);
    EXPECT_EQ(batch_decode(cfg, {}).error(), RxError::MalformedHeader);
}

TEST(FrameBodyDecoder, FailuresNameTheirCause) {
    const OfdmConfig cfg = test::frame_link_config();
    const Samples body = body_of(modulate(cfg, waveform::FramePacket{test::random_bytes(100, 4), 1, 3, 0}));

    // A header naming an entry the receiver's table lacks.
    fec::McsTable two;
    two.add("bpsk", "ldpc", "n512r12", "bch", 8).value();
    two.add("qpsk", "ldpc", "n512r12", "bch", 8).value();
    EXPECT_EQ(batch_decode(cfg, body, two).error(), RxError::MalformedHeader);

    // Frames without the native header cannot be decoded, whatever the samples.
    EXPECT_EQ(batch_decode(*cfg.with_header_format("none"), body).error(), RxError::MalformedHeader);

    Samples bad_header = body;
    rotate(std::span(bad_header).subspan(2 * 80, 3 * 80), 3.1415927f);
    EXPECT_EQ(batch_decode(cfg, bad_header).error(), RxError::HeaderCrcMismatch);

    Samples bad_payload = body;
    rotate(std::span(bad_payload).subspan(12 * 80, 4 * 80), 1.3f);
    EXPECT_EQ(batch_decode(cfg, bad_payload).error(), RxError::PayloadCrcMismatch);
}

// A corrupted length field must not make a receiver wait for gigabytes.
TEST(FrameBodyDecoder, HeaderClaimingMoreThanTheLimitIsMalformed) {
    const OfdmConfig cfg = test::frame_link_config();
    fec::CodecCache cache;
    for (const std::uint32_t length : {std::uint32_t{1} << 20, (std::uint32_t{1} << 20) + 1}) {
        const waveform::FrameHeader header{0, length, 1, 0, 0};
        const auto bits = waveform::encode_header(header.serialize(), cfg.header_crc(), cache);
        const Samples body = OfdmMod::create(waveform::symbol_config(cfg, ConstellationOrder::Bpsk))->modulate(bits);
        const auto result = body_decoder(cfg).decode(body, std::nullopt);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), length > (1u << 20) ? BodyFailure(RxError::MalformedHeader) : BodyFailure(NeedMoreSamples{}));
    }
}

// A residual carrier offset turns every symbol after the training symbol one more step (0.39 rad at
// 0.05 bin); 64-QAM decides right only when the payload's tracking starts where the header's line
// puts the first payload symbol.
TEST(FrameBodyDecoder, PayloadTrackingContinuesTheHeaderPhaseLine) {
    const OfdmConfig cfg = test::frame_link_rx_config();
    const waveform::FramePacket packet{test::random_bytes(300, 6), 6, 3, 0};
    const Samples frame = modulate(cfg, packet);
    const Samples training = training_bins_of(frame, 4);
    Samples body = body_of(frame);
    shift_frequency(body, 0.05);
    const auto decoded = body_decoder(cfg).decode(body, std::span<const Complex>(training));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(RxFrame(*decoded).packet(), packet);
}

// On a 4-point transform (2 data carriers, so 256 header symbols) an undisturbed header measures
// σ² = 0 exactly; the floor keeps the scaled 16-QAM soft values finite, so that payload symbols lost
// on the way stay erasures, not NaN.
TEST(FrameBodyDecoder, ErrorFreeHeaderKeepsQamSoftValuesFinite) {
    const std::vector<std::int32_t> data{-1, 1};
    const OfdmConfig cfg = *OfdmConfig::create(4, 1, data, std::span<const std::int32_t>{},
                                               std::span<const Complex>{}, 1e6f, 0.0f, 1.0f, "qpsk", std::nullopt);
    const fec::McsTable table = fec::McsTable::default_ladder();
    const waveform::FramePacket packet{test::random_bytes(20, 7), 7, 2, 0};
    const Samples frame = *OfdmFrameMod::create(cfg, table.entries(), 2, 4, nullptr)->modulate_frame(packet, 0);
    constexpr std::size_t symbol = 4 + 1, header_symbols = 512 / 2;
    Samples body(frame.begin() + 2 * 4 + symbol, frame.end());
    std::fill_n(body.begin() + (header_symbols + 10) * symbol, 4 * symbol, Complex{});
    const auto decoded = batch_decode(cfg, body, table);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, packet);
}

// The pre-decoding ratios compare the coded bits alone (not the last symbol's fill), a soft value
// of 0 deciding 1, with what the transmitter sent under the frame's own scrambler seed.
TEST(FrameBodyDecoder, PreDecodingErrorRatiosCountTheSentCodedBits) {
    const OfdmConfig cfg = *test::frame_link_config().with_scrambler(0x6000, 15, 1, true);
    const fec::McsTable table = fec::McsTable::default_ladder();
    const std::uint32_t seed = 0x2B5;
    const waveform::FramePacket packet{test::random_bytes(100, 8), 8, 1, 0};
    Samples body = body_of(*OfdmFrameMod::create(cfg, table.entries(), 4, 16, nullptr)->modulate_frame(packet, seed));
    test::add_noise(body, test::per_carrier_noise_variance(6.0, 64), 8);
    std::fill_n(body.begin() + (11 + 1) * 80, 80, Complex{});  // the second payload symbol: soft values all 0
    FrameBodyDecoder decoder = body_decoder(cfg, table);
    decoder.set_pre_fec_diagnostics(true);
    const auto decoded = decoder.decode(body, std::nullopt);
    ASSERT_TRUE(decoded.has_value());

    fec::CodecCache cache;
    const auto settings = waveform::payload_chain_settings(cfg, table.entries()[1]);
    const std::vector<std::uint8_t> sent = fec::encode_chain_stages(packet.payload, settings, seed, cache).coded;
    const std::span<const std::uint8_t> decided = decoder.payload_bits();
    ASSERT_GT(decided.size(), sent.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) differing += decided[i] != sent[i];
    ASSERT_GT(differing, 60u);  // the lost symbol's half and the noise's
    EXPECT_FLOAT_EQ(*decoded->pre_fec_channel_error_ratio, float(differing) / float(sent.size()));
    EXPECT_EQ(decoded->pre_fec_outer_error_ratio, 0.0f);
}

// A fault inside an attempt (here a poisoned BCH list) fails that frame only.
TEST(FrameBodyDecoder, InternalFaultBecomesMalformedHeader) {
    const OfdmConfig cfg = test::frame_link_config();
    auto cache = std::make_shared<fec::CodecCache>();
    EXPECT_THROW(cache->bch(20), InternalFault);
    const Samples body = body_of(modulate(cfg, waveform::FramePacket{test::random_bytes(10, 5), 1, 0, 0}));
    EXPECT_EQ(batch_decode(cfg, body, fec::McsTable::default_ladder(), cache).error(), RxError::MalformedHeader);
}

// QAM soft values are scaled by the header's noise estimate; without it sum-product decoding of
// 64-QAM fails long before the constellation does.
TEST(FrameBodyDecoder, NoisyQamPayloadsDecodeInBatch) {
    const OfdmConfig cfg = test::frame_link_config();
    for (unsigned trial = 0; trial < 10; ++trial) {
        const waveform::FramePacket packet{test::random_bytes(300, trial), trial, 3, 0};
        Samples body = body_of(modulate(cfg, packet));
        test::add_noise(body, test::per_carrier_noise_variance(16.0, 64), trial);
        const auto decoded = batch_decode(cfg, body);
        ASSERT_TRUE(decoded.has_value()) << trial;
        EXPECT_EQ(*decoded, packet);
    }
}

// The batch path has no equaliser and no phase tracking: QAM needs unit gain and a steady phase,
// BPSK and QPSK only need the sign.
TEST(FrameBodyDecoder, BatchDecodingNeedsUnitGainAndSteadyPhaseForQam) {
    const OfdmConfig cfg = test::frame_link_config(0.0f, 3.0f);
    EXPECT_TRUE(batch_decode(cfg, body_of(modulate(cfg, waveform::FramePacket{test::random_bytes(50, 1), 1, 1, 0})))
                    .has_value());
    const auto qam =
        batch_decode(cfg, body_of(modulate(cfg, waveform::FramePacket{test::random_bytes(50, 1), 1, 2, 0})));
    ASSERT_FALSE(qam.has_value());
    EXPECT_EQ(qam.error(), RxError::PayloadCrcMismatch);

    // 0.002 bin turns the last of the frame's 39 symbols by 0.6 rad, far past what 64-QAM allows.
    const OfdmConfig unit = test::frame_link_config();
    Samples drifting = body_of(modulate(unit, waveform::FramePacket{test::random_bytes(300, 2), 1, 3, 0}));
    shift_frequency(drifting, 0.002);
    EXPECT_EQ(batch_decode(unit, drifting).error(), RxError::PayloadCrcMismatch);
}

// A two-path channel whose echo nearly cancels the direct path around one frequency leaves the
// carriers there deep in the noise, in the training symbol as in the body; the equaliser multiplies
// their noise up, and their soft values must count for that much less, or a handful of them outvote
// the rest of the frame.
TEST(FrameBodyDecoder, CarriersInADeepFadeDoNotOutvoteTheOthers) {
    const OfdmConfig cfg = test::frame_link_config().with_rx_window_backoff(4);
    const Complex echo = Complex{std::cos(0.9f), std::sin(0.9f)} * -0.97f;
    std::size_t decoded_frames = 0;
    for (unsigned seed = 0; seed < 6; ++seed) {
        const waveform::FramePacket packet{test::random_bytes(200, seed), seed, 1, 0};
        const Samples sent = modulate(cfg, packet);
        Samples frame(sent.size());
        for (std::size_t n = 0; n < sent.size(); ++n) frame[n] = sent[n] + (n > 0 ? sent[n - 1] * echo : Complex{});
        test::add_noise(frame, test::per_carrier_noise_variance(13.0, 64), 40 + seed);
        const Samples training = training_bins_of(frame, 4);
        const auto decoded = body_decoder(cfg).decode(body_of(frame), std::span<const Complex>(training));
        decoded_frames += decoded.has_value() && RxFrame(*decoded).packet() == packet;
    }
    EXPECT_EQ(decoded_frames, 6u);
}

}  // namespace
