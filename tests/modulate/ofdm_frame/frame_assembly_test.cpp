#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "modulate/ofdm.hpp"
#include "modulate/ofdm_frame/frame_assembly.hpp"
#include "waveform/ofdm_frame/frame_header.hpp"
#include "fec/chain/tx_chain.hpp"
#include "multicarrier/symbol_window.hpp"
#include "support/frame_link_support.hpp"
#include "support/test_support.hpp"
#include "sync/ofdm_sync.hpp"

namespace {

using namespace kavro;
using Samples = std::vector<Complex>;

OfdmFrameMod make_mod(const OfdmConfig& cfg, const fec::McsTable& table = fec::McsTable::default_ladder()) {
    return *OfdmFrameMod::create(cfg, table.entries(), 4, 16, nullptr);
}

Samples modulate(const OfdmConfig& cfg, ConstellationOrder order, std::span<const std::uint8_t> bits) {
    return OfdmMod::create(waveform::symbol_config(cfg, order))->modulate(bits);
}

void append(Samples& out, const Samples& more) { out.insert(out.end(), more.begin(), more.end()); }

// The frame built from its parts: preamble, header symbols and payload symbols, each from the
// stage that makes it.
Samples reference_frame(const OfdmConfig& cfg, const fec::Mcs& entry, const waveform::FramePacket& packet,
                        std::uint32_t seed, fec::CodecCache& cache) {
    Samples out = *generate_ofdm_preamble(cfg, PreambleParams{4, 16, TrainingShape{cfg.n_fft(), cfg.cp_len()}});
    if (cfg.header_format() == fec::HeaderFormat::Native) {
        const auto header = waveform::FrameHeader::of(packet, seed).serialize();
        append(out, modulate(cfg, ConstellationOrder::Bpsk, waveform::encode_header(header, cfg.header_crc(), cache)));
    }
    const fec::ChainSettings& configured = cfg.chain_settings();
    const fec::ChainSettings chain{.crc = configured.crc,
                                   .outer = entry.outer,
                                   .inner = entry.inner,
                                   .outer_interleaver = configured.outer_interleaver,
                                   .inner_interleaver = configured.inner_interleaver,
                                   .scrambler = configured.scrambler,
                                   .position = configured.position};
    const fec::EncodedStages coded = fec::encode_chain_stages(packet.payload, chain, seed, cache);
    append(out, modulate(cfg, entry.constellation, coded.coded));
    return out;
}

TEST(FrameAssembly, FrameLengthsOfTheDefaultLadder) {
    const OfdmFrameMod mod = make_mod(test::frame_link_config());
    const std::size_t expected[] = {5984, 3504, 2304, 1904};
    for (std::uint8_t entry = 0; entry < 4; ++entry) {
        const auto frame = mod.modulate_frame(waveform::FramePacket{test::random_bytes(100, entry), 1, entry, 0}, 0);
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->size(), expected[entry]) << "entry " << int(entry);
    }
}

// Without taper and low-pass a frame is exactly its parts, gain included, for both header formats.
TEST(FrameAssembly, FrameIsPreambleHeaderAndPayloadSymbols) {
    fec::CodecCache cache;
    for (const char* format : {"kavro_sdr", "none"}) {
        const OfdmConfig cfg = *test::frame_link_config(0.0f, 2.5f).with_header_format(format);
        const fec::McsTable table = fec::McsTable::default_ladder();
        const OfdmFrameMod mod = make_mod(cfg, table);
        const waveform::FramePacket packet{test::random_bytes(77, 3), 9, 2, 1};
        const Samples frame = *mod.modulate_frame(packet, 5);
        EXPECT_EQ(frame, reference_frame(cfg, table.entries()[2], packet, 5, cache)) << format;
    }
    const Samples native = *make_mod(test::frame_link_config()).modulate_frame(waveform::FramePacket{{}, 0, 0, 0}, 0);
    const Samples bare =
        *make_mod(*test::frame_link_config().with_header_format("none")).modulate_frame(waveform::FramePacket{}, 0);
    EXPECT_EQ(native.size() - bare.size(), 11u * 80u);  // ceil(512 / 50) header symbols

    // Written out for a bare QPSK entry without header or CRC: four 16-sample repeats, the training
    // symbol, then per symbol the payload bits (most significant first, zero-padded) as QPSK cells
    // on carriers -27..27 without DC and pilots, read back by a literal DFT.
    fec::McsTable qpsk;
    ASSERT_TRUE(qpsk.add("qpsk").has_value());
    const auto literal_cfg = test::frame_link_config(0.0f, 2.5f).with_header_format("none")->with_payload_crc("none");
    const std::vector<std::uint8_t> payload = test::random_bytes(30, 4);
    const Samples frame = *make_mod(*literal_cfg, qpsk).modulate_frame(waveform::FramePacket{payload, 0, 0, 0}, 0);
    ASSERT_EQ(frame.size(), 64u + 80u + 3u * 80u);
    for (std::size_t i = 16; i < 64; ++i) ASSERT_EQ(frame[i], frame[i - 16]) << i;
    for (std::size_t i = 0; i < 16; ++i) ASSERT_EQ(frame[64 + i], frame[128 + i]) << i;
    std::size_t bit = 0;
    const auto next_level = [&] {
        const bool one = bit < 240 && ((payload[bit / 8] >> (7 - bit % 8)) & 1);
        ++bit;
        return one ? -0.70710678 : 0.70710678;
    };
    for (std::size_t m = 0; m < 3; ++m) {
        for (int k = -32; k < 32; ++k) {
            double re = 0, im = 0;
            for (std::size_t n = 0; n < 64; ++n) {
                const Complex x = frame[144 + 80 * m + 16 + n];
                const double angle = -2 * M_PI * k * static_cast<double>(n) / 64;
                re += x.re * std::cos(angle) - x.im * std::sin(angle);
                im += x.re * std::sin(angle) + x.im * std::cos(angle);
            }
            double want_re = 0, want_im = 0;
            if (k == -21 || k == -7 || k == 7 || k == 21) want_re = 1;
            else if (k != 0 && k >= -27 && k <= 27) want_re = next_level(), want_im = next_level();
            ASSERT_NEAR(re, 2.5 * want_re, 1e-4) << m << " " << k;
            ASSERT_NEAR(im, 2.5 * want_im, 1e-4) << m << " " << k;
        }
    }
}

TEST(FrameAssembly, TaperCoversEverySymbolAfterTheRepeatedSegments) {
    const OfdmConfig plain = test::frame_link_config();
    const waveform::FramePacket packet{test::random_bytes(40, 8), 1, 1, 0};
    const Samples untapered = *make_mod(plain).modulate_frame(packet, 0);
    for (const std::size_t roll_off : {std::size_t{6}, std::size_t{200}}) {
        const Samples tapered = *make_mod(plain.with_symbol_window(roll_off)).modulate_frame(packet, 0);
        Samples expected = untapered;
        const std::vector<float> taper = symbol_taper(std::min<std::size_t>(roll_off, 40));
        for (std::size_t at = 64; at < expected.size(); at += 80)
            apply_symbol_taper(std::span(expected).subspan(at, 80), taper);
        EXPECT_EQ(tapered, expected) << roll_off;
        EXPECT_TRUE(std::equal(tapered.begin(), tapered.begin() + 64, untapered.begin()));
    }
}

// The seed travels in the header; only a per-frame LFSR lets it reach the payload symbols.
TEST(FrameAssembly, PerFrameSeedChangesHeaderAndOnlyPerFramePayloads) {
    const std::size_t header_end = 64 + 80 + 11 * 80;
    const waveform::FramePacket packet{test::random_bytes(100, 6), 3, 1, 0};
    for (const bool per_frame : {false, true}) {
        const OfdmConfig cfg = *test::frame_link_config().with_scrambler(0x60, 7, 1, per_frame);
        const OfdmFrameMod mod = make_mod(cfg);
        const Samples a = *mod.modulate_frame(packet, 11);
        EXPECT_EQ(a, *mod.modulate_frame(packet, 11));
        const Samples b = *mod.modulate_frame(packet, 12);
        ASSERT_EQ(a.size(), b.size());
        EXPECT_FALSE(std::equal(a.begin() + 144, a.begin() + header_end, b.begin() + 144));
        EXPECT_EQ(std::equal(a.begin() + header_end, a.end(), b.begin() + header_end), !per_frame);
    }
}

// The one check the modulator makes beyond the link's own.
TEST(FrameAssembly, ConstructionRefusesAPrefixLongerThanTheSymbol) {
    const std::vector<std::int32_t> data{1, 2, 3};
    const auto long_prefix = *OfdmConfig::create(8, 9, data, {}, {}, 1e6f, 0.0f, 1.0f, "bpsk", std::nullopt);
    const auto mod = OfdmFrameMod::create(long_prefix, fec::McsTable::default_ladder().entries(), 4, 16, nullptr);
    ASSERT_FALSE(mod.has_value());
    EXPECT_EQ(error_message(mod.error()), "OfdmMod: cp_len (9) must not exceed n_fft (8)");
}

TEST(FrameAssembly, ModulateRefusesIndicesOutsideTheTableAndOversizedPayloads) {
    fec::McsTable table = fec::McsTable::default_ladder();
    const OfdmFrameMod mod = make_mod(test::frame_link_config(), table);
    table.add("qam256").value();  // not seen by the modulator built before
    const auto outside = mod.modulate_frame(waveform::FramePacket{{1, 2}, 0, 4, 0}, 0);
    ASSERT_FALSE(outside.has_value());
    EXPECT_EQ(error_message(outside.error()), "mcs_index must be in the MCS table");

    const OfdmFrameMod uncoded = make_mod(test::frame_link_config(), table);
    const auto too_long = uncoded.modulate_frame(
        waveform::FramePacket{std::vector<std::uint8_t>(waveform::max_frame_payload_bytes + 1), 0, 4, 0}, 0);
    ASSERT_FALSE(too_long.has_value());
    EXPECT_EQ(error_message(too_long.error()), "modulate_frame: payload of 1048577 bytes exceeds the limit of 1048576 bytes");
    const auto longest = uncoded.modulate_frame(
        waveform::FramePacket{std::vector<std::uint8_t>(waveform::max_frame_payload_bytes), 0, 4, 0}, 0);
    ASSERT_TRUE(longest.has_value());
    EXPECT_EQ(longest->size(), 64 + 80 * (1 + 11 + (8 * (waveform::max_frame_payload_bytes + 4) + 399) / 400));
}

}  // namespace
