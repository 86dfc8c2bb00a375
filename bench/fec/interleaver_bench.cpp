#include <benchmark/benchmark.h>

#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include <liquid/liquid.h>

#include "fec/interleaver.hpp"
#include "support/test_support.hpp"

// Every interleaver is linear in its input: the complexity fits over 2^12..2^20 bits should
// report O(N).

namespace {

using kavro::fec::InterleaverKind;

std::vector<std::uint8_t> random_bits(std::size_t n) { return kavro::test::random_bits(n, 2); }

void interleave(benchmark::State& state, InterleaverKind kind) {
    const auto bits = random_bits(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(kavro::fec::interleave_bits(kind, bits).data());
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void deinterleave_soft(benchmark::State& state, InterleaverKind kind) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<float> llrs(kavro::fec::interleaved_bit_count(kind, n), 1.0f);
    for (auto _ : state) benchmark::DoNotOptimize(kavro::fec::deinterleave_llrs(kind, llrs).data());
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void deinterleave_hard(benchmark::State& state, InterleaverKind kind) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto on_air = kavro::fec::interleave_bits(kind, random_bits(n));
    for (auto _ : state) benchmark::DoNotOptimize(kavro::fec::deinterleave_bits(kind, on_air).data());
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK_CAPTURE(interleave, block_64x64, InterleaverKind::block(64, 64))
    ->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(deinterleave_hard, block_64x64, InterleaverKind::block(64, 64))
    ->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(deinterleave_soft, block_64x64, InterleaverKind::block(64, 64))
    ->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(interleave, conv_12x17, InterleaverKind::convolutional(12, 17))
    ->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(deinterleave_hard, conv_12x17, InterleaverKind::convolutional(12, 17))
    ->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(deinterleave_soft, conv_12x17, InterleaverKind::convolutional(12, 17))
    ->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity(benchmark::oN);

// Speed peer: liquid-dsp's byte-block interleaver over the same number of bits (packed).
void BM_LiquidInterleaver(benchmark::State& state) {
    const auto n_bytes = static_cast<unsigned>(state.range(0) / 8);
    interleaver q = interleaver_create(n_bytes);
    std::vector<unsigned char> in(n_bytes, 0x5A), out(n_bytes);
    for (auto _ : state) {
        interleaver_encode(q, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    interleaver_destroy(q);
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_LiquidInterleaver)->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity(benchmark::oN);

}  // namespace
