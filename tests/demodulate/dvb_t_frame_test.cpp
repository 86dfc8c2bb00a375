#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "demodulate/dvb_t_frame.hpp"
#include "modulate/dvb_t_frame.hpp"
#include "support/test_support.hpp"
#include "waveform/dvb_t_params.hpp"

namespace {

using kavro::Complex;
using kavro::DvbTFrameDemod;
using kavro::DvbTFrameMod;
using kavro::DvbTRxError;
using kavro::waveform::DvbTFrameParams;
using Samples = std::vector<Complex>;

DvbTFrameParams params(const char* guard, const char* constellation, const char* rate, std::uint8_t frame = 0,
                       std::uint8_t cell = 0) {
    return *DvbTFrameParams::create(guard, constellation, rate, frame, cell);
}

Samples shifted_bins(Samples iq, double bins) {
    for (std::size_t n = 0; n < iq.size(); ++n) {
        const double ph = 2.0 * M_PI * bins * double(n) / 2048.0;
        iq[n] = iq[n] * Complex{float(std::cos(ph)), float(std::sin(ph))};
    }
    return iq;
}

TEST(DvbTFrameDemod, ReportsTimingAndTheWholeCarrierSearch) {
    const auto p = params("1/8", "qpsk", "1/2", 1, 9);
    const auto payload = kavro::test::random_bytes(500, 2);
    const auto frame = DvbTFrameMod(p).modulate(payload);
    Samples iq(37, Complex{});
    iq.insert(iq.end(), frame.iq.begin(), frame.iq.end());

    const auto plain = DvbTFrameDemod(p).decode(iq, frame.n_symbols, payload.size());
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->payload, payload);
    EXPECT_EQ(plain->timing, 37u);
    EXPECT_FALSE(plain->integer_cfo_bins);
    EXPECT_NEAR(*plain->cfo_hz, 0.0f, 0.5f);
    EXPECT_GT(*plain->gi_metric, 0.99f);
    EXPECT_TRUE(plain->outer_ok);
    ASSERT_TRUE(plain->chain_stats);
    // Only the leading packets of the stuffed stream are decoded; the trellis forced to state 0
    // where they end may cost the last codeword a few corrected bytes, never more than 8.
    EXPECT_LE(*plain->chain_stats, 8u);
    EXPECT_EQ(plain->tps.frame_number, 1);
    EXPECT_EQ(plain->tps.cell_id, 9);
    EXPECT_FALSE(plain->evm_db);

    auto searched = DvbTFrameDemod(p).with_integer_cfo_correction(true);
    const auto none = searched.decode(iq, frame.n_symbols, payload.size());
    ASSERT_TRUE(none);
    EXPECT_EQ(none->integer_cfo_bins, 0);
    const auto three = searched.decode(shifted_bins(iq, 3), frame.n_symbols, payload.size());
    ASSERT_TRUE(three);
    EXPECT_EQ(three->payload, payload);
    EXPECT_EQ(three->integer_cfo_bins, 3);
    EXPECT_NEAR(*three->cfo_hz, 3 * 586.51025f, 0.5f);
    EXPECT_FALSE(DvbTFrameDemod(p).decode(shifted_bins(iq, 3), frame.n_symbols, payload.size()));
    // The prefixes measure 0.49 of 7.49 carriers; the search must run with that removed, or the
    // pilots straddle two carriers and the data cells tip the choice.
    const auto between = searched.decode(shifted_bins(iq, 7.49), frame.n_symbols, payload.size());
    ASSERT_TRUE(between);
    EXPECT_EQ(between->payload, payload);
    EXPECT_EQ(between->integer_cfo_bins, 7);
    EXPECT_NEAR(*between->cfo_hz, 7.49f * 586.51025f, 5.0f);
}

TEST(DvbTFrameDemod, OversizedCountsFailWithoutTouchingMemory) {
    const auto p = params("1/32", "qpsk", "1/2");
    const auto frame = DvbTFrameMod(p).modulate({});
    DvbTFrameDemod demod(p);
    for (std::uint64_t n : {std::uint64_t{1} << 60, std::numeric_limits<std::uint64_t>::max(), frame.n_symbols + 1}) {
        const auto r = demod.decode(frame.iq, n, 0);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().error, DvbTRxError::TooFewSamples) << n;
    }
    const auto huge = demod.decode(frame.iq, frame.n_symbols, std::numeric_limits<std::uint64_t>::max());
    ASSERT_FALSE(huge);
    EXPECT_EQ(huge.error().error, DvbTRxError::PayloadDecode);
    const auto zero = demod.decode(frame.iq, 0, 0);
    ASSERT_FALSE(zero);
    EXPECT_EQ(zero.error().error, DvbTRxError::TpsDecode);
}

TEST(DvbTFrameDemod, SilenceIsNeverAPayload) {
    const auto p = params("1/4", "qpsk", "1/2");
    const auto frame = DvbTFrameMod(p).modulate({});
    for (const Complex fill : {Complex{}, Complex{NAN, NAN}}) {
        const auto r = DvbTFrameDemod(p).decode(Samples(frame.iq.size(), fill), frame.n_symbols, 0);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().error, DvbTRxError::PayloadDecode);
    }
}

TEST(DvbTFrameDemod, FailedPayloadKeepsTimingAndTps) {
    // Two frames of the same parameters differ only in their data cells: their average keeps the
    // pilots and TPS carriers exactly and leaves the data cells meaningless.
    const auto p = params("1/16", "qpsk", "1/2", 2, 77);
    const auto a = DvbTFrameMod(p).modulate(kavro::test::random_bytes(3000, 1));
    const auto b = DvbTFrameMod(p).modulate(kavro::test::random_bytes(3000, 2));
    Samples mixed(a.iq.size());
    for (std::size_t i = 0; i < mixed.size(); ++i) mixed[i] = (a.iq[i] + b.iq[i]) * 0.5f;
    const auto r = DvbTFrameDemod(p).decode(mixed, a.n_symbols, 3000);
    ASSERT_FALSE(r);
    const auto& f = r.error();
    EXPECT_EQ(f.error, DvbTRxError::PayloadDecode);
    EXPECT_EQ(f.timing, 0u);
    EXPECT_EQ(f.tps_bits.size(), a.n_symbols);
    ASSERT_TRUE(f.tps);
    EXPECT_EQ(f.tps->frame_number, 2);
    EXPECT_EQ(f.tps->cell_id, 77);
    EXPECT_EQ(f.tps_block, 0u);
    EXPECT_TRUE(f.tps_sync_ok);
}

TEST(DvbTFrameDemod, EnteringAtSymbolOneFindsNoSyncPattern) {
    const auto p = params("1/32", "qpsk", "1/2");
    const auto a = DvbTFrameMod(p).modulate(kavro::test::random_bytes(100, 3));
    const auto b = DvbTFrameMod(p).modulate(kavro::test::random_bytes(100, 4));
    Samples stream(a.iq.begin() + static_cast<std::ptrdiff_t>(a.samples_per_symbol), a.iq.end());
    stream.insert(stream.end(), b.iq.begin(), b.iq.end());
    const auto r = DvbTFrameDemod(p).decode(stream, a.n_symbols, 100);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().timing, 0u);
    EXPECT_EQ(r.error().tps_bits.size(), a.n_symbols);
    ASSERT_TRUE(r.error().tps);
    EXPECT_FALSE(r.error().tps_sync_ok);
}

TEST(DvbTFrameDemod, DiagnosticsOfACleanFrame) {
    const auto p = params("1/8", "qam64", "2/3");
    const auto payload = kavro::test::random_bytes(2000, 5);
    const auto frame = DvbTFrameMod(p).modulate(payload);
    for (std::size_t backoff : {0u, 85u}) {
        const auto r = DvbTFrameDemod(p).with_pre_fec_diagnostics(true).with_rx_window_backoff(backoff).decode(
            frame.iq, frame.n_symbols, payload.size());
        ASSERT_TRUE(r) << backoff;
        EXPECT_EQ(r->payload, payload);
        ASSERT_TRUE(r->evm_db);
        EXPECT_LT(*r->evm_db, -50.0f) << backoff;
        EXPECT_EQ(r->pre_fec_ber, 0.0f) << backoff;
        EXPECT_EQ(r->pre_outer_ratio, 0.0f) << backoff;
    }
}

TEST(DvbTFrameDemod, LongFrameDecodesFromItsFirstBlock) {
    const auto p = params("1/32", "qpsk", "1/2");
    const auto payload = kavro::test::random_bytes(25000, 6);
    const auto frame = DvbTFrameMod(p).modulate(payload);
    ASSERT_EQ(frame.n_symbols, 157u);
    const auto r = DvbTFrameDemod(p).decode(frame.iq, frame.n_symbols, payload.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->payload, payload);
}

// One demodulator keeps its workspace from frame to frame: whatever it decoded or failed before
// (a noisy frame, a short buffer, a longer frame), each result is that of a fresh demodulator.
TEST(DvbTFrameDemod, AReusedDemodulatorDecodesAsAFreshOne) {
    const auto p = params("1/8", "qam16", "3/4");
    const auto a = DvbTFrameMod(p).modulate(kavro::test::random_bytes(4000, 7));
    const auto longer = DvbTFrameMod(p).modulate(kavro::test::random_bytes(40000, 8));
    ASSERT_GT(longer.n_symbols, a.n_symbols);
    Samples noisy = a.iq;
    kavro::test::add_noise(noisy, 6e-5, 9);  // too noisy for the code
    Samples slightly = a.iq;
    kavro::test::add_noise(slightly, 2e-5, 10);  // corrected bytes
    const Samples short_by_one(a.iq.begin(), a.iq.end() - 1);
    struct Input {
        const Samples* iq;
        std::size_t n_symbols, payload;
    };
    const Input inputs[] = {{&a.iq, a.n_symbols, 4000},        {&noisy, a.n_symbols, 4000},
                            {&short_by_one, a.n_symbols, 4000}, {&longer.iq, longer.n_symbols, 40000},
                            {&slightly, a.n_symbols, 4000},     {&a.iq, a.n_symbols, 4000}};
    auto reused = DvbTFrameDemod(p).with_pre_fec_diagnostics(true);
    for (std::size_t i = 0; i < std::size(inputs); ++i) {
        const Input& in = inputs[i];
        const auto got = reused.decode(*in.iq, in.n_symbols, in.payload);
        const auto want = DvbTFrameDemod(p).with_pre_fec_diagnostics(true).decode(*in.iq, in.n_symbols, in.payload);
        ASSERT_EQ(got.has_value(), want.has_value()) << i;
        if (!want) {
            EXPECT_EQ(got.error().error, want.error().error) << i;
            EXPECT_EQ(got.error().tps_bits, want.error().tps_bits) << i;
            continue;
        }
        EXPECT_EQ(got->payload, want->payload) << i;
        EXPECT_EQ(got->chain_stats, want->chain_stats) << i;
        EXPECT_EQ(got->evm_db, want->evm_db) << i;
        EXPECT_EQ(got->pre_fec_ber, want->pre_fec_ber) << i;
        EXPECT_EQ(got->pre_outer_ratio, want->pre_outer_ratio) << i;
    }
    // A copy takes the settings, not the workspace, and decodes alike.
    auto copy = reused;
    const auto from_copy = copy.decode(slightly, a.n_symbols, 4000);
    const auto from_reused = reused.decode(slightly, a.n_symbols, 4000);
    ASSERT_TRUE(from_copy);
    ASSERT_TRUE(from_reused);
    EXPECT_EQ(from_copy->payload, from_reused->payload);
}

}  // namespace
