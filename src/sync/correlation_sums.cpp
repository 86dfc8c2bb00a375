#include "sync/correlation_sums.hpp"

#include <algorithm>
#include <cmath>

#include "core/lanes.hpp"

namespace kavro {

namespace {

using L = Lanes<8>;

[[gnu::always_inline]] inline void lagged_sums_all(const float* re, const float* im, std::size_t lag,
                                                   std::size_t len, std::size_t count, float* out_re, float* out_im,
                                                   float* out_energy) {
    std::size_t x = 0;
    for (; x + L::count <= count; x += L::count) {
        L::Floats sr{}, si{}, se{};
        for (std::size_t n = 0; n < len; ++n) {
            const L::Floats ar = L::load(re + x + n), ai = L::load(im + x + n);
            const L::Floats br = L::load(re + x + lag + n), bi = L::load(im + x + lag + n);
            sr = sr + (ar * br + ai * bi);
            si = si + (ar * bi - ai * br);
            se = se + (br * br + bi * bi);
        }
        L::store(out_re + x, sr);
        L::store(out_im + x, si);
        L::store(out_energy + x, se);
    }
    for (; x < count; ++x) {
        const SegmentSum s = segment_sum(re + x, im + x, lag, len);
        out_re[x] = s.re;
        out_im[x] = s.im;
        out_energy[x] = s.energy;
    }
}

[[gnu::always_inline]] inline void pair_totals_all(const float* t_re, const float* t_im, const float* t_energy,
                                                   std::size_t r, std::size_t pairs, std::size_t count, float* p_re,
                                                   float* p_im, float* energy, float* ratio) {
    std::size_t d = 0;
    for (; d + L::count <= count; d += L::count) {
        L::Floats pr{}, pi{}, pe{};
        for (std::size_t m = 0; m < pairs; ++m) {
            pr = pr + L::load(t_re + d + m * r);
            pi = pi + L::load(t_im + d + m * r);
            pe = pe + L::load(t_energy + d + m * r);
        }
        L::store(p_re + d, pr);
        L::store(p_im + d, pi);
        L::store(energy + d, pe);
        L::store(ratio + d, (pr * pr + pi * pi) / (pe * pe));
    }
    for (; d < count; ++d) {
        float pr = 0.0f, pi = 0.0f, pe = 0.0f;
        for (std::size_t m = 0; m < pairs; ++m) {
            pr = pr + t_re[d + m * r];
            pi = pi + t_im[d + m * r];
            pe = pe + t_energy[d + m * r];
        }
        p_re[d] = pr;
        p_im[d] = pi;
        energy[d] = pe;
        ratio[d] = (pr * pr + pi * pi) / (pe * pe);
    }
}

}  // namespace

void segment_sums(const float* re, const float* im, std::size_t r, std::size_t count, float* out_re, float* out_im,
                  float* out_energy, SimdLevel level) {
    lagged_sums(re, im, r, r, count, out_re, out_im, out_energy, level);
}

void lagged_sums(const float* re, const float* im, std::size_t lag, std::size_t len, std::size_t count, float* out_re,
                 float* out_im, float* out_energy, SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] {
        lagged_sums_all(re, im, lag, len, count, out_re, out_im, out_energy);
    });
}

void pair_totals(const float* t_re, const float* t_im, const float* t_energy, std::size_t r, std::size_t pairs,
                 std::size_t count, float* p_re, float* p_im, float* energy, float* ratio, SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] {
        pair_totals_all(t_re, t_im, t_energy, r, pairs, count, p_re, p_im, energy, ratio);
    });
}

float correlation_metric(float p_re, float p_im, float energy, float ratio) {
    if (!(energy > 0.0f)) return NAN;
    const float squared = energy * energy;
    if (std::isinf(squared) || squared < 1.17549435e-38f) {
        const double num = static_cast<double>(p_re) * p_re + static_cast<double>(p_im) * p_im;
        ratio = static_cast<float>(num / (static_cast<double>(energy) * energy));
    }
    return std::min(ratio, 1.0f);
}

}  // namespace kavro
