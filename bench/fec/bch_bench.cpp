#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "fec/bch.hpp"

namespace {

using kavro::fec::Bch;

// BCH(184, 120), t = 8, the default outer code; bytes counted are codeword bits / 8.
void bch_decode(benchmark::State& state) {
    const Bch bch = *Bch::shortened(184, 8);
    std::mt19937 rng(8);
    std::vector<std::uint8_t> word(120);
    for (auto& b : word) b = static_cast<std::uint8_t>(rng() & 1);
    const auto parity = bch.encode(word);
    word.insert(word.end(), parity.begin(), parity.end());
    for (std::int64_t e = 0; e < state.range(0); ++e) word[static_cast<std::size_t>(e * 23)] ^= 1;
    std::vector<std::uint8_t> buf(word.size());
    for (auto _ : state) {
        std::copy(word.begin(), word.end(), buf.begin());
        benchmark::DoNotOptimize(bch.decode_in_place(buf));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 120));
}
BENCHMARK(bch_decode)->Arg(0)->Arg(8);

void bch_build(benchmark::State& state) {
    for (auto _ : state) {
        const auto probe = Bch::shortened(255, static_cast<std::size_t>(state.range(0)));
        benchmark::DoNotOptimize(Bch::shortened(120 + probe->deg(), static_cast<std::size_t>(state.range(0))));
    }
}
BENCHMARK(bch_build)->Arg(8)->Arg(19)->Unit(benchmark::kMicrosecond);

}  // namespace
