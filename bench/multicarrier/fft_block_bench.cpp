#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <vector>

#include "multicarrier/fft_block.hpp"
#include "multicarrier/ifft_block.hpp"
#include "support/test_support.hpp"

namespace {

// The floor: fftwf_execute of the plan a stage makes (FFTW_ESTIMATE, out of place, on
// fftwf_malloc buffers), with nothing copied in or out.
void BM_FftwExecuteBare(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const int sign = state.range(1) == 0 ? FFTW_FORWARD : FFTW_BACKWARD;
    auto* in = fftwf_alloc_complex(n);
    auto* out = fftwf_alloc_complex(n);
    fftwf_plan plan = fftwf_plan_dft_1d(n, in, out, sign, FFTW_ESTIMATE);
    const auto x = kavro::test::complex_noise(static_cast<std::size_t>(n), 2.0, 1);
    for (int i = 0; i < n; ++i) {
        in[i][0] = x[static_cast<std::size_t>(i)].re;
        in[i][1] = x[static_cast<std::size_t>(i)].im;
    }
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
}
BENCHMARK(BM_FftwExecuteBare)->Args({64, 0})->Args({64, 1})->Args({2048, 0});

void BM_FftBlock(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    kavro::FftBlock fft(n);
    const auto x = kavro::test::complex_noise(n, 2.0, 1);
    std::vector<kavro::Complex> y(n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(fft.process(x, y));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FftBlock)->Arg(64)->Arg(2048);

void BM_IfftBlock(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    kavro::IfftBlock ifft(n);
    const auto x = kavro::test::complex_noise(n, 2.0, 1);
    std::vector<kavro::Complex> y(n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ifft.process(x, y));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_IfftBlock)->Arg(64)->Arg(2048);

}  // namespace
