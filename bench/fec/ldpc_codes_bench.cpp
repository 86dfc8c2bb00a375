#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fec/ldpc_codes.hpp"
#include "support/test_support.hpp"

namespace {

using kavro::fec::Ldpc;
using kavro::fec::LdpcCode;
using kavro::fec::LdpcDecodeRule;

constexpr std::size_t kWords = 128;

// kWords noisy codewords of a code: BPSK over AWGN at the given Eb/N0, LLR = 2 y / sigma^2.
std::vector<std::vector<float>> noisy_words(const Ldpc& ldpc, double ebn0_db) {
    std::mt19937_64 rng(42);
    const double rate = static_cast<double>(ldpc.k()) / static_cast<double>(ldpc.n());
    const double sigma2 = kavro::test::bpsk_noise_variance(rate, ebn0_db);
    std::vector<std::vector<float>> words;
    for (std::size_t w = 0; w < kWords; ++w)
        words.push_back(kavro::test::bpsk_llrs(rng, ldpc.encode(kavro::test::random_bits(rng, ldpc.k())), sigma2));
    return words;
}

// Items are information bits; "converged" is the share of words that decoded to a codeword.
void ldpc_decode(benchmark::State& state, LdpcCode code, LdpcDecodeRule::Kind kind, double ebn0_db,
                 kavro::SimdLevel level = kavro::best_simd_level()) {
    const Ldpc ldpc = Ldpc::build(code);
    const auto words = noisy_words(ldpc, ebn0_db);
    const LdpcDecodeRule rule{kind, 0.75f};
    std::size_t w = 0, converged = 0, decoded = 0;
    for (auto _ : state) {
        const auto result = ldpc.decode(words[w], rule, level);
        converged += result.converged;
        ++decoded;
        w = (w + 1) % kWords;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * ldpc.k()));
    state.counters["converged"] = static_cast<double>(converged) / static_cast<double>(decoded);
}
BENCHMARK_CAPTURE(ldpc_decode, n512r12_min_sum_4db, LdpcCode::N512R12, LdpcDecodeRule::Kind::MinSum, 4.0);
BENCHMARK_CAPTURE(ldpc_decode, n512r12_min_sum_all_iterations, LdpcCode::N512R12, LdpcDecodeRule::Kind::MinSum,
                  -6.0);
BENCHMARK_CAPTURE(ldpc_decode, n512r12_min_sum_all_iterations_portable, LdpcCode::N512R12,
                  LdpcDecodeRule::Kind::MinSum, -6.0, kavro::SimdLevel::Portable);
BENCHMARK_CAPTURE(ldpc_decode, n512r12_sum_product_4db, LdpcCode::N512R12, LdpcDecodeRule::Kind::SumProduct, 4.0);
BENCHMARK_CAPTURE(ldpc_decode, n512r12_sum_product_all_iterations, LdpcCode::N512R12,
                  LdpcDecodeRule::Kind::SumProduct, -6.0);
BENCHMARK_CAPTURE(ldpc_decode, n512r34_min_sum_4db, LdpcCode::N512R34, LdpcDecodeRule::Kind::MinSum, 4.0);

void ldpc_build(benchmark::State& state, LdpcCode code) {
    for (auto _ : state) benchmark::DoNotOptimize(Ldpc::build(code));
}
BENCHMARK_CAPTURE(ldpc_build, n512r12, LdpcCode::N512R12)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ldpc_build, n576r23, LdpcCode::N576R23)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ldpc_build, n512r34, LdpcCode::N512R34)->Unit(benchmark::kMicrosecond);

void ldpc_encode(benchmark::State& state) {
    const Ldpc ldpc = Ldpc::build(LdpcCode::N512R12);
    std::vector<std::uint8_t> message(ldpc.k(), 1), word(ldpc.n());
    for (auto _ : state) {
        ldpc.encode_into(message, word);
        benchmark::DoNotOptimize(word.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * ldpc.k()));
}
BENCHMARK(ldpc_encode);

}  // namespace
