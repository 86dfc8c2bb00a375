#pragma once

// The sum-product check node's two functions, tanh(v/2) and 2 atanh(y), in single precision, on
// GCC vector types (one check row per lane). Both are polynomial approximations within a few ulp
// of the exact functions, built only from additions, multiplications, divisions and bit
// operations, so every lane, vector width and instruction set gives the same bits.

#include <climits>
#include <cstdint>

namespace kavro::fec::check_math {

// The largest float below 1: 2 atanh of it is 17.33, the largest check message.
inline constexpr float kLargestBelowOne = 0.99999994f;

// e^z for z in [-87, 0] (normal results): z = n ln 2 + r with |r| <= ln 2 / 2, a degree-6
// polynomial for e^r and the exponent field for 2^n.
template <class V>
inline V exp_nonpositive(V z) {
    using I = decltype(z < z);
    const I n = __builtin_convertvector(z * 1.44269504088896341f - 0.5f, I);  // nearest, ties down
    const V nf = __builtin_convertvector(n, V);
    V r = z - nf * 0.693359375f;
    r = r - nf * -2.12194440e-4f;
    V p = V{} + 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    const V e = (p * (r * r) + r) + 1.0f;
    return e * (V)((n + 127) << 23);
}

// ln w for positive normal w: w = x 2^e with x in [sqrt(1/2), sqrt(2)), a degree-9 polynomial
// for ln x. NaN passes through.
template <class V>
inline V log_positive(V w) {
    using I = decltype(w < w);
    const I bits = (I)w;
    I e = ((bits >> 23) & 0xFF) - 126;
    V x = (V)((bits & 0x007FFFFF) | 0x3F000000);  // mantissa in [0.5, 1)
    const I low = x < 0.707106781186547524f;
    e = e + low;  // low lanes are -1
    const V doubled = (x + x) - 1.0f;
    const V single = x - 1.0f;
    x = (V)((low & (I)doubled) | (~low & (I)single));
    const V ef = __builtin_convertvector(e, V);
    const V z = x * x;
    V y = V{} + 7.0376836292e-2f;
    y = y * x - 1.1514610310e-1f;
    y = y * x + 1.1676998740e-1f;
    y = y * x - 1.2420140846e-1f;
    y = y * x + 1.4249322787e-1f;
    y = y * x - 1.6668057665e-1f;
    y = y * x + 2.0000714765e-1f;
    y = y * x - 2.4999993993e-1f;
    y = y * x + 3.3333331174e-1f;
    y = y * x * z;
    y = y + ef * -2.12194440e-4f;
    y = y - 0.5f * z;
    const V result = (x + y) + ef * 0.693359375f;
    const I finite = w == w;
    return (V)((finite & (I)result) | (~finite & (I)w));
}

// tanh(v / 2) = sign(v) (1 - u) / (1 + u) with u = e^-|v|; exactly +-1 for |v| >= 87 and NaN
// for NaN.
template <class V>
inline V half_tanh(V v) {
    using I = decltype(v < v);
    const I sign_bit = I{} + INT32_MIN;
    const V magnitude = (V)((I)v & ~sign_bit);
    const V z = -magnitude;
    const I floor = z < -87.0f;
    const V u = exp_nonpositive((V)((floor & (I)(V{} - 87.0f)) | (~floor & (I)z)));
    const V t = (1.0f - u) / (1.0f + u);
    return (V)((I)t | ((I)v & sign_bit));
}

// 2 atanh(y) = ln((1 + y) / (1 - y)), with y clamped to +-kLargestBelowOne so that the message
// stays finite (at most 17.33 in magnitude); NaN passes through.
template <class V>
inline V twice_atanh(V y) {
    using I = decltype(y < y);
    const V top = V{} + kLargestBelowOne;
    const I above = y > top;
    y = (V)((above & (I)top) | (~above & (I)y));
    const I below = y < -top;
    y = (V)((below & (I)-top) | (~below & (I)y));
    return log_positive((1.0f + y) / (1.0f - y));
}

}  // namespace kavro::fec::check_math
