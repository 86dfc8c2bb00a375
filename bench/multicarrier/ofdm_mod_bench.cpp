#include <benchmark/benchmark.h>

#include <complex>
#include <vector>

#include <liquid/liquid.h>

#include "modulate/ofdm.hpp"
#include "support/test_support.hpp"

namespace {

// N 64, CP 16, QPSK on 48 data carriers (-26..26 without DC and the pilots at ±7 and ±21).
constexpr std::size_t n_fft = 64;
constexpr std::size_t cp_len = 16;
constexpr std::size_t symbols_per_call = 1000;

bool is_pilot(int k) { return k == -21 || k == -7 || k == 7 || k == 21; }

kavro::OfdmConfig bench_config() {
    std::vector<std::int32_t> data;
    for (int k = -26; k <= 26; ++k) {
        if (k != 0 && !is_pilot(k)) data.push_back(k);
    }
    const std::vector<std::int32_t> pilots{-21, -7, 7, 21};
    const std::vector<kavro::Complex> values{{1, 0}, {1, 0}, {1, 0}, {-1, 0}};
    return *kavro::OfdmConfig::create(n_fft, cp_len, std::span(data), std::span(pilots), std::span(values), 1e6f, 0.0f,
                                      1.0f, "qpsk", std::nullopt);
}

void BM_KavroOfdmMod(benchmark::State& state) {
    auto mod = *kavro::OfdmMod::create(bench_config());
    const auto bits = kavro::test::random_bits(symbols_per_call * mod.bits_per_ofdm_symbol(), 7);
    for (auto _ : state) {
        auto out = mod.modulate(bits);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(symbols_per_call));
}
BENCHMARK(BM_KavroOfdmMod);

// liquid-dsp: QPSK modem_modulate per data cell, then ofdmframegen_writesymbol, with the same
// carrier allocation, into one preallocated output per call.
void BM_LiquidOfdmFrameGen(benchmark::State& state) {
    std::vector<unsigned char> allocation(n_fft, OFDMFRAME_SCTYPE_NULL);
    std::vector<std::size_t> data_bins;
    for (int k = -26; k <= 26; ++k) {
        if (k == 0) continue;
        const std::size_t bin = static_cast<std::size_t>((k + static_cast<int>(n_fft)) % static_cast<int>(n_fft));
        allocation[bin] = is_pilot(k) ? OFDMFRAME_SCTYPE_PILOT : OFDMFRAME_SCTYPE_DATA;
        if (!is_pilot(k)) data_bins.push_back(bin);
    }
    ofdmframegen gen = ofdmframegen_create(n_fft, cp_len, 0, allocation.data());
    modem qpsk = modem_create(LIQUID_MODEM_QPSK);

    const auto bits = kavro::test::random_bits(symbols_per_call * 2 * data_bins.size(), 7);
    std::vector<unsigned int> qpsk_symbols(bits.size() / 2);
    for (std::size_t i = 0; i < qpsk_symbols.size(); ++i) qpsk_symbols[i] = (bits[2 * i] << 1) | bits[2 * i + 1];
    std::vector<std::complex<float>> grid(n_fft);
    std::vector<std::complex<float>> out(symbols_per_call * (n_fft + cp_len));

    for (auto _ : state) {
        std::size_t next = 0;
        for (std::size_t m = 0; m < symbols_per_call; ++m) {
            for (const std::size_t bin : data_bins) modem_modulate(qpsk, qpsk_symbols[next++], &grid[bin]);
            ofdmframegen_writesymbol(gen, grid.data(), &out[m * (n_fft + cp_len)]);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(symbols_per_call));
    modem_destroy(qpsk);
    ofdmframegen_destroy(gen);
}
BENCHMARK(BM_LiquidOfdmFrameGen);

}  // namespace
