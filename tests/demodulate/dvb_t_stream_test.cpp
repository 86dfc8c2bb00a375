#include "demodulate/dvb_t_stream.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "demodulate/dvb_t_super_frame.hpp"
#include "modulate/dvb_t_frame.hpp"
#include "modulate/dvb_t_super_frame.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;

const waveform::DvbTFrameParams& params() {
    static const auto p = *waveform::DvbTFrameParams::create("1/32", "qpsk", "1/2");
    return p;
}

constexpr std::size_t kPayload = 100;
constexpr std::size_t kS = 2112;

struct Summary {
    bool ok;
    std::vector<std::uint8_t> payload;
    DvbTRxError error;
    friend bool operator==(const Summary&, const Summary&) = default;
};

std::vector<Summary> feed_in(std::span<const Complex> stream, std::size_t chunk) {
    auto rx = *DvbTFrameStreamDemod::create(params(), 68, kPayload, false, 0);
    std::vector<Summary> out;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        for (auto& o : rx.feed(stream.subspan(at, std::min(chunk, stream.size() - at)))) {
            if (o) out.push_back({true, o->payload, {}});
            else out.push_back({false, {}, o.error().error});
        }
        EXPECT_LT(rx.buffered(), 69 * kS * 2);
    }
    return out;
}

// A stream entered at symbol 5 of a frame: failed attempts, then every later frame, whatever the
// chunking.
TEST(DvbTFrameStreamDemod, FindsTheNextFrameAfterEnteringInsideOne) {
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<Complex> stream;
    for (std::uint64_t i = 0; i < 4; ++i) {
        payloads.push_back(test::random_bytes(kPayload, 40 + i));
        const DvbTFrame frame = DvbTFrameMod(params()).modulate(payloads.back());
        stream.insert(stream.end(), frame.iq.begin(), frame.iq.end());
    }
    stream.resize(stream.size() + kS);
    const std::span<const Complex> entered = std::span<const Complex>(stream).subspan(5 * kS);

    const auto whole = feed_in(entered, entered.size());
    // Two failed attempts: the first sees no block start within its window and moves on by all
    // but its last 22 symbols; the second finds frame 1's start.
    ASSERT_EQ(whole.size(), 5u);
    EXPECT_FALSE(whole[0].ok);
    EXPECT_FALSE(whole[1].ok);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(whole[i + 1], (Summary{true, payloads[i], {}})) << i;
    EXPECT_EQ(feed_in(entered, 7777), whole);
}

TEST(DvbTFrameStreamDemod, RefusesUnusableSymbolCounts) {
    EXPECT_EQ(error_message(DvbTFrameStreamDemod::create(params(), 0, 1, false, 0).error()),
              "DvbTFrameStreamDemod: n_symbols must be at least 1");
    // (n + 1)·S must fit in 64 bits.
    const std::uint64_t largest = UINT64_MAX / kS - 1;
    EXPECT_TRUE(DvbTFrameStreamDemod::create(params(), largest, 1, false, 0).has_value());
    EXPECT_EQ(error_message(DvbTFrameStreamDemod::create(params(), largest + 1, 1, false, 0).error()),
              "DvbTFrameStreamDemod: n_symbols (" + std::to_string(largest + 1) + ") is too large");
}

TEST(DvbTSuperFrameDemod, RoundTripAndFrameOrder) {
    const auto sp = *waveform::DvbTSuperFrameParams::create("1/16", "qam16", "2/3", 0xA55A);
    const auto payload = test::random_bytes(1001, 5);
    const DvbTSuperFrame sf = DvbTSuperFrameMod(sp).modulate(payload);
    const std::array<std::uint64_t, 4> lens{251, 250, 250, 250};
    const auto rx = DvbTSuperFrameDemod(sp).decode(sf.iq, sf.symbols_per_frame, lens);
    ASSERT_TRUE(rx.has_value());
    EXPECT_EQ(rx->payload, payload);
    EXPECT_EQ(rx->cell_id, 0xA55A);

    // Frames 1, 0, 2, 3: each decodes, the order does not.
    const std::size_t f = sf.iq.size() / 4;
    std::vector<Complex> swapped(sf.iq.begin() + f, sf.iq.begin() + 2 * f);
    swapped.insert(swapped.end(), sf.iq.begin(), sf.iq.begin() + f);
    swapped.insert(swapped.end(), sf.iq.begin() + 2 * f, sf.iq.end());
    const auto error = DvbTSuperFrameDemod(sp).decode(swapped, sf.symbols_per_frame, lens);
    ASSERT_FALSE(error.has_value());
    EXPECT_EQ(error_message(error.error()), "super-frame: frame numbers out of sequence (got [1, 0, 2, 3], expected 0..3)");
}

}  // namespace
