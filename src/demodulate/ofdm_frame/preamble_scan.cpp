#include "demodulate/ofdm_frame/preamble_scan.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/lanes.hpp"
#include "sync/correlation_sums.hpp"
#include "sync/grid_lag_sums.hpp"

namespace kavro {

namespace {

// Inside a frame's body only the offsets near a grid point whose coherence reaches this are
// searched in full. The grid steps a segment with three pairs of segments or more (a preamble start
// lies within half a segment of a grid point, where five sixths of its coherent terms remain), half
// a segment with fewer (a quarter segment: three quarters remain with two segments), so that the
// coherence there stays well above this at any SNR the frame could be decoded at.
constexpr double probe_threshold = 0.2;
// Energies the probe judges: further out its single-precision sums may have overflowed or lost
// their digits (a zero one may hold samples too small to square), and the offsets around them are
// searched in full.
constexpr double probe_lowest = 0x1p-100;
constexpr double probe_highest = 0x1p120;

// A preamble starts and ends sharply: its repetition does not run on past its segments. It runs on
// into the segment before when that pair correlates (coherence |T|²/(E_a·E_b)) better than the
// offset's own segments do, or when it and the pair before it both correlate more than 0.35 times
// as well; likewise into the segments after. A tone, or any signal of period R, repeats everywhere:
// inside it, and where it starts or ends, one side runs on. Beside a tone in noise, where every
// pair correlates a little, the low bound keeps the offsets that noise lifts to the threshold from
// starting attempts; asking two pairs for it keeps a frame whose first segment happens to match
// the data before it.
constexpr double sharpness = 0.35;
// The training symbol's cyclic prefix correlates with its copy N samples on: an offset whose
// prefix coherence falls below this holds no frame. Noise passes it rarely, so that short
// preambles in noise start few attempts, while a preamble at any SNR a header decodes at passes.
constexpr double prefix_floor = 0.25;

// Samples whose largest component lies within [2^-40, 2^40], or is zero, are summed in single
// precision: their products stay normal and their sums finite. The magnitude bits of a finite
// float order as its absolute value.
constexpr std::uint32_t magnitude_mask = 0x7FFFFFFFu;
constexpr std::uint32_t infinity_bits = 0x7F800000u;
constexpr std::uint32_t narrow_lowest = std::bit_cast<std::uint32_t>(0x1p-40f);
constexpr std::uint32_t narrow_highest = std::bit_cast<std::uint32_t>(0x1p40f);

std::uint32_t largest_component_bits(float re, float im) {
    return std::max(std::bit_cast<std::uint32_t>(re) & magnitude_mask, std::bit_cast<std::uint32_t>(im) & magnitude_mask);
}

bool narrow(std::uint32_t bits) { return bits == 0 || (bits >= narrow_lowest && bits <= narrow_highest); }

// Copies `samples` samples into re/im with those that are not finite made zero, and tells whether
// any of them lies outside the single-precision range. Four samples at a time, in two vectors of
// interleaved components: each lane is paired with its sample's other component by swapping
// neighbours.
bool copy_samples(const Complex* in, std::size_t samples, float* re, float* im, SimdLevel level) {
    return with_simd_level(level, [&] [[gnu::always_inline]] {
        using L = Lanes<4>;
        // Held here, so that the stores cannot be taken to change them.
        const Complex* const from = in;
        float* const to_re = re;
        float* const to_im = im;
        const std::size_t count = samples;
        const L::Ints swap = {1, 0, 3, 2}, even = {0, 2, 4, 6}, odd = {1, 3, 5, 7};
        const auto lowest = static_cast<std::int32_t>(narrow_lowest), highest = static_cast<std::int32_t>(narrow_highest);
        L::Ints outside{};
        // The samples of v with those not finite made zero; outside marks the lanes beyond range.
        const auto kept = [&] [[gnu::always_inline]] (L::Floats v) {
            const L::Ints bits = (L::Ints)v & static_cast<std::int32_t>(magnitude_mask);
            const L::Ints finite_component = bits < static_cast<std::int32_t>(infinity_bits);
            const L::Ints finite = finite_component & __builtin_shuffle(finite_component, swap);
            const L::Ints own = bits & finite, other = __builtin_shuffle(own, swap);
            const L::Ints largest = own > other ? own : other;
            outside |= (largest > highest) | ((largest < lowest) & (largest != 0));
            return (L::Floats)((L::Ints)v & finite);
        };
        std::size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const L::Floats first = kept(L::load(&from[i].re)), second = kept(L::load(&from[i + 2].re));
            L::store(to_re + i, __builtin_shuffle(first, second, even));
            L::store(to_im + i, __builtin_shuffle(first, second, odd));
        }
        bool wide = L::count_set(outside != 0) > 0;
        for (; i < count; ++i) {
            const std::uint32_t br = std::bit_cast<std::uint32_t>(from[i].re) & magnitude_mask;
            const std::uint32_t bi = std::bit_cast<std::uint32_t>(from[i].im) & magnitude_mask;
            const bool finite = br < infinity_bits && bi < infinity_bits;
            to_re[i] = finite ? from[i].re : 0.0f;
            to_im[i] = finite ? from[i].im : 0.0f;
            wide = wide || !narrow(finite ? std::max(br, bi) : 0u);
        }
        return wide;
    });
}

// |P|²/E² from the single-precision ratio, formed in double when E² leaves the normal range, or NaN
// without segment energy (ofdm_sync's metric, not capped at 1).
float uncapped_metric(float p_re, float p_im, float energy, float ratio) {
    if (!(energy > 0.0f)) return NAN;
    const float squared = energy * energy;
    if (!std::isinf(squared) && squared >= 0x1p-126f) return ratio;
    const double num = static_cast<double>(p_re) * p_re + static_cast<double>(p_im) * p_im;
    return static_cast<float>(num / (static_cast<double>(energy) * energy));
}

OffsetRecord wide_record(double p_re, double p_im, double energy, double lead_energy) {
    if (!(energy > 0.0)) return {0.0f, 0.0f, 0.0f, NAN, 0, true};
    const double coherence = (p_re * p_re + p_im * p_im) / (energy * lead_energy);
    const int exponent = std::ilogb(std::max({energy, std::abs(p_re), std::abs(p_im)}));
    return {static_cast<float>(std::ldexp(p_re, -exponent)), static_cast<float>(std::ldexp(p_im, -exponent)),
            static_cast<float>(std::ldexp(energy, -exponent)), static_cast<float>(coherence), exponent, true};
}

// |Σ conj(a[n])·b[n]|² over len samples and the energies of a and b, in double, with a[n] the
// sample `sample(n)` and b[n] the sample `sample(n + lag)`.
struct LagSums {
    double cross = 0.0, first_energy = 0.0, second_energy = 0.0;
};

template <class Sample>
LagSums lag_sums(const Sample& sample, std::size_t lag, std::size_t len) {
    double re = 0.0, im = 0.0;
    LagSums sums;
    for (std::size_t n = 0; n < len; ++n) {
        const Complex a = sample(n), b = sample(n + lag);
        re += double{a.re} * b.re + double{a.im} * b.im;
        im += double{a.re} * b.im - double{a.im} * b.re;
        sums.first_energy += double{a.re} * a.re + double{a.im} * a.im;
        sums.second_energy += double{b.re} * b.re + double{b.im} * b.im;
    }
    sums.cross = re * re + im * im;
    return sums;
}

double square(float re, float im) { return double{re} * re + double{im} * im; }

// Whether a pair of segments correlates (coherence |T|²/(E_a·E_b)) more than `bound`; sums that
// left double precision do not.
bool repeats(const LagSums& pair, double bound) { return pair.cross > bound * pair.first_energy * pair.second_energy; }

// Whether the coherence |P|²/(E·E_lead) of a grid point comes near a preamble's. Sums that left
// single precision, through samples that are not finite or far from unit scale, cannot be judged
// here: the offsets around them are searched in full.
bool comes_near(float p_re, float p_im, float energy, float lead_energy) {
    const double e = energy, lead = lead_energy;
    return !(e >= probe_lowest && e <= probe_highest && lead >= probe_lowest && lead <= probe_highest) ||
           static_cast<double>(p_re) * p_re + static_cast<double>(p_im) * p_im >= probe_threshold * e * lead;
}

}  // namespace

struct PreambleScan::Block {
    const Complex* in;  // the block's first sample, with `history` samples before it
    std::size_t history;
    bool wide;             // some sample lies outside the single-precision range
    const float* re;       // the samples from R before the block, those not finite made zero
    const float* im;
    const float* t_re;     // the segment sums from x = -R on
    const float* t_im;
    const float* t_energy;
    std::size_t r;

    // The segment before offset x against the one at x, from the segment sums, or in double.
    LagSums pair(std::size_t x) const { return {square(t_re[x], t_im[x]), t_energy[x - r], t_energy[x]}; }
    LagSums pair_in_double(std::size_t x) const { return lag_sums_from(x, r, r); }
    // The samples from offset x - R on against those `lag` on, over len samples, in double.
    LagSums lag_sums_from(std::size_t x, std::size_t lag, std::size_t len) const {
        return lag_sums([&](std::size_t k) { return Complex{re[x + k], im[x + k]}; }, lag, len);
    }
};

PreambleScan::PreambleScan(const PreambleParams& preamble, SimdLevel level)
    : level_(level),
      r_(preamble.repeat_len),
      pairs_(preamble.num_repeats - 1),
      preamble_len_(preamble.num_repeats * preamble.repeat_len),
      n_fft_(preamble.training ? preamble.training->n_fft : 0),
      cp_len_(preamble.training ? preamble.training->cp_len : 0),
      after_pairs_(r_ > 0 ? std::min<std::size_t>(2, (n_fft_ + cp_len_) / r_) : 0),
      stride_(pairs_ >= 3 ? r_ : (r_ % 2 == 0 && r_ >= 4 ? r_ / 2 : 1)) {}

void PreambleScan::scan(const Complex* in, std::size_t before, std::size_t count, std::span<OffsetRecord> out) {
    const std::size_t r = r_;
    // Segment sums from x = -R on, over the R samples before the block (zeros where the stream has
    // none) and the block's samples: the totals at index j are those of offset j - R, whose energy
    // is that of the segments leading offset j, and the sum at index j pairs the segment before
    // offset j with its first one. The sums run on over the pairs after each offset's segments.
    const std::size_t sums = count + (pairs_ + after_pairs_) * r;
    // The samples held run over every offset's span W (the training symbol's among them).
    const std::size_t held = r + count + preamble_len_ + n_fft_ + cp_len_ - 1;
    const std::size_t totals = count + r;
    scan_work_.resize(2 * held + 3 * sums + 4 * totals);
    float* re = scan_work_.data();
    float* im = re + held;
    float* t_re = im + held;
    float* t_im = t_re + sums;
    float* t_energy = t_im + sums;
    float* p_re = t_energy + sums;
    float* p_im = p_re + totals;
    float* energy = p_im + totals;
    float* ratio = energy + totals;
    const std::size_t near = std::min(before, r);
    std::fill_n(re, r - near, 0.0f);
    std::fill_n(im, r - near, 0.0f);
    const bool wide = copy_samples(in - near, held - (r - near), re + (r - near), im + (r - near), level_);
    segment_sums(re, im, r, sums, t_re, t_im, t_energy, level_);
    pair_totals(t_re, t_im, t_energy, r, pairs_, totals, p_re, p_im, energy, ratio, level_);
    std::size_t lo = count, hi = 0;  // the offsets scoring at least the threshold lie in [lo, hi)
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t k = j + r;
        const float metric = uncapped_metric(p_re[k], p_im[k], energy[k], ratio[k]);
        out[j] = {p_re[k], p_im[k], energy[k], metric * (energy[k] / energy[j]), 0, true};
        if (!(out[j].score >= sync_threshold)) continue;
        lo = std::min(lo, j);
        hi = j + 1;
    }
    if (wide) {
        rescan_wide(re, im, count, out);
        lo = 0;
        hi = count;
    }
    drop_unframed({in, before, wide, re, im, t_re, t_im, t_energy, r}, lo, hi, out);
}

void PreambleScan::drop_unframed(const Block& block, std::size_t lo, std::size_t hi, std::span<OffsetRecord> out) {
    // The edge checks first, from the segment sums, then the training prefixes of the offsets that
    // pass them, which lie in [first, last).
    std::size_t first = hi, last = lo;
    for (std::size_t j = lo; j < hi; ++j) {
        const double score = out[j].score;
        if (!(score >= sync_threshold)) continue;
        out[j].framed = !repeats_into(block, j, score) && !runs_on(block, j, score);
        if (!out[j].framed) continue;
        first = std::min(first, j);
        last = j + 1;
    }
    if (cp_len_ > 0 && first < last) check_training_prefixes(block, first, last, out);
}

inline bool PreambleScan::repeats_into(const Block& block, std::size_t j, double score) const {
    const std::size_t r = r_;
    // The segment before offset j against its first one is the pair at j, the segment before it
    // against that one the pair at j - R.
    const LagSums into = block.wide || j < r ? block.pair_in_double(j) : block.pair(j);
    if (repeats(into, score)) return true;
    const double bound = sharpness * score;
    if (!repeats(into, bound)) return false;
    if (j >= 2 * r && !block.wide) return repeats(block.pair(j - r), bound);
    if (j >= r) return repeats(block.pair_in_double(j - r), bound);
    // Near the stream's start the segment two before may be missing: then it does not repeat.
    if (j + block.history < 2 * r) return false;
    const Complex* two_before = block.in + j - 2 * r;
    return repeats(lag_sums([&](std::size_t k) { return two_before[k]; }, r, r), bound);
}

inline bool PreambleScan::runs_on(const Block& block, std::size_t j, double score) const {
    if (after_pairs_ == 0) return false;
    const double bound = sharpness * score;
    // The pairs after offset j's segments.
    const std::size_t first = j + preamble_len_;
    const auto after = [&](std::size_t k) {
        return block.wide ? block.pair_in_double(first + k * r_) : block.pair(first + k * r_);
    };
    const LagSums on = after(0);
    if (repeats(on, score)) return true;
    return repeats(on, bound) && (after_pairs_ < 2 || repeats(after(1), bound));
}

void PreambleScan::check_training_prefixes(const Block& block, std::size_t lo, std::size_t hi,
                                           std::span<OffsetRecord> out) {
    // Over the offsets [lo, hi): each prefix against its copy N samples on and its own energy (its
    // sums at lag 0), in single precision where every sample of the block lies within its range.
    const std::size_t run = hi - lo;
    prefix_work_.resize(6 * run);
    float* cross_re = prefix_work_.data();
    float* cross_im = cross_re + run;
    float* copy_energy = cross_im + run;
    float* prefix_energy = copy_energy + run;
    if (!block.wide) {
        const float* re = block.re + r_ + lo + preamble_len_;
        const float* im = block.im + r_ + lo + preamble_len_;
        lagged_sums(re, im, n_fft_, cp_len_, run, cross_re, cross_im, copy_energy, level_);
        lagged_sums(re, im, 0, cp_len_, run, prefix_energy + run, prefix_energy + 2 * run, prefix_energy, level_);
    }
    for (std::size_t k = 0; k < run; ++k) {
        OffsetRecord& record = out[lo + k];
        if (!record.framed || !(record.score >= sync_threshold)) continue;
        const LagSums training = block.wide ? block.lag_sums_from(r_ + lo + k + preamble_len_, n_fft_, cp_len_)
                                            : LagSums{square(cross_re[k], cross_im[k]), prefix_energy[k], copy_energy[k]};
        record.framed = !(training.cross < prefix_floor * training.first_energy * training.second_energy);
    }
}

void PreambleScan::rescan_wide(const float* re, const float* im, std::size_t count, std::span<OffsetRecord> out) {
    // Offsets i + 1 - M·R ..= i correlate sample i; runs of such offsets are formed together.
    const std::size_t span = (pairs_ + 1) * r_;
    std::size_t lo = 0, hi = 0;
    for (std::size_t i = 0; i < count + span - 1; ++i) {
        if (narrow(largest_component_bits(re[r_ + i], im[r_ + i]))) continue;
        const std::size_t from = i + 1 >= span ? i + 1 - span : 0;
        if (from > hi) {
            scan_wide(re, im, lo, hi, out);
            lo = from;
        }
        hi = std::min(i + 1, count);
    }
    scan_wide(re, im, lo, hi, out);
}

void PreambleScan::scan_wide(const float* re, const float* im, std::size_t lo, std::size_t hi,
                             std::span<OffsetRecord> out) {
    if (lo >= hi) return;
    const std::size_t r = r_;
    const std::size_t pairs = pairs_;
    // Segment sums from x = lo - R on, each over re/im from index x + R.
    const std::size_t sums = hi - lo + pairs * r;
    wide_work_.resize(3 * sums);
    double* w_re = wide_work_.data();
    double* w_im = w_re + sums;
    double* w_energy = w_im + sums;
    for (std::size_t k = 0; k < sums; ++k) {
        const float* a_re = re + lo + k;
        const float* a_im = im + lo + k;
        double sum_re = 0.0, sum_im = 0.0, sum_energy = 0.0;
        for (std::size_t n = 0; n < r; ++n) {
            const double ar = a_re[n], ai = a_im[n], br = a_re[n + r], bi = a_im[n + r];
            sum_re += ar * br + ai * bi;
            sum_im += ar * bi - ai * br;
            sum_energy += br * br + bi * bi;
        }
        w_re[k] = sum_re;
        w_im[k] = sum_im;
        w_energy[k] = sum_energy;
    }
    for (std::size_t j = lo; j < hi; ++j) {
        const std::size_t k = j - lo;  // the sum at x = j - R
        double p_re = 0.0, p_im = 0.0, energy = 0.0, lead_energy = 0.0;
        for (std::size_t m = 0; m < pairs; ++m) {
            p_re += w_re[k + r + m * r];
            p_im += w_im[k + r + m * r];
            energy += w_energy[k + r + m * r];
            lead_energy += w_energy[k + m * r];
        }
        out[j] = wide_record(p_re, p_im, energy, lead_energy);
    }
}

PreambleScan::Reach PreambleScan::preamble_reach(const Complex* in, std::size_t before, std::size_t count) {
    if (stride_ <= 1 || before < r_) return {0, count};
    const std::size_t r = r_;
    const std::size_t stride = stride_;
    const std::size_t step = r / stride;  // grid points per segment
    const std::size_t offsets = (count - 1) / stride + 1;
    // Sums over one stride at the grid points from one segment before the block on: the totals of
    // the (M - 1)·step in a row from j + step are P and E of offset j, the energy of those from j
    // that of the segments leading it.
    const std::size_t terms = pairs_ * step;
    const std::size_t totals = offsets + step;
    const std::size_t points = totals + terms - 1;
    probe_work_.resize(3 * points + 4 * totals);
    float* h_re = probe_work_.data();
    float* h_im = h_re + points;
    float* h_energy = h_im + points;
    float* p_re = h_energy + points;
    float* p_im = p_re + totals;
    float* energy = p_im + totals;
    float* ratio = energy + totals;
    grid_lag_sums(in - r, r, stride, stride, points, h_re, h_im, h_energy, level_);
    pair_totals(h_re, h_im, h_energy, 1, terms, totals, p_re, p_im, energy, ratio, level_);
    // A preamble start lies within half a stride of a grid point that comes near; a segment either
    // side of the first and last such points is searched.
    std::size_t first = offsets, last = 0;
    for (std::size_t j = 0; j < offsets; ++j) {
        if (!comes_near(p_re[j + step], p_im[j + step], energy[j + step], energy[j])) continue;
        first = std::min(first, j);
        last = j;
    }
    if (first == offsets) return {0, 0};
    return {first * stride - std::min(first * stride, r), std::min(count, last * stride + r + 1)};
}

}  // namespace kavro
