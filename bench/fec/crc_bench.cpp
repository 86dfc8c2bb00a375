#include <benchmark/benchmark.h>

#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include <liquid/liquid.h>

#include "fec/crc.hpp"
#include "support/test_support.hpp"

namespace {

std::vector<std::uint8_t> random_bytes(std::size_t n) { return kavro::test::random_bytes(n, 1); }

void BM_Crc32(benchmark::State& state) {
    const auto data = random_bytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(kavro::fec::crc32(data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(64)->Arg(1500)->Arg(1 << 20);

void BM_Crc16(benchmark::State& state) {
    const auto data = random_bytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(kavro::fec::crc16(data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(1500)->Arg(1 << 20);

// Speed peer: liquid-dsp's CRC-32, checked against ours before timing.
void BM_LiquidCrc32(benchmark::State& state) {
    auto data = random_bytes(static_cast<std::size_t>(state.range(0)));
    if (crc_generate_key(LIQUID_CRC_32, data.data(), static_cast<unsigned>(data.size())) != kavro::fec::crc32(data))
        return state.SkipWithError("liquid's CRC-32 differs from ours");
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc_generate_key(LIQUID_CRC_32, data.data(), static_cast<unsigned>(data.size())));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_LiquidCrc32)->Arg(1500)->Arg(1 << 20);

}  // namespace
