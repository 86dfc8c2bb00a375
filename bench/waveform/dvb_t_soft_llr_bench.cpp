// Max-log soft demapping of one 8k DVB-T symbol's 6048 data cells, on one core:
//   - dvb_t_soft_llr_cells/<bits>: 2, 4 or 6 bits per cell at the best level of this CPU;
//   - dvb_t_soft_llr_cells_portable/<bits>: the same in the portable build.
// Items are cells.

#include <benchmark/benchmark.h>

#include <vector>

#include "support/test_support.hpp"
#include "waveform/dvb_t_soft_llr.hpp"

namespace {

using namespace kavro;

void soft_llr_cells(benchmark::State& state, SimdLevel level) {
    const auto bits = static_cast<std::size_t>(state.range(0));
    const auto cells = test::complex_noise(6048, 0.7, 5);
    std::vector<float> llrs(bits * cells.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(waveform::dvb_t_soft_llr_cells(cells, bits, llrs, level));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * cells.size()));
}

BENCHMARK_CAPTURE(soft_llr_cells, dvb_t_soft_llr_cells, best_simd_level())->Arg(2)->Arg(4)->Arg(6);
BENCHMARK_CAPTURE(soft_llr_cells, dvb_t_soft_llr_cells_portable, SimdLevel::Portable)->Arg(2)->Arg(4)->Arg(6);

}  // namespace
