// The DVB-T frame receiver on one core:
//   - BM_DvbTGiSync: the guard-interval search over one "1/4" frame;
//   - BM_DvbTDecode/0: decode of the 68-symbol QPSK 1/2 frame (9537 bytes) at "1/4";
//   - BM_DvbTDecode/1: decode of the largest 68-symbol 64-QAM 7/8 frame (59653 bytes) at "1/32";
//   - BM_DvbTDecodeChain/0, /1: the decoding chain alone on noiseless soft values of the same blocks.
// Items are samples, so items_per_second compares with a peer's sample rate.

#include <benchmark/benchmark.h>

#include <vector>

#include "demodulate/dvb_t_frame.hpp"
#include "fec/chain/rx_chain.hpp"
#include "modulate/dvb_t_frame.hpp"
#include "sync/dvb_t_gi_sync.hpp"
#include "support/test_support.hpp"
#include "waveform/dvb_t_ts.hpp"

namespace {

using namespace kavro;

struct Case {
    const char* guard;
    const char* constellation;
    const char* rate;
    std::size_t payload;
};

constexpr Case kCases[] = {{"1/4", "qpsk", "1/2", 9537}, {"1/32", "qam64", "7/8", 59653}};

struct Prepared {
    waveform::DvbTFrameParams params;
    std::vector<std::uint8_t> payload;
    DvbTFrame frame;
};

Prepared prepare(const Case& c) {
    Prepared p{*waveform::DvbTFrameParams::create(c.guard, c.constellation, c.rate), test::random_bytes(c.payload, 7), {}};
    p.frame = DvbTFrameMod(p.params).modulate(p.payload);
    return p;
}

void BM_DvbTGiSync(benchmark::State& state) {
    const Prepared p = prepare(kCases[0]);
    for (auto _ : state) benchmark::DoNotOptimize(dvb_t_gi_sync(p.frame.iq, 512, 2560));
}
BENCHMARK(BM_DvbTGiSync)->Unit(benchmark::kMillisecond);

void BM_DvbTDecode(benchmark::State& state) {
    const Prepared p = prepare(kCases[state.range(0)]);
    DvbTFrameDemod demod(p.params);
    for (auto _ : state) {
        auto r = demod.decode(p.frame.iq, p.frame.n_symbols, p.payload.size());
        if (!r || r->payload != p.payload) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * p.frame.iq.size()));
}
BENCHMARK(BM_DvbTDecode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DvbTDecodeChain(benchmark::State& state) {
    const Prepared p = prepare(kCases[state.range(0)]);
    // Noiseless soft values of the block the decoder plans: the coded packets, as sent.
    const fec::ChainSettings chain = waveform::dvb_t_chain_settings(p.params);
    const std::size_t block = ((p.payload.size() + 186) / 187) * 188;
    fec::CodecCache cache;
    const fec::BlockPlan plan = fec::block_plan(block, chain, cache);
    const auto coded = fec::encode_chain_stages(test::random_bytes(block, 3), chain, 0, cache).coded;
    std::vector<float> llrs(coded.size());
    for (std::size_t i = 0; i < llrs.size(); ++i) llrs[i] = coded[i] ? -1.0f : 1.0f;
    // One decoder for every frame, as the receiver keeps it.
    fec::ChainDecoder decoder;
    for (auto _ : state) {
        if (!decoder.decode(llrs, plan, chain, 0, cache)) state.SkipWithError("chain decode failed");
        benchmark::DoNotOptimize(decoder.outcome().payload.data());
    }
}
BENCHMARK(BM_DvbTDecodeChain)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
