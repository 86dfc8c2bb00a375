#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/simd_level.hpp"
#include "fec/conv.hpp"
#include "support/test_support.hpp"

extern "C" {
#include <fec.h>
}

namespace {

using kavro::fec::ConvKind;
using kavro::fec::PunctureRate;

constexpr std::size_t kFrameBits = 4000;

// One noisy rate-1/2 frame at Eb/N0 4 dB: the message and its mother-code soft values (tail
// included).
struct Frame {
    std::vector<std::uint8_t> message;
    std::vector<float> soft;
};

Frame noisy_frame(ConvKind kind, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Frame frame{kavro::test::random_bits(rng, kFrameBits), {}};
    const auto coded = kavro::fec::conv_encode(frame.message, kind, PunctureRate::R12);
    frame.soft = kavro::test::bpsk_llrs(rng, coded, kavro::test::bpsk_noise_variance(0.5, 4.0));
    return frame;
}

// Core clock in Hz, from a chain of dependent one-cycle additions; the machine's clock varies,
// so decoders are also reported in cycles per decoded bit.
double core_clock_hz() {
    static const double hz = [] {
        constexpr long kAdds = 200'000'000;
        double best = 0;
        for (int round = 0; round < 3; ++round) {
            std::uint64_t x = 0;
            const auto t0 = std::chrono::steady_clock::now();
            for (long i = 0; i < kAdds; ++i) asm volatile("add $1, %0" : "+r"(x));
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            best = std::max(best, kAdds / s);
        }
        return best;
    }();
    return hz;
}

void report_bits(benchmark::State& state, std::size_t errors) {
    const auto bits = static_cast<double>(state.iterations() * kFrameBits);
    state.SetItemsProcessed(static_cast<std::int64_t>(bits));
    state.counters["cycles_per_bit"] =
        benchmark::Counter(bits / core_clock_hz(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["bit_errors"] = static_cast<double>(errors);
}

std::size_t bit_errors(const std::vector<std::uint8_t>& decided, const std::vector<std::uint8_t>& message) {
    std::size_t errors = 0;
    for (std::size_t i = 0; i < message.size(); ++i) errors += decided[i] != message[i];
    return errors;
}

// Both decoders must decode the frame (at 4 dB a handful of errors at most) before timing.
constexpr std::size_t kMaxErrors = 20;

void viterbi(benchmark::State& state, ConvKind kind, kavro::SimdLevel level) {
    if (!kavro::simd_level_available(level)) return state.SkipWithError("build not runnable on this CPU");
    const Frame frame = noisy_frame(kind, 1);
    kavro::fec::ViterbiDecoder decoder(kind);
    std::vector<std::uint8_t> bits(frame.soft.size() / 2);
    decoder.decode(frame.soft, bits, level);
    const std::size_t errors = bit_errors(bits, frame.message);
    if (errors > kMaxErrors) return state.SkipWithError("kavro_sdr's decoder does not decode the frame");
    for (auto _ : state) {
        decoder.decode(frame.soft, bits, level);
        benchmark::DoNotOptimize(bits.data());
    }
    report_bits(state, errors);
}
BENCHMARK_CAPTURE(viterbi, k7_rate12, ConvKind::K7, kavro::best_simd_level());
BENCHMARK_CAPTURE(viterbi, k7_rate12_portable, ConvKind::K7, kavro::SimdLevel::Portable);
BENCHMARK_CAPTURE(viterbi, k5_rate12, ConvKind::K5, kavro::best_simd_level());

// libfec's K = 7 rate-1/2 decoder on the same frame, as 8-bit offset-binary symbols (0 = confident
// 0, 255 = confident 1). libfec takes the (133) output of each pair first. Debian's libfec
// builds its SIMD decoders for 32-bit x86 only, so on x86-64 this runs its portable C decoder.
void libfec_viterbi27(benchmark::State& state) {
    const Frame frame = noisy_frame(ConvKind::K7, 1);
    std::vector<unsigned char> syms(frame.soft.size());
    for (std::size_t i = 0; i < frame.soft.size(); ++i) {
        const float v = 128.0f - frame.soft[i ^ 1] * 16.0f;
        syms[i] = static_cast<unsigned char>(std::lround(std::fmin(255.0f, std::fmax(0.0f, v))));
    }
    void* vp = create_viterbi27(static_cast<int>(kFrameBits));
    std::vector<unsigned char> data(kFrameBits / 8 + 1);
    const auto decode = [&] {
        init_viterbi27(vp, 0);
        update_viterbi27_blk(vp, syms.data(), static_cast<int>(kFrameBits + 6));
        chainback_viterbi27(vp, data.data(), kFrameBits, 0);
    };
    decode();
    std::vector<std::uint8_t> bits(kFrameBits);
    for (std::size_t i = 0; i < kFrameBits; ++i) bits[i] = (data[i / 8] >> (7 - i % 8)) & 1;
    const std::size_t errors = bit_errors(bits, frame.message);
    if (errors > kMaxErrors) {
        delete_viterbi27(vp);
        return state.SkipWithError("libfec's decoder does not decode the frame");
    }
    for (auto _ : state) {
        decode();
        benchmark::DoNotOptimize(data.data());
    }
    delete_viterbi27(vp);
    report_bits(state, errors);
}
BENCHMARK(libfec_viterbi27);

// The whole receive path of one punctured frame: depuncture, decode, drop the tail.
void conv_decode_r34(benchmark::State& state) {
    std::mt19937_64 rng(3);
    std::vector<std::uint8_t> message(kFrameBits);
    for (auto& b : message) b = static_cast<std::uint8_t>(rng() & 1);
    const auto coded = kavro::fec::conv_encode(message, ConvKind::K7, PunctureRate::R34);
    std::vector<float> llr(coded.size());
    std::normal_distribution<float> noise(0.0f, 0.6f);
    for (std::size_t i = 0; i < coded.size(); ++i) llr[i] = (coded[i] ? -1.0f : 1.0f) + noise(rng);
    const std::size_t errors = bit_errors(kavro::fec::conv_decode(llr, ConvKind::K7, PunctureRate::R34, kFrameBits), message);
    if (errors > kMaxErrors) return state.SkipWithError("the punctured frame does not decode");
    for (auto _ : state) benchmark::DoNotOptimize(kavro::fec::conv_decode(llr, ConvKind::K7, PunctureRate::R34, kFrameBits));
    report_bits(state, errors);
}
BENCHMARK(conv_decode_r34);

}  // namespace
