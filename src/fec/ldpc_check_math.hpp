#pragma once

// The functions of the sum-product check node in single precision, on GCC vector types or
// LaneHalves (one check row per lane): e^z and ln w as short polynomials (e^z within 4e-7
// relative, ln w within 3e-6 absolute), built only from additions, multiplications and bit
// operations, so every lane, vector width and instruction set gives the same bits.

#include <cstdint>

#include "core/lane_halves.hpp"

namespace kavro::fec::check_math {

// The largest ratio (1 + y) / (1 - y) a check message may reach: ln 2^25 = 17.33, which is
// 2 atanh of the largest float below 1.
inline constexpr float largest_ratio = 33554432.0f;

// e^z for z in [-87, 0] (normal results): z = n ln 2 + r with |r| <= ln 2 / 2, a degree-5
// polynomial for e^r and the exponent field for 2^n. NaN passes through.
template <class V>
[[gnu::always_inline]] inline V exp_nonpositive(V z) {
    using I = decltype(z < z);
    const I n = convert_lanes<I>(z * 1.44269504088896341f - 0.5f);  // nearest, ties down
    const V nf = convert_lanes<V>(n);
    V r = z - nf * 0.693359375f;
    r = r - nf * -2.12194440e-4f;
    V p = V{} + 8.3664086e-3f;
    p = p * r + 4.1879568e-2f;
    p = p * r + 1.6666540e-1f;
    p = p * r + 4.9999289e-1f;
    const V e = (p * (r * r) + r) + 1.0f;
    return e * (V)((n + 127) << 23);
}

// ln w for w in [1, 2^25]: w = (1 + x) 2^e with x in [sqrt(1/2) - 1, sqrt(2) - 1), and
// ln(1 + x) = x - x^2 / 2 + x^3 q(x) with q of degree 4. NaN passes through.
template <class V>
[[gnu::always_inline]] inline V log_at_least_one(V w) {
    using I = decltype(w < w);
    const I bits = (I)w;
    I e = ((bits >> 23) & 0xFF) - 126;
    V m = (V)((bits & 0x007FFFFF) | 0x3F000000);  // mantissa in [0.5, 1)
    const I low = m < 0.707106781186547524f;
    e = e + low;  // low lanes are -1
    const V doubled = (m + m) - 1.0f;
    const V single = m - 1.0f;
    const V x = (V)((low & (I)doubled) | (~low & (I)single));
    V q = V{} + 1.1199625e-1f;
    q = q * x - 1.8396153e-1f;
    q = q * x + 2.0587456e-1f;
    q = q * x - 2.4946282e-1f;
    q = q * x + 3.3312850e-1f;
    const V x2 = x * x;
    const V ln_mantissa = (x - 0.5f * x2) + (q * x2) * x;
    const V result = ln_mantissa + convert_lanes<V>(e) * 0.693147180559945309f;
    const I number = w == w;
    return (V)((number & (I)result) | (~number & (I)w));
}

// e^-|v|, with |v| beyond 87 taken as 87 (so +-infinity gives a value whose 1 - u and 1 + u are
// exactly 1).
template <class V>
[[gnu::always_inline]] inline V exp_minus_magnitude(V v) {
    using I = decltype(v < v);
    const V z = (V)((I)v | (I{} + INT32_MIN));  // -|v|
    const I floor = z < -87.0f;
    return exp_nonpositive((V)((floor & (I)(V{} - 87.0f)) | (~floor & (I)z)));
}

// ln((B + A) / (B - A)) = 2 atanh(A / B) for 0 <= A <= B, the ratio capped at largest_ratio.
template <class V>
[[gnu::always_inline]] inline V twice_atanh_of_ratio(V a, V b) {
    using I = decltype(a < a);
    V w = (b + a) / (b - a);
    const I above = w > largest_ratio;
    w = (V)((above & (I)(V{} + largest_ratio)) | (~above & (I)w));
    return log_at_least_one(w);
}

}  // namespace kavro::fec::check_math
