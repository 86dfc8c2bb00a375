// Fixed cost per frame and the streaming receiver's cost per frame across chunk sizes, beside
// liquid-dsp's OFDM flexible framing on the same numerology (64 subcarriers, 16-sample prefix,
// QPSK):
//   - BM_FrameTx/<payload>/<coded>: one frame modulated. coded 0: kavro's uncoded QPSK entry
//     against liquid with no FEC; coded 1: kavro's default ladder entry 1 (LDPC n512r12 inside
//     BCH t=8, rate 0.47) against liquid's Golay (24,12) inside Hamming (12,8) (rate 1/3; its
//     convolutional codes need a libfec build it does not have here). CRC-32 on both sides.
//   - BM_FrameRx/<payload>/<coded>/<snr_db>/<chunk>: one frame with 200 samples of lead and
//     tail, noise at the given SNR over the frame's mean sample power, fed to OfdmFrameStreamDemod
//     and to ofdmflexframesync whole or in chunks of the given length; decoded_share is the share
//     of frames each decodes (1 at 20 dB).
//   - BM_StreamChunks/<chunk>: 20 noisy 1500-byte frames (entry 1, 20 dB, random gaps) fed in
//     chunks of the given size; ms_per_frame is the cost per frame. BM_LiquidStream: the same
//     number of liquid frames, gaps and SNR, through one ofdmflexframesync.
// Run with --benchmark_repetitions and read the medians; `make bench` pins it to one core.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <span>
#include <random>
#include <vector>

#include <liquid/liquid.h>

#include "demodulate/ofdm_frame/stream_receiver.hpp"
#include "modulate/ofdm_frame/frame_assembly.hpp"
#include "support/frame_link_support.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;
using Samples = std::vector<Complex>;
using LiquidSamples = std::vector<std::complex<float>>;

fec::McsTable table_for(bool coded) {
    if (coded) return fec::McsTable::default_ladder();
    fec::McsTable table;
    table.add("qpsk").value();
    return table;
}

struct KavroLink {
    OfdmConfig cfg = test::frame_link_rx_config();
    fec::McsTable table;
    std::shared_ptr<fec::CodecCache> cache = std::make_shared<fec::CodecCache>();
    OfdmFrameMod mod;
    std::uint8_t entry;

    explicit KavroLink(bool coded)
        : table(table_for(coded)),
          mod(*OfdmFrameMod::create(cfg, table.entries(), 4, 16, cache)),
          entry(coded ? 1 : 0) {}

    waveform::FramePacket packet(std::size_t bytes, std::uint32_t seq) const {
        return waveform::FramePacket{test::random_bytes(bytes, seq), seq, entry, 0};
    }
    OfdmFrameStreamDemod receiver() const { return *OfdmFrameStreamDemod::create(cfg, table.entries(), 4, 16, cache); }
};

struct LiquidLink {
    ofdmflexframegenprops_s props{};
    ofdmflexframegen gen = nullptr;
    unsigned char header[8] = {1, 2, 3, 4, 5, 6, 7, 8};

    explicit LiquidLink(bool coded) {
        ofdmflexframegenprops_init_default(&props);
        props.check = LIQUID_CRC_32;
        props.fec0 = coded ? LIQUID_FEC_GOLAY2412 : LIQUID_FEC_NONE;
        props.fec1 = coded ? LIQUID_FEC_HAMMING128 : LIQUID_FEC_NONE;
        props.mod_scheme = LIQUID_MODEM_QPSK;
        gen = ofdmflexframegen_create(64, 16, 0, nullptr, &props);
    }
    LiquidLink(const LiquidLink&) = delete;
    LiquidLink& operator=(const LiquidLink&) = delete;
    ~LiquidLink() { ofdmflexframegen_destroy(gen); }

    LiquidSamples frame(const std::vector<std::uint8_t>& payload) {
        ofdmflexframegen_assemble(gen, header, payload.data(), static_cast<unsigned>(payload.size()));
        LiquidSamples out;
        std::complex<float> buffer[80];
        for (bool done = false; !done;) {
            done = ofdmflexframegen_write(gen, buffer, 80) != 0;
            out.insert(out.end(), buffer, buffer + 80);
        }
        return out;
    }
};

struct LiquidCount {
    int decoded = 0;
    std::size_t bytes = 0;
};

int count_liquid_frame(unsigned char*, int header_valid, unsigned char*, unsigned int payload_len, int payload_valid,
                       framesyncstats_s, void* userdata) {
    auto* count = static_cast<LiquidCount*>(userdata);
    if (header_valid && payload_valid) {
        ++count->decoded;
        count->bytes += payload_len;
    }
    return 0;
}

// Noise at snr_db over `power`, as complex<float> for liquid or Complex for kavro.
template <class Sample>
void add_noise_at(std::vector<Sample>& x, double power, float snr_db, std::uint64_t seed) {
    const auto noise = test::complex_noise(x.size(), test::noise_variance_at_snr(power, snr_db), seed);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = x[i] + Sample{noise[i].re, noise[i].im};
}

Samples with_margins(const Samples& frame, float snr_db, std::uint64_t seed) {
    Samples x(200);
    x.insert(x.end(), frame.begin(), frame.end());
    x.resize(x.size() + 200);
    add_noise_at(x, test::mean_power(frame), snr_db, seed);
    return x;
}

LiquidSamples with_margins(const LiquidSamples& frame, float snr_db, std::uint64_t seed) {
    double power = 0.0;
    for (const auto& s : frame) power += static_cast<double>(std::norm(s));
    LiquidSamples x(200);
    x.insert(x.end(), frame.begin(), frame.end());
    x.resize(x.size() + 200);
    add_noise_at(x, power / static_cast<double>(frame.size()), snr_db, seed);
    return x;
}

void BM_KavroFrameTx(benchmark::State& state) {
    const KavroLink link(state.range(1) != 0);
    const waveform::FramePacket packet = link.packet(static_cast<std::size_t>(state.range(0)), 1);
    if (!link.receiver().feed(with_margins(*link.mod.modulate_frame(packet, 0), 40.0f, 1)).at(0)) {
        state.SkipWithError("kavro frame does not decode");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(link.mod.modulate_frame(packet, 0)->data());
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_LiquidFrameTx(benchmark::State& state) {
    LiquidLink link(state.range(1) != 0);
    const auto payload = test::random_bytes(static_cast<std::size_t>(state.range(0)), 1);
    {
        LiquidCount count;
        ofdmflexframesync sync = ofdmflexframesync_create(64, 16, 0, nullptr, count_liquid_frame, &count);
        LiquidSamples x = with_margins(link.frame(payload), 40.0f, 1);
        ofdmflexframesync_execute(sync, reinterpret_cast<liquid_float_complex*>(x.data()), static_cast<unsigned>(x.size()));
        ofdmflexframesync_destroy(sync);
        if (count.decoded != 1) {
            state.SkipWithError("liquid frame does not decode");
            return;
        }
    }
    for (auto _ : state) benchmark::DoNotOptimize(link.frame(payload).data());
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_KavroFrameRx(benchmark::State& state) {
    const KavroLink link(state.range(1) != 0);
    const auto snr = static_cast<float>(state.range(2));
    std::vector<Samples> frames;
    for (std::uint32_t seq = 0; seq < 8; ++seq)
        frames.push_back(with_margins(*link.mod.modulate_frame(link.packet(static_cast<std::size_t>(state.range(0)), seq), 0), snr, seq));
    const auto chunk = static_cast<std::size_t>(state.range(3));
    OfdmFrameStreamDemod rx = link.receiver();
    std::size_t decoded = 0, tries = 0;
    for (auto _ : state) {
        rx.clear();
        const std::span<const Complex> x = frames[tries++ % frames.size()];
        for (std::size_t at = 0; at < x.size(); at += chunk)
            for (const auto& attempt : rx.feed(x.subspan(at, std::min(chunk, x.size() - at)))) decoded += attempt.has_value();
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["decoded_share"] = static_cast<double>(decoded) / static_cast<double>(tries);
}

void BM_LiquidFrameRx(benchmark::State& state) {
    LiquidLink link(state.range(1) != 0);
    const auto snr = static_cast<float>(state.range(2));
    std::vector<LiquidSamples> frames;
    for (std::uint32_t seq = 0; seq < 8; ++seq)
        frames.push_back(with_margins(link.frame(test::random_bytes(static_cast<std::size_t>(state.range(0)), seq)), snr, seq));
    LiquidCount count;
    ofdmflexframesync sync = ofdmflexframesync_create(64, 16, 0, nullptr, count_liquid_frame, &count);
    const auto chunk = static_cast<std::size_t>(state.range(3));
    std::size_t tries = 0;
    for (auto _ : state) {
        ofdmflexframesync_reset(sync);
        LiquidSamples& x = frames[tries++ % frames.size()];
        for (std::size_t at = 0; at < x.size(); at += chunk)
            ofdmflexframesync_execute(sync, reinterpret_cast<liquid_float_complex*>(x.data() + at),
                                      static_cast<unsigned>(std::min(chunk, x.size() - at)));
    }
    ofdmflexframesync_destroy(sync);
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["decoded_share"] = static_cast<double>(count.decoded) / static_cast<double>(tries);
}

void frame_args(benchmark::internal::Benchmark* b) {
    for (const int bytes : {100, 1500})
        for (const int coded : {0, 1}) b->Args({bytes, coded});
}
// Payload bytes, coded, SNR in dB, chunk length: whole frames at 20 dB, and near the threshold
// (8 dB) uncoded whole and coded both whole and fed in 1024-sample chunks.
void rx_args(benchmark::internal::Benchmark* b) {
    constexpr int whole = 1 << 30;
    for (const int bytes : {100, 1500})
        for (const int coded : {0, 1}) b->Args({bytes, coded, 20, whole});
    b->Args({100, 0, 8, whole});
    for (const int bytes : {100, 1500})
        for (const int chunk : {whole, 1024}) b->Args({bytes, 1, 8, chunk});
}
BENCHMARK(BM_KavroFrameTx)->Apply(frame_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LiquidFrameTx)->Apply(frame_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KavroFrameRx)->Apply(rx_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LiquidFrameRx)->Apply(rx_args)->Unit(benchmark::kMicrosecond);

constexpr std::size_t kStreamFrames = 20;

Samples kavro_stream(const KavroLink& link) {
    std::mt19937 rng(9);
    Samples x;
    for (std::uint32_t seq = 0; seq < kStreamFrames; ++seq) {
        x.resize(x.size() + rng() % 3000);
        const Samples frame = *link.mod.modulate_frame(link.packet(1500, seq), 0);
        x.insert(x.end(), frame.begin(), frame.end());
    }
    x.resize(x.size() + 3000);
    add_noise_at(x, 1.0 / 64.0, 20.0f, 3);
    return x;
}

void BM_StreamChunks(benchmark::State& state) {
    const KavroLink link(true);
    const Samples x = kavro_stream(link);
    const auto chunk = static_cast<std::size_t>(state.range(0));
    std::size_t decoded = 0;
    for (auto _ : state) {
        OfdmFrameStreamDemod rx = link.receiver();
        test::feed_in_chunks(std::span(x), chunk, [&](std::span<const Complex> piece) {
            for (const auto& attempt : rx.feed(piece)) decoded += attempt.has_value();
        });
    }
    if (decoded != kStreamFrames * state.iterations()) state.SkipWithError("frames lost");
    state.counters["ms_per_frame"] = benchmark::Counter(static_cast<double>(state.iterations() * kStreamFrames) * 1e-3,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StreamChunks)->RangeMultiplier(32)->Range(1024, 1 << 20)->Unit(benchmark::kMillisecond);

void BM_LiquidStream(benchmark::State& state) {
    LiquidLink link(true);
    std::mt19937 rng(9);
    LiquidSamples x;
    for (std::uint32_t seq = 0; seq < kStreamFrames; ++seq) {
        x.resize(x.size() + rng() % 3000);
        const LiquidSamples frame = link.frame(test::random_bytes(1500, seq));
        x.insert(x.end(), frame.begin(), frame.end());
    }
    x.resize(x.size() + 3000);
    double power = 0.0;
    for (const auto& s : link.frame(test::random_bytes(1500, 0))) power += static_cast<double>(std::norm(s));
    add_noise_at(x, power / static_cast<double>(link.frame(test::random_bytes(1500, 0)).size()), 20.0f, 3);
    LiquidCount count;
    ofdmflexframesync sync = ofdmflexframesync_create(64, 16, 0, nullptr, count_liquid_frame, &count);
    for (auto _ : state) {
        ofdmflexframesync_reset(sync);
        ofdmflexframesync_execute(sync, reinterpret_cast<liquid_float_complex*>(x.data()), static_cast<unsigned>(x.size()));
    }
    ofdmflexframesync_destroy(sync);
    if (count.decoded != static_cast<int>(kStreamFrames * state.iterations())) state.SkipWithError("liquid frames lost");
    state.counters["ms_per_frame"] = benchmark::Counter(static_cast<double>(state.iterations() * kStreamFrames) * 1e-3,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LiquidStream)->Unit(benchmark::kMillisecond);

}  // namespace
