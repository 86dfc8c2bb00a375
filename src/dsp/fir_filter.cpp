#include "dsp/fir_filter.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "core/internal_fault.hpp"

namespace kavro::dsp {

namespace {

// Four lanes of independent sums: each tap is applied to four interleaved real/imaginary
// components at once, each lane keeping the scalar order of its own sum.
typedef float Lanes __attribute__((vector_size(16)));
constexpr std::size_t lanes = 4;

Lanes load(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store(float* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

void filter_centred_in_place(std::span<const float> taps, std::span<Complex> samples) {
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
    const std::size_t floats = 2 * len;

    std::size_t q = 0;
    for (; q + 4 * lanes <= floats; q += 4 * lanes) {
        Lanes acc0{}, acc1{}, acc2{}, acc3{};
        for (std::size_t k = 0; k < n; ++k) {
            const float* p = in + q - 2 * k;
            const float h = taps[k];
            acc0 += h * load(p);
            acc1 += h * load(p + lanes);
            acc2 += h * load(p + 2 * lanes);
            acc3 += h * load(p + 3 * lanes);
        }
        store(out + q, acc0);
        store(out + q + lanes, acc1);
        store(out + q + 2 * lanes, acc2);
        store(out + q + 3 * lanes, acc3);
    }
    for (; q < floats; ++q) {
        float acc = 0.0f;
        for (std::size_t k = 0; k < n; ++k) acc += taps[k] * in[q - 2 * k];
        out[q] = acc;
    }
}

}  // namespace kavro::dsp
