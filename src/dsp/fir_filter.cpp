#include "dsp/fir_filter.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "core/internal_fault.hpp"
#include "core/lanes.hpp"

namespace kavro::dsp {

namespace {

using L = Lanes<8>;

// Output floats q = 0 .. floats - 1, out[q] = sum over k of taps[k]·in[q - 2k], four vectors of
// independent sums at a time: each tap is applied to 4 × 8 interleaved real/imaginary components
// at once, each lane keeping the scalar order of its own sum.
[[gnu::always_inline]] inline void filter_floats(std::span<const float> taps, const float* in, std::size_t floats,
                                                 float* out) {
    const std::size_t n = taps.size();
    constexpr std::size_t lanes = L::count;
    std::size_t q = 0;
    for (; q + 4 * lanes <= floats; q += 4 * lanes) {
        L::Floats acc0{}, acc1{}, acc2{}, acc3{};
        for (std::size_t k = 0; k < n; ++k) {
            const float* p = in + q - 2 * k;
            const float h = taps[k];
            acc0 += h * L::load(p);
            acc1 += h * L::load(p + lanes);
            acc2 += h * L::load(p + 2 * lanes);
            acc3 += h * L::load(p + 3 * lanes);
        }
        L::store(out + q, acc0);
        L::store(out + q + lanes, acc1);
        L::store(out + q + 2 * lanes, acc2);
        L::store(out + q + 3 * lanes, acc3);
    }
    for (; q < floats; ++q) {
        float acc = 0.0f;
        for (std::size_t k = 0; k < n; ++k) acc += taps[k] * in[q - 2 * k];
        out[q] = acc;
    }
}

}  // namespace

void filter_centred_in_place(std::span<const float> taps, std::span<Complex> samples, SimdLevel level) {
    const std::size_t n = taps.size();
    if (n % 2 == 0) internal_fault("filter_centred_in_place: even tap count");
    const std::size_t len = samples.size();
    if (len == 0) return;
    const std::size_t m = (n - 1) / 2;

    // padded[j] = x[j - m] (0 outside), as interleaved floats, so output i reads complex samples
    // i + 2m - k, that is floats 2i + c + 4m - 2k for component c.
    if (len > (SIZE_MAX / sizeof(Complex)) - 2 * m) throw std::bad_alloc();
    std::vector<float> padded(2 * (len + 2 * m), 0.0f);
    std::memcpy(padded.data() + 2 * m, samples.data(), len * sizeof(Complex));
    float* out = reinterpret_cast<float*>(samples.data());
    const float* in = padded.data() + 4 * m;
    with_simd_level(level, [&] [[gnu::always_inline]] { filter_floats(taps, in, 2 * len, out); });
}

}  // namespace kavro::dsp
