#include "sync/correlation_sums.hpp"

#include <algorithm>
#include <cmath>

namespace kavro {

namespace {

using Lanes = float __attribute__((vector_size(32)));
// The same lanes at any float address, reached through this type (not through helper functions)
// so that no vector passes by value, whose calling convention would differ between the clones.
using LanesAt = float __attribute__((vector_size(32), aligned(4), may_alias));
constexpr std::size_t lane_count = sizeof(Lanes) / sizeof(float);

#define KAVRO_LANES(p) (*reinterpret_cast<const LanesAt*>(p))
#define KAVRO_LANES_OUT(p) (*reinterpret_cast<LanesAt*>(p))

}  // namespace

__attribute__((target_clones("avx2", "default"))) void segment_sums(const float* re, const float* im, std::size_t r,
                                                                    std::size_t count, float* out_re, float* out_im,
                                                                    float* out_energy) {
    std::size_t x = 0;
    for (; x + lane_count <= count; x += lane_count) {
        Lanes sr{}, si{}, se{};
        for (std::size_t n = 0; n < r; ++n) {
            const Lanes ar = KAVRO_LANES(re + x + n), ai = KAVRO_LANES(im + x + n);
            const Lanes br = KAVRO_LANES(re + x + r + n), bi = KAVRO_LANES(im + x + r + n);
            sr = sr + (ar * br + ai * bi);
            si = si + (ar * bi - ai * br);
            se = se + (br * br + bi * bi);
        }
        KAVRO_LANES_OUT(out_re + x) = sr;
        KAVRO_LANES_OUT(out_im + x) = si;
        KAVRO_LANES_OUT(out_energy + x) = se;
    }
    for (; x < count; ++x) {
        float sr = 0.0f, si = 0.0f, se = 0.0f;
        for (std::size_t n = 0; n < r; ++n) {
            const float ar = re[x + n], ai = im[x + n], br = re[x + r + n], bi = im[x + r + n];
            sr = sr + (ar * br + ai * bi);
            si = si + (ar * bi - ai * br);
            se = se + (br * br + bi * bi);
        }
        out_re[x] = sr;
        out_im[x] = si;
        out_energy[x] = se;
    }
}

__attribute__((target_clones("avx2", "default"))) void pair_totals(const float* t_re, const float* t_im,
                                                                   const float* t_energy, std::size_t r,
                                                                   std::size_t pairs, std::size_t count, float* p_re,
                                                                   float* p_im, float* energy, float* ratio) {
    std::size_t d = 0;
    for (; d + lane_count <= count; d += lane_count) {
        Lanes pr{}, pi{}, pe{};
        for (std::size_t m = 0; m < pairs; ++m) {
            pr = pr + KAVRO_LANES(t_re + d + m * r);
            pi = pi + KAVRO_LANES(t_im + d + m * r);
            pe = pe + KAVRO_LANES(t_energy + d + m * r);
        }
        KAVRO_LANES_OUT(p_re + d) = pr;
        KAVRO_LANES_OUT(p_im + d) = pi;
        KAVRO_LANES_OUT(energy + d) = pe;
        KAVRO_LANES_OUT(ratio + d) = ((pr * pr + pi * pi) / (pe * pe));
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

float correlation_metric(float p_re, float p_im, float energy, float ratio) {
    if (!(energy > 0.0f)) return NAN;
    const float squared = energy * energy;
    if (std::isinf(squared) || squared < 1.17549435e-38f) {
        const double num = static_cast<double>(p_re) * p_re + static_cast<double>(p_im) * p_im;
        ratio = static_cast<float>(num / (static_cast<double>(energy) * energy));
    }
    return std::min(ratio, 1.0f);
}

#undef KAVRO_LANES
#undef KAVRO_LANES_OUT

}  // namespace kavro
