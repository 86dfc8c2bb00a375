// DvbTFrameMod::modulate at guard "1/32" (items = output samples):
//   - BM_DvbTFrameQpsk12: the largest 68-symbol QPSK 1/2 frame (9537 bytes); goal at most 2 ms;
//   - BM_DvbTFrameQam64_78: the largest 68-symbol 64-QAM 7/8 frame (59653 bytes); goal at most 6 ms;
//   - BM_DvbTFrameMegabyte: 10^6 bytes at QPSK 1/2 (5785 symbols); goal at most 0.3 s;
//   - BM_DvbTChainQam64_78: the coding chain alone on the 64-QAM 7/8 frame's packets.
// GNU Radio's gr-dtv peer runs in its own process: bench/python/dvb_t_peer.py.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "modulate/dvb_t_frame.hpp"
#include "fec/chain/tx_chain.hpp"
#include "support/test_support.hpp"
#include "waveform/dvb_t_ts.hpp"

namespace {

using namespace kavro;

void run_frame(benchmark::State& state, const char* constellation, const char* rate, std::size_t bytes) {
    const auto params = *waveform::DvbTFrameParams::create("1/32", constellation, rate);
    const DvbTFrameMod mod(params);
    const auto payload = test::random_bytes(bytes, 1);
    std::size_t samples = 0;
    for (auto _ : state) {
        DvbTFrame frame = mod.modulate(payload);
        samples = frame.iq.size();
        benchmark::DoNotOptimize(frame.iq.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * samples));
    state.counters["samples"] = static_cast<double>(samples);
}

void BM_DvbTFrameQpsk12(benchmark::State& state) { run_frame(state, "qpsk", "1/2", 9537); }
void BM_DvbTFrameQam64_78(benchmark::State& state) { run_frame(state, "qam64", "7/8", 59653); }
void BM_DvbTFrameMegabyte(benchmark::State& state) { run_frame(state, "qpsk", "1/2", 1000000); }

void BM_DvbTChainQam64_78(benchmark::State& state) {
    const auto params = *waveform::DvbTFrameParams::create("1/32", "qam64", "7/8");
    const auto chain = waveform::dvb_t_chain_settings(params);
    auto stream = waveform::ts_packetize(test::random_bytes(59653, 1));
    for (auto _ : state) {
        fec::CodecCache cache;
        auto coded = fec::encode_chain_stages(stream, chain, 0, cache);
        benchmark::DoNotOptimize(coded.coded.data());
    }
}

BENCHMARK(BM_DvbTFrameQpsk12)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DvbTFrameQam64_78)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DvbTFrameMegabyte)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DvbTChainQam64_78)->Unit(benchmark::kMillisecond);

}  // namespace
