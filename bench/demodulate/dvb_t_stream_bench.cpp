// The DVB-T stream and super-frame receivers on one core, 68-symbol QPSK 1/2 frames at "1/4"
// (9537 bytes each):
//   - BM_DvbTStream/8192: twenty back-to-back frames fed in 8192-sample chunks; /0: in one call;
//   - BM_DvbTStreamNoise: ten seconds of noise at 1 201 173 samples/s in 10000-sample chunks;
//   - BM_DvbTSuperFrameDecode: one super-frame of four such frames (compare BM_DvbTDecode/0).
// Items are samples.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "demodulate/dvb_t_stream.hpp"
#include "demodulate/dvb_t_super_frame.hpp"
#include "modulate/dvb_t_frame.hpp"
#include "modulate/dvb_t_super_frame.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;

constexpr std::size_t kPayload = 9537;
constexpr std::size_t kFrames = 20;

const waveform::DvbTFrameParams& params() {
    static const auto p = *waveform::DvbTFrameParams::create("1/4", "qpsk", "1/2");
    return p;
}

std::vector<Complex> back_to_back_frames() {
    std::vector<Complex> stream;
    const DvbTFrameMod mod(params());
    for (std::size_t i = 0; i < kFrames; ++i) {
        const DvbTFrame frame = mod.modulate(test::random_bytes(kPayload, static_cast<std::uint32_t>(i)));
        stream.insert(stream.end(), frame.iq.begin(), frame.iq.end());
    }
    stream.resize(stream.size() + params().samples_per_symbol(), Complex{});
    return stream;
}

std::size_t feed_all(DvbTFrameStreamDemod& rx, const std::vector<Complex>& stream, std::size_t chunk) {
    std::size_t decoded = 0;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        const std::size_t n = std::min(chunk, stream.size() - at);
        for (const auto& outcome : rx.feed(std::span<const Complex>(stream).subspan(at, n))) decoded += outcome ? 1 : 0;
    }
    return decoded;
}

void BM_DvbTStream(benchmark::State& state) {
    const std::vector<Complex> stream = back_to_back_frames();
    const std::size_t chunk = state.range(0) == 0 ? stream.size() : static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        auto rx = *DvbTFrameStreamDemod::create(params(), 68, kPayload, false, 0);
        if (feed_all(rx, stream, chunk) != kFrames) state.SkipWithError("frames lost");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_DvbTStream)->Arg(8192)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_DvbTStreamNoise(benchmark::State& state) {
    const std::vector<Complex> noise = test::complex_noise(1201173 * 10, 4.4e-4f, 5);
    for (auto _ : state) {
        auto rx = *DvbTFrameStreamDemod::create(params(), 68, kPayload, false, 0);
        benchmark::DoNotOptimize(feed_all(rx, noise, 10000));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * noise.size()));
}
BENCHMARK(BM_DvbTStreamNoise)->Unit(benchmark::kMillisecond);

void BM_DvbTSuperFrameDecode(benchmark::State& state) {
    const auto super_params = *waveform::DvbTSuperFrameParams::create("1/4", "qpsk", "1/2", 0x1234);
    const auto payload = test::random_bytes(4 * kPayload, 9);
    const DvbTSuperFrame sf = DvbTSuperFrameMod(super_params).modulate(payload);
    std::array<std::uint64_t, waveform::super_frame_frames> lens{};
    std::copy(sf.frame_payload_lens.begin(), sf.frame_payload_lens.end(), lens.begin());
    const DvbTSuperFrameDemod demod(super_params);
    for (auto _ : state) {
        auto r = demod.decode(sf.iq, sf.symbols_per_frame, lens);
        if (!r || r->payload != payload) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * sf.iq.size()));
}
BENCHMARK(BM_DvbTSuperFrameDecode)->Unit(benchmark::kMillisecond);

}  // namespace
