#include "core/pseudo_random.hpp"

namespace kavro {

float unit_component(std::uint64_t state) {
    constexpr float two_pow_minus_64 = 0x1p-64f;
    constexpr float level = 0.70710677f;
    const float u = static_cast<float>(state) * two_pow_minus_64 + -0.5f;
    return u >= 0.0f ? level : -level;
}

std::vector<Complex> pseudo_random_unit_sequence(std::size_t n, std::uint64_t seed) {
    std::vector<Complex> out(n);
    std::uint64_t s = seed;
    for (Complex& sample : out) {
        s = xorshift_step(s);
        sample.re = unit_component(s);
        s = xorshift_step(s);
        sample.im = unit_component(s);
    }
    return out;
}

}  // namespace kavro
