// The COFDM frame link end to end on the reference configuration (64-point FFT, 16-sample
// prefix, 50 data carriers, 1 Msample/s, receive back-off 4) with 1500-byte QPSK frames (default
// ladder entry 1) at a per-carrier Es/N0 of 14.5 dB:
//   - BM_ModulateFrame / BM_ModulateFrameLowpass31: modulate_frame without and with a 31-tap
//     transmit low-pass (items = samples);
//   - BM_BatchDecode: OfdmFrameDemod.decode on one frame body;
//   - BM_StreamBackToBack: back-to-back frames fed in chunks of 16384 (items = samples);
//   - BM_StreamLongRun: a 200-frame stream; counters compare the time of its last 10% of chunks
//     with its first 10% (the receiver must not slow down as the stream goes on) and count the
//     page faults of a pass (its buffers must keep their size, not grow with the stream or go
//     back to the system and come again frame after frame);
//   - BM_StreamIdleNoise: 10 s of noise at 1 Msample/s in 10000-sample chunks;
//   - BM_KavroTx/BM_LiquidTx and BM_KavroRx/BM_LiquidRx: frames per second beside liquid-dsp's
//     OFDM flexible framing (64 subcarriers, 16-sample prefix, QPSK, Golay (24,12) inside
//     Hamming (12,8), CRC-32: code rate 1/3 against the ladder's 0.33) carrying the same payload.
//     liquid's convolutional and Reed-Solomon codes need a libfec build it does not have here.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include <liquid/liquid.h>

#include "demodulate/ofdm_frame/frame_body_decoder.hpp"
#include "demodulate/ofdm_frame/stream_receiver.hpp"
#include "modulate/ofdm_frame/frame_assembly.hpp"
#include "support/frame_link_support.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;
using Samples = std::vector<Complex>;

constexpr std::size_t kPayload = 1500;
constexpr float kSnrDb = 14.5f;
constexpr std::size_t kPreambleSpan = test::frame_preamble_span;

// Seeded payloads and noise for a per-carrier Es/N0.
void add_noise(Samples& x, float es_n0_db, std::uint64_t seed) {
    test::add_noise(x, test::per_carrier_noise_variance(es_n0_db, 64), seed);
}

struct Link : test::ReferenceLink {
    std::mt19937 rng{7};

    waveform::FramePacket packet(std::uint32_t seq) {
        return waveform::FramePacket{test::random_bytes(kPayload, rng()), seq, 1, 0};
    }

    // Back-to-back noisy frames.
    Samples stream(std::size_t frames) {
        Samples x;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const Samples f = *mod.modulate_frame(packet(i), 0);
            x.insert(x.end(), f.begin(), f.end());
        }
        add_noise(x, kSnrDb, rng());
        return x;
    }
};

void BM_ModulateFrame(benchmark::State& state) {
    Link link;
    if (state.range(0) != 0) link.mod = *OfdmFrameMod::create(*link.cfg.with_tx_lowpass(31), link.table.entries(), 4, 16, link.cache);
    const waveform::FramePacket packet = link.packet(1);
    std::size_t samples = 0;
    for (auto _ : state) {
        const auto frame = link.mod.modulate_frame(packet, 0);
        benchmark::DoNotOptimize(frame->data());
        samples += frame->size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(samples));
}
BENCHMARK(BM_ModulateFrame)->Arg(0)->Name("BM_ModulateFrame")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModulateFrame)->Arg(1)->Name("BM_ModulateFrameLowpass31")->Unit(benchmark::kMicrosecond);

void BM_BatchDecode(benchmark::State& state) {
    Link link;
    const Samples frame = *link.mod.modulate_frame(link.packet(1), 0);
    Samples body(frame.begin() + kPreambleSpan, frame.end());
    add_noise(body, kSnrDb, link.rng());
    OfdmFrameDemod demod = *OfdmFrameDemod::create(link.cfg, link.table.entries(), link.cache);
    for (auto _ : state) {
        const auto packet = demod.decode(body);
        if (!packet) state.SkipWithError("frame lost");
        benchmark::DoNotOptimize(packet);
    }
}
BENCHMARK(BM_BatchDecode)->Unit(benchmark::kMicrosecond);

std::size_t feed_chunks(OfdmFrameStreamDemod& rx, const Samples& x, std::size_t chunk, std::vector<double>* times = nullptr) {
    std::size_t decoded = 0;
    test::feed_in_chunks(std::span(x), chunk, [&](std::span<const Complex> piece) {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& attempt : rx.feed(piece)) decoded += attempt.has_value();
        if (times) times->push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    });
    return decoded;
}

void BM_StreamBackToBack(benchmark::State& state) {
    Link link;
    const Samples x = link.stream(20);
    std::size_t decoded = 0;
    for (auto _ : state) {
        OfdmFrameStreamDemod rx = link.receiver();
        decoded += feed_chunks(rx, x, 16384);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * x.size()));
    state.counters["frames_per_pass"] = static_cast<double>(decoded) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StreamBackToBack)->Unit(benchmark::kMillisecond);

// Minor and major page faults of the process so far.
long page_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

void BM_StreamLongRun(benchmark::State& state) {
    Link link;
    const Samples x = link.stream(200);
    double first = 0.0, last = 0.0;
    std::size_t decoded = 0;
    long faults = 0;
    for (auto _ : state) {
        OfdmFrameStreamDemod rx = link.receiver();
        std::vector<double> times;
        times.reserve(x.size() / 16384 + 1);
        const long faults_before = page_faults();
        decoded += feed_chunks(rx, x, 16384, &times);
        faults += page_faults() - faults_before;
        const std::size_t tenth = times.size() / 10;
        for (std::size_t i = 0; i < tenth; ++i) {
            first += times[i];
            last += times[times.size() - 1 - i];
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * x.size()));
    state.counters["frames_per_pass"] = static_cast<double>(decoded) / static_cast<double>(state.iterations());
    state.counters["last_over_first"] = last / first;
    state.counters["page_faults_per_pass"] = static_cast<double>(faults) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StreamLongRun)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_StreamIdleNoise(benchmark::State& state) {
    Link link;
    Samples noise(10'000'000);
    add_noise(noise, 10.0f, link.rng());
    std::size_t most = 0;
    for (auto _ : state) {
        OfdmFrameStreamDemod rx = link.receiver();
        for (std::size_t at = 0; at < noise.size(); at += 10000) {
            benchmark::DoNotOptimize(rx.feed(std::span(noise).subspan(at, 10000)));
            most = std::max(most, rx.buffered());
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * noise.size()));
    state.counters["max_buffered"] = static_cast<double>(most);
}
BENCHMARK(BM_StreamIdleNoise)->Unit(benchmark::kMillisecond)->Iterations(2);

// ---------------------------------------------------------------------------------------------
// Frames per second beside liquid-dsp.

struct LiquidLink {
    ofdmflexframegenprops_s props{};
    ofdmflexframegen gen = nullptr;
    unsigned char header[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<std::uint8_t> payload;

    explicit LiquidLink(std::mt19937& rng) : payload(test::random_bytes(kPayload, rng())) {
        ofdmflexframegenprops_init_default(&props);
        props.check = LIQUID_CRC_32;
        props.fec0 = LIQUID_FEC_GOLAY2412;
        props.fec1 = LIQUID_FEC_HAMMING128;
        props.mod_scheme = LIQUID_MODEM_QPSK;
        gen = ofdmflexframegen_create(64, 16, 0, nullptr, &props);
    }
    ~LiquidLink() { ofdmflexframegen_destroy(gen); }

    std::vector<std::complex<float>> frame() {
        ofdmflexframegen_assemble(gen, header, payload.data(), static_cast<unsigned>(payload.size()));
        std::vector<std::complex<float>> out;
        std::complex<float> buffer[80];
        for (bool done = false; !done;) {
            done = ofdmflexframegen_write(gen, buffer, 80) != 0;
            out.insert(out.end(), buffer, buffer + 80);
        }
        return out;
    }
};

void BM_LiquidTx(benchmark::State& state) {
    std::mt19937 rng(3);
    LiquidLink link(rng);
    std::size_t samples = 0;
    for (auto _ : state) samples += link.frame().size();
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["samples_per_frame"] = static_cast<double>(samples) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LiquidTx)->Unit(benchmark::kMicrosecond);

void BM_KavroTx(benchmark::State& state) {
    Link link;
    const waveform::FramePacket packet = link.packet(1);
    std::size_t samples = 0;
    for (auto _ : state) samples += link.mod.modulate_frame(packet, 0)->size();
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["samples_per_frame"] = static_cast<double>(samples) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_KavroTx)->Unit(benchmark::kMicrosecond);

int count_liquid_frame(unsigned char*, int header_valid, unsigned char*, unsigned int, int payload_valid,
                       framesyncstats_s, void* userdata) {
    if (header_valid && payload_valid) ++*static_cast<int*>(userdata);
    return 0;
}

// Both receivers get a frame with 200 samples of lead and tail at an SNR of 20 dB over the
// frame's mean sample power (an equal footing for their different power normalisations).
template <class Sample>
void add_relative_noise(std::vector<Sample>& x, float snr_db, std::mt19937& rng) {
    double power = 0.0;
    for (const Sample& s : x) power += static_cast<double>(std::norm(std::complex<float>(s.re, s.im)));
    const double variance = test::noise_variance_at_snr(power / static_cast<double>(x.size()), snr_db);
    x.insert(x.begin(), 200, Sample{});
    x.insert(x.end(), 200, Sample{});
    const auto noise = test::complex_noise(x.size(), variance, rng());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = x[i] + Sample{noise[i].re, noise[i].im};
}

struct LiquidSample {
    float re, im;
    LiquidSample operator+(LiquidSample o) const { return {re + o.re, im + o.im}; }
};

void BM_LiquidRx(benchmark::State& state) {
    std::mt19937 rng(4);
    LiquidLink link(rng);
    const auto frame = link.frame();
    std::vector<LiquidSample> x(frame.size());
    for (std::size_t i = 0; i < frame.size(); ++i) x[i] = {frame[i].real(), frame[i].imag()};
    add_relative_noise(x, 20.0f, rng);
    int decoded = 0;
    ofdmflexframesync sync = ofdmflexframesync_create(64, 16, 0, nullptr, count_liquid_frame, &decoded);
    for (auto _ : state) {
        ofdmflexframesync_reset(sync);
        ofdmflexframesync_execute(sync, reinterpret_cast<liquid_float_complex*>(x.data()), static_cast<unsigned>(x.size()));
    }
    ofdmflexframesync_destroy(sync);
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["decoded_share"] = static_cast<double>(decoded) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LiquidRx)->Unit(benchmark::kMicrosecond);

void BM_KavroRx(benchmark::State& state) {
    Link link;
    Samples x = *link.mod.modulate_frame(link.packet(1), 0);
    add_relative_noise(x, 20.0f, link.rng);
    std::size_t decoded = 0;
    OfdmFrameStreamDemod rx = link.receiver();
    for (auto _ : state) {
        rx.clear();
        for (const auto& attempt : rx.feed(x)) decoded += attempt.has_value();
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["decoded_share"] = static_cast<double>(decoded) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_KavroRx)->Unit(benchmark::kMicrosecond);

}  // namespace
