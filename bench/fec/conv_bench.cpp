#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fec/conv.hpp"

extern "C" {
#include <fec.h>
}

namespace {

using kavro::fec::ConvKind;
using kavro::fec::PunctureRate;

constexpr std::size_t kFrameBits = 4000;

// One noisy rate-1/2 frame at Eb/N0 4 dB: the mother-code soft values (tail included).
std::vector<float> noisy_frame(ConvKind kind, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> message(kFrameBits);
    for (auto& b : message) b = static_cast<std::uint8_t>(rng() & 1);
    const auto coded = kavro::fec::conv_encode(message, kind, PunctureRate::R12);
    const double sigma2 = 1.0 / (2.0 * 0.5 * std::pow(10.0, 0.4));
    std::normal_distribution<double> noise(0.0, std::sqrt(sigma2));
    std::vector<float> llr(coded.size());
    for (std::size_t i = 0; i < coded.size(); ++i)
        llr[i] = static_cast<float>(2.0 * ((coded[i] ? -1.0 : 1.0) + noise(rng)) / sigma2);
    return llr;
}

void viterbi(benchmark::State& state, ConvKind kind) {
    const auto soft = noisy_frame(kind, 1);
    kavro::fec::ViterbiDecoder decoder(kind);
    std::vector<std::uint8_t> bits(soft.size() / 2);
    for (auto _ : state) {
        decoder.decode(soft, bits);
        benchmark::DoNotOptimize(bits.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFrameBits));
}
BENCHMARK_CAPTURE(viterbi, k7_rate12, ConvKind::K7);
BENCHMARK_CAPTURE(viterbi, k5_rate12, ConvKind::K5);

// The whole receive path of one punctured frame: depuncture, decode, drop the tail.
void conv_decode_r34(benchmark::State& state) {
    std::mt19937_64 rng(3);
    std::vector<std::uint8_t> message(kFrameBits);
    for (auto& b : message) b = static_cast<std::uint8_t>(rng() & 1);
    const auto coded = kavro::fec::conv_encode(message, ConvKind::K7, PunctureRate::R34);
    std::vector<float> llr(coded.size());
    std::normal_distribution<float> noise(0.0f, 0.6f);
    for (std::size_t i = 0; i < coded.size(); ++i) llr[i] = (coded[i] ? -1.0f : 1.0f) + noise(rng);
    for (auto _ : state) benchmark::DoNotOptimize(kavro::fec::conv_decode(llr, ConvKind::K7, PunctureRate::R34, kFrameBits));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFrameBits));
}
BENCHMARK(conv_decode_r34);

// libfec's K = 7 rate-1/2 decoder (its own SIMD dispatch) on the same frame, as 8-bit offset-binary
// symbols (0 = confident 0, 255 = confident 1).
void libfec_viterbi27(benchmark::State& state) {
    const auto soft = noisy_frame(ConvKind::K7, 1);
    std::vector<unsigned char> syms(soft.size());
    for (std::size_t i = 0; i < soft.size(); ++i) {
        const float v = 128.0f - soft[i] * 16.0f;
        syms[i] = static_cast<unsigned char>(std::lround(std::fmin(255.0f, std::fmax(0.0f, v))));
    }
    void* vp = create_viterbi27(static_cast<int>(kFrameBits));
    std::vector<unsigned char> data(kFrameBits / 8 + 1);
    for (auto _ : state) {
        init_viterbi27(vp, 0);
        update_viterbi27_blk(vp, syms.data(), static_cast<int>(kFrameBits + 6));
        chainback_viterbi27(vp, data.data(), kFrameBits, 0);
        benchmark::DoNotOptimize(data.data());
    }
    delete_viterbi27(vp);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFrameBits));
}
BENCHMARK(libfec_viterbi27);

}  // namespace
