#include <gtest/gtest.h>

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

FrameBodyDecoder body_decoder(const OfdmConfig& cfg, const fec::McsTable& table = fec::McsTable::default_ladder()) {
    return FrameBodyDecoder(*waveform::FrameLink::create(cfg, table.entries(), 0, 0, nullptr));
}

std::expected<waveform::FramePacket, RxError> batch_decode(const OfdmConfig& cfg, const Samples& body,
                                                           const fec::McsTable& table = fec::McsTable::default_ladder(),
                                                           std::shared_ptr<fec::CodecCache> cache = nullptr) {
    return OfdmFrameDemod::create(cfg, table.entries(), std::move(cache))->decode(body);
}

TEST(FrameBodyDecoder, BatchRoundTripsEveryLadderEntry) {
    const OfdmConfig cfg = test::frame_link_config();
    for (std::uint8_t entry = 0; entry < 4; ++entry) {
        const waveform::FramePacket packet{test::random_bytes(100, entry), 0xFFFFFFFF, entry, 0x81};
        const auto decoded = batch_decode(cfg, body_of(modulate(cfg, packet)));
        ASSERT_TRUE(decoded.has_value()) << int(entry);
        EXPECT_EQ(*decoded, packet);
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

// The batch path has no equaliser: QAM needs unit gain, BPSK and QPSK only need the sign.
TEST(FrameBodyDecoder, BatchDecodingNeedsUnitGainForQam) {
    const OfdmConfig cfg = test::frame_link_config(0.0f, 3.0f);
    EXPECT_TRUE(batch_decode(cfg, body_of(modulate(cfg, waveform::FramePacket{test::random_bytes(50, 1), 1, 1, 0})))
                    .has_value());
    const auto qam =
        batch_decode(cfg, body_of(modulate(cfg, waveform::FramePacket{test::random_bytes(50, 1), 1, 2, 0})));
    ASSERT_FALSE(qam.has_value());
    EXPECT_EQ(qam.error(), RxError::PayloadCrcMismatch);
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
