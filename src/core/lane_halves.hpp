#pragma once

#include <cstdint>

// Eight lanes held as two four-lane GCC vectors, for the portable build of a kernel written on
// eight-lane vectors: the baseline instruction set has 16-byte registers, and GCC compares and
// selects a 32-byte vector one element at a time, but two 16-byte halves with SSE instructions.
// Every operator applies to both halves, so a kernel written on GCC's vector operators compiles
// for either type and gives the same bits. Conversions and selects, which GCC spells with
// builtins or `?:`, go through convert_lanes and choose_lanes, defined for both kinds.

namespace kavro {

template <class Half>
struct LaneHalves {
    using Scalar = decltype(Half{}[0] + 0);
    using Mask = LaneHalves<decltype(Half{} < Half{})>;

    Half lo{}, hi{};

    LaneHalves() = default;
    [[gnu::always_inline]] LaneHalves(Half l, Half h) : lo(l), hi(h) {}
    // The bits reinterpreted, as a cast between GCC vectors of one size does.
    template <class Other>
    [[gnu::always_inline]] explicit LaneHalves(LaneHalves<Other> x) : lo((Half)x.lo), hi((Half)x.hi) {}

#define KAVRO_LANE_HALVES_OP(op)                                                                                   \
    [[gnu::always_inline]] friend LaneHalves operator op(LaneHalves a, LaneHalves b) {                             \
        return {a.lo op b.lo, a.hi op b.hi};                                                                       \
    }                                                                                                              \
    [[gnu::always_inline]] friend LaneHalves operator op(LaneHalves a, Scalar s) { return {a.lo op s, a.hi op s}; } \
    [[gnu::always_inline]] friend LaneHalves operator op(Scalar s, LaneHalves a) { return {s op a.lo, s op a.hi}; } \
    [[gnu::always_inline]] LaneHalves& operator op##=(LaneHalves b) { return *this = *this op b; }
    KAVRO_LANE_HALVES_OP(+)
    KAVRO_LANE_HALVES_OP(-)
    KAVRO_LANE_HALVES_OP(*)
    KAVRO_LANE_HALVES_OP(/)
    KAVRO_LANE_HALVES_OP(&)
    KAVRO_LANE_HALVES_OP(|)
    KAVRO_LANE_HALVES_OP(^)
#undef KAVRO_LANE_HALVES_OP

#define KAVRO_LANE_HALVES_COMPARE(op)                                                                              \
    [[gnu::always_inline]] friend Mask operator op(LaneHalves a, LaneHalves b) {                                   \
        return {a.lo op b.lo, a.hi op b.hi};                                                                       \
    }                                                                                                              \
    [[gnu::always_inline]] friend Mask operator op(LaneHalves a, Scalar s) { return {a.lo op s, a.hi op s}; }
    KAVRO_LANE_HALVES_COMPARE(<)
    KAVRO_LANE_HALVES_COMPARE(<=)
    KAVRO_LANE_HALVES_COMPARE(>)
    KAVRO_LANE_HALVES_COMPARE(==)
#undef KAVRO_LANE_HALVES_COMPARE

    [[gnu::always_inline]] friend LaneHalves operator~(LaneHalves a) { return {~a.lo, ~a.hi}; }
    [[gnu::always_inline]] friend LaneHalves operator<<(LaneHalves a, int n) { return {a.lo << n, a.hi << n}; }
    [[gnu::always_inline]] friend LaneHalves operator>>(LaneHalves a, int n) { return {a.lo >> n, a.hi >> n}; }
};

// Lane-by-lane value conversion (float to integer truncates, as the builtin does).
template <class To, class From>
[[gnu::always_inline]] inline To convert_lanes(From x) {
    return __builtin_convertvector(x, To);
}
template <class To, class From>
[[gnu::always_inline]] inline To convert_lanes(LaneHalves<From> x) {
    using Half = decltype(To{}.lo);
    return {__builtin_convertvector(x.lo, Half), __builtin_convertvector(x.hi, Half)};
}

// x in the lanes where mask is set, y elsewhere.
template <class Mask, class V>
[[gnu::always_inline]] inline V choose_lanes(Mask mask, V x, V y) {
    return mask ? x : y;
}
template <class MaskHalf, class Half>
[[gnu::always_inline]] inline LaneHalves<Half> choose_lanes(LaneHalves<MaskHalf> mask, LaneHalves<Half> x,
                                                             LaneHalves<Half> y) {
    return {mask.lo ? x.lo : y.lo, mask.hi ? x.hi : y.hi};
}

}  // namespace kavro
