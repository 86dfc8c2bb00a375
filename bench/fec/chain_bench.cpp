// The coding chains on the default ladder's codes (BCH t = 8 inside LDPC n512r12, CRC-32) with a
// 1500-byte payload, BPSK over AWGN at Es/N0 = 1 dB (Eb/N0 = 4 dB for the rate-1/2 code).
// BM_LdpcOnly runs just the inner decoder on the same soft values, so the chain's own share of a
// noisy decode is (BM_DecodeNoisyMinSum - BM_LdpcOnlyMinSum) / BM_DecodeNoisyMinSum.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fec/chain/rx_chain.hpp"
#include "fec/chain/tx_chain.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;

constexpr std::size_t kPayloadLen = 1500;
const fec::OuterFec kOuter = fec::OuterFec::bch(8);
const fec::InnerFec kInner = fec::InnerFec::ldpc(fec::LdpcCode::N512R12);
constexpr fec::LdpcDecodeRule kMinSum{fec::LdpcDecodeRule::Kind::MinSum, 0.0f};

fec::ChainSettings settings(fec::LdpcDecodeRule rule = {}) {
    return {.crc = fec::CrcKind::Crc32, .outer = kOuter, .inner = kInner, .ldpc_rule = rule};
}

struct Link {
    fec::CodecCache cache;
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> coded;
    fec::BlockPlan plan;
    std::vector<float> clean;
    std::vector<float> noisy;

    Link() {
        payload = test::random_bytes(kPayloadLen, 2024);
        plan = fec::block_plan(kPayloadLen, settings(), cache);
        coded = encode(payload);
        const double sigma2 = test::noise_variance_at_snr(0.5, 1.0);  // BPSK at Es/N0 1 dB
        for (const std::uint8_t bit : coded) clean.push_back(static_cast<float>((bit ? -2.0 : 2.0) / sigma2));
        noisy = test::bpsk_llrs(coded, sigma2, 2025);
    }

    std::vector<std::uint8_t> encode(const std::vector<std::uint8_t>& bytes) {
        return fec::encode_chain_stages(bytes, settings(), 0, cache).coded;
    }

    bool decode(const std::vector<float>& llrs, fec::LdpcDecodeRule rule) {
        const auto outcome = fec::decode_chain(llrs, plan, settings(rule), 0, cache);
        return outcome && outcome->crc_ok && outcome->payload == payload;
    }
};

Link& link() {
    static Link instance;
    return instance;
}

void BM_EncodeDefaultLadder(benchmark::State& state) {
    Link& l = link();
    for (auto _ : state) benchmark::DoNotOptimize(l.encode(l.payload));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayloadLen));
}
BENCHMARK(BM_EncodeDefaultLadder)->Unit(benchmark::kMicrosecond);

void BM_DecodeClean(benchmark::State& state) {
    Link& l = link();
    for (auto _ : state) {
        if (!l.decode(l.clean, {})) state.SkipWithError("clean decode failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayloadLen));
}
BENCHMARK(BM_DecodeClean)->Unit(benchmark::kMicrosecond);

void BM_DecodeNoisyMinSum(benchmark::State& state) {
    Link& l = link();
    for (auto _ : state) {
        if (!l.decode(l.noisy, kMinSum)) state.SkipWithError("noisy decode failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayloadLen));
}
BENCHMARK(BM_DecodeNoisyMinSum)->Unit(benchmark::kMicrosecond);

// The inner decoder alone, word by word, on the same soft values.
void BM_LdpcOnlyMinSum(benchmark::State& state) {
    Link& l = link();
    const auto code = l.cache.ldpc(kInner.code);
    const std::size_t n = code->n();
    for (auto _ : state) {
        for (std::size_t w = 0; w + n <= l.noisy.size(); w += n) {
            benchmark::DoNotOptimize(code->decode(std::span<const float>(l.noisy).subspan(w, n), kMinSum));
        }
    }
}
BENCHMARK(BM_LdpcOnlyMinSum)->Unit(benchmark::kMicrosecond);

}  // namespace
