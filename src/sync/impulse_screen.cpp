#include "sync/impulse_screen.hpp"

#include "core/lanes.hpp"

namespace kavro {

namespace {

using L = Lanes<8>;

[[gnu::always_inline]] inline std::size_t count_impulses_all(const float* re, const float* im, std::size_t count,
                                                              std::size_t after, float ratio, float floor,
                                                              float* power) {
    const std::size_t n = count + after;
    std::size_t i = 0;
    for (; i + L::count <= n; i += L::count) {
        const L::Floats r = L::load(re + i), m = L::load(im + i);
        L::store(power + i, r * r + m * m);
    }
    for (; i < n; ++i) power[i] = re[i] * re[i] + im[i] * im[i];

    const L::Floats ratios = L::splat(ratio), floors = L::splat(floor);
    std::size_t found = 0;
    std::size_t x = 0;
    for (; x + L::count <= count; x += L::count) {
        L::Floats rest{};
        for (std::size_t j = 1; j <= after; ++j) rest = rest + L::load(power + x + j);
        const L::Floats own = L::load(power + x);
        found += L::count_set((own >= floors) & (own > ratios * rest));
    }
    for (; x < count; ++x) found += is_impulse(power, x, after, ratio, floor);
    return found;
}

}  // namespace

std::size_t count_impulses(const float* re, const float* im, std::size_t count, std::size_t after, float ratio,
                           float floor, float* power, SimdLevel level) {
    return with_simd_level(level, [&] [[gnu::always_inline]] {
        return count_impulses_all(re, im, count, after, ratio, floor, power);
    });
}

bool is_impulse(const float* power, std::size_t x, std::size_t after, float ratio, float floor) {
    float rest = 0.0f;
    for (std::size_t j = 1; j <= after; ++j) rest = rest + power[x + j];
    return power[x] >= floor && power[x] > ratio * rest;
}

}  // namespace kavro
