#include "sync/dvb_t_frame_search.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "modulate/dvb_t_frame.hpp"
#include "support/test_support.hpp"
#include "sync/dvb_t_integer_cfo.hpp"
#include "waveform/dvb_t_tps.hpp"

namespace {

using namespace kavro;
using Samples = std::vector<Complex>;

constexpr std::size_t kCp = 64;
constexpr std::size_t kS = 2048 + kCp;
constexpr std::size_t kN = 68;
constexpr std::size_t kF = kN * kS;

waveform::DvbTFrameParams frame_params(std::uint8_t frame_number) {
    return *waveform::DvbTFrameParams::create("1/32", "qpsk", "1/2", frame_number);
}

// Frames 0, 1, ... back to back, the first cut short by `cut` samples, and a symbol of zeros.
Samples frames(std::size_t count, std::size_t cut = 0) {
    Samples stream;
    for (std::uint8_t i = 0; i < count; ++i) {
        const auto iq = DvbTFrameMod(frame_params(i)).modulate(test::random_bytes(100, i)).iq;
        stream.insert(stream.end(), iq.begin(), iq.end() - static_cast<std::ptrdiff_t>(i == 0 ? cut : 0));
    }
    stream.resize(stream.size() + kS);
    return stream;
}

// The TPS bits a receiver reads from frame `number`, one per symbol (symbol 0 reads 0).
std::vector<std::uint8_t> read_bits(std::uint8_t number) {
    const auto word = waveform::encode_tps(frame_params(number));
    return {word.begin(), word.end()};
}

std::span<const Complex> at(const Samples& stream, std::size_t from, std::size_t count) {
    return std::span<const Complex>(stream).subspan(from, count);
}

// A whole frame keeps its last three symbols, back to the one before the earliest whose bits
// could start a sync pattern (frame 0's last six, 001101, start 0x35EE), and the next frame starts
// right after them. A frame placed right whose payload failed is consumed alike.
TEST(DvbTFrameSearch, AWholeFrameResumesAtItsEnd) {
    const Samples stream = frames(2);
    const auto bits = read_bits(0);
    DvbTFrameSearch search(kCp, kN, 0);
    EXPECT_EQ(search.after_frame(at(stream, 0, kF + kS), bits, 0.0f), kF - 8 * kS);
    EXPECT_EQ(search.kept(), 8 * kS);
    EXPECT_EQ(search.resume(at(stream, kF - 8 * kS, 8 * kS + kF + kS)), 8 * kS);
    EXPECT_EQ(search.kept(), 0u);

    EXPECT_EQ(search.after_failure(at(stream, 0, kF + kS), {0, bits, true, 0.0f}), kF - 8 * kS);
}

// A frame cut two symbols short: the kept symbols' TPS bits, read with the frame's carrier offset
// removed, show the next frame's block start; the next attempt starts half a symbol before it.
TEST(DvbTFrameSearch, AFrameCutShortResumesBeforeTheNextFrame) {
    for (const double offset_bins : {0.0, 3.3}) {
        Samples stream = frames(2, 2 * kS);
        for (std::size_t n = 0; n < stream.size(); ++n) {
            const double phase = 2.0 * M_PI * offset_bins * static_cast<double>(n) / 2048.0;
            stream[n] = stream[n] * Complex{static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase))};
        }
        DvbTFrameSearch search(kCp, kN, 0);
        const float cfo_hz = static_cast<float>(offset_bins) * integer_cfo_bin_hz;
        const std::size_t dropped = search.after_frame(at(stream, 0, kF + kS), read_bits(0), cfo_hz);
        // The next frame starts two symbols before the end of the kept ones.
        const std::size_t kept = search.kept();
        EXPECT_EQ(search.resume(at(stream, dropped, kept + kF + kS)), kept - 2 * kS - kS / 2) << offset_bins;
    }
}

// A failed attempt moves to half a symbol before a block start it read at a later symbol; with
// none, it stops short of a frame whose symbols start off its grid (noise before it), at most two
// prefix lengths early.
TEST(DvbTFrameSearch, AFailedAttemptStopsShortOfTheNextFrame) {
    const Samples stream = frames(2);
    const auto own = read_bits(0), next = read_bits(1);
    std::vector<std::uint8_t> entered(own.begin() + 40, own.end());
    entered.insert(entered.end(), next.begin(), next.begin() + 40);
    DvbTFrameSearch search(kCp, kN, 0);
    EXPECT_EQ(search.after_failure(at(stream, 40 * kS - 300, kF + kS), {300, entered, false, 0.0f}),
              300 + 28 * kS - kS / 2);

    const std::size_t lead = 20 * kS + kS / 2;
    Samples late = test::complex_noise(lead, 1.0 / 2048, 3);
    late.insert(late.end(), stream.begin(), stream.end());
    const std::vector<std::uint8_t> noise_bits(kN, 0);
    const std::size_t moved = search.after_failure(at(late, 0, kF + kS), {0, noise_bits, false, 0.0f});
    EXPECT_LE(moved, lead);
    EXPECT_GE(moved, lead - 2 * kCp);
    EXPECT_EQ(search.kept(), 0u);
}

}  // namespace
