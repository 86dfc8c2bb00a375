// The LDPC(174,91) decoder on a word it cannot decode (all 20 iterations) and on a clean word (one
// parity count), beside the literal model of the unit tests as its peer; and the codec's encoder.

#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "codec/ft4.hpp"
#include "codec/ft8.hpp"
#include "codec/ldpc.hpp"
#include "codec/ldpc_reference.hpp"

namespace {

using kavro::codec::ldpc_n;

// Soft values of pure noise: no iteration reaches a codeword.
std::array<float, ldpc_n> hopeless_word() {
    std::mt19937_64 rng(9);
    std::normal_distribution<float> noise(0.0f, 3.0f);
    std::array<float, ldpc_n> llr;
    for (float& x : llr) x = noise(rng);
    return llr;
}

// ±10 values of the codeword of a payload.
std::array<float, ldpc_n> clean_word() {
    const kavro::codec::Payload payload{0x00, 0x00, 0x00, 0x20, 0x4D, 0xE3, 0x51, 0x42, 0xB6, 0x48};
    std::array<std::uint8_t, 58> tones;
    kavro::codec::Ft8Codec::encode_into(payload, tones);
    return kavro::codec::tone_code::hard_llrs(tones, kavro::codec::ft8_frame);
}

using Decoder = std::size_t (*)(const std::array<float, ldpc_n>&, std::array<std::uint8_t, ldpc_n>&);

void ldpc_decode(benchmark::State& state, Decoder decode, std::array<float, ldpc_n> (*word)()) {
    const auto llr = word();
    std::array<std::uint8_t, ldpc_n> hard;
    std::size_t failed = 0;
    for (auto _ : state) {
        failed = decode(llr, hard);
        benchmark::DoNotOptimize(hard);
    }
    state.counters["failed_checks"] = static_cast<double>(failed);
}

std::size_t reference(const std::array<float, ldpc_n>& llr, std::array<std::uint8_t, ldpc_n>& hard) {
    return kavro::test::reference_decode_soft(llr.data(), hard.data());
}
std::size_t dispatched(const std::array<float, ldpc_n>& llr, std::array<std::uint8_t, ldpc_n>& hard) {
    return kavro::codec::ldpc_decode_soft(llr, hard);
}
std::size_t portable(const std::array<float, ldpc_n>& llr, std::array<std::uint8_t, ldpc_n>& hard) {
    return kavro::codec::ldpc_decode_soft(llr, hard, kavro::SimdLevel::Portable);
}

BENCHMARK_CAPTURE(ldpc_decode, ft8_ldpc_all_iterations, dispatched, hopeless_word);
BENCHMARK_CAPTURE(ldpc_decode, ft8_ldpc_all_iterations_portable, portable, hopeless_word);
BENCHMARK_CAPTURE(ldpc_decode, ft8_ldpc_all_iterations_literal_model, reference, hopeless_word);
BENCHMARK_CAPTURE(ldpc_decode, ft8_ldpc_clean_word, dispatched, clean_word);
BENCHMARK_CAPTURE(ldpc_decode, ft8_ldpc_clean_word_literal_model, reference, clean_word);

void ft8_codec_encode(benchmark::State& state) {
    kavro::codec::Payload payload{0x00, 0x00, 0x00, 0x20, 0x4D, 0xE3, 0x51, 0x42, 0xB6, 0x48};
    for (auto _ : state) {
        benchmark::DoNotOptimize(payload);
        auto tones = kavro::codec::Ft8Codec::encode(payload);
        benchmark::DoNotOptimize(tones);
    }
}
BENCHMARK(ft8_codec_encode);

void ft4_codec_encode(benchmark::State& state) {
    kavro::codec::Payload payload{0x00, 0x00, 0x00, 0x20, 0x4D, 0xE3, 0x51, 0x42, 0xB6, 0x48};
    for (auto _ : state) {
        benchmark::DoNotOptimize(payload);
        auto tones = kavro::codec::Ft4Codec::encode(payload);
        benchmark::DoNotOptimize(tones);
    }
}
BENCHMARK(ft4_codec_encode);

void ft8_codec_decode_soft_clean(benchmark::State& state) {
    const auto llr = clean_word();
    for (auto _ : state) {
        auto payload = kavro::codec::Ft8Codec::decode_llr(llr);
        benchmark::DoNotOptimize(payload);
    }
}
BENCHMARK(ft8_codec_decode_soft_clean);

}  // namespace
