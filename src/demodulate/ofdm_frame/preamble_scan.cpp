#include "demodulate/ofdm_frame/preamble_scan.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "sync/correlation_sums.hpp"
#include "sync/grid_lag_sums.hpp"

namespace kavro {

namespace {

// Inside a frame's body a block of offsets is searched in full only when the metric at every
// half-segment step reaches this somewhere in it: a preamble start lies within half a segment of
// such a step, where the metric loses at most a sixth of its coherent terms (with the default four
// segments) and stays well above this at any SNR the frame could be decoded at.
constexpr double probe_threshold = 0.2;
// Energies the probe judges: further out its single-precision sums may have overflowed or lost
// their digits (a zero one may hold samples too small to square), and the block is searched in full.
constexpr double probe_lowest = 0x1p-100;
constexpr double probe_highest = 0x1p120;

// Offsets scoring below this neither start a frame nor hold up the search past a failed one, so
// only those above it are checked for a preamble's start and training symbol (the others count
// as framed, which does not matter for them).
constexpr float checked_floor = 0.25f;
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
// any of them lies outside the single-precision range.
bool copy_samples(const Complex* in, std::size_t samples, float* re, float* im) {
    std::uint32_t most = 0, least = ~0u;  // least holds the smallest nonzero magnitude less one
    for (std::size_t i = 0; i < samples; ++i) {
        const std::uint32_t br = std::bit_cast<std::uint32_t>(in[i].re) & magnitude_mask;
        const std::uint32_t bi = std::bit_cast<std::uint32_t>(in[i].im) & magnitude_mask;
        const bool finite = br < infinity_bits && bi < infinity_bits;
        re[i] = finite ? in[i].re : 0.0f;
        im[i] = finite ? in[i].im : 0.0f;
        const std::uint32_t largest = finite ? std::max(br, bi) : 0u;
        most = std::max(most, largest);
        least = std::min(least, largest - 1u);  // a zero sample wraps to the top
    }
    return most > narrow_highest || least < narrow_lowest - 1u;
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

// |Σ conj(a[n])·b[n]|² over len samples and the energies of a and b, in double.
struct LagSums {
    double cross = 0.0, first_energy = 0.0, second_energy = 0.0;
};

LagSums lag_sums(const Complex* a, const Complex* b, std::size_t len) {
    double re = 0.0, im = 0.0;
    LagSums sums;
    for (std::size_t n = 0; n < len; ++n) {
        re += double{a[n].re} * b[n].re + double{a[n].im} * b[n].im;
        im += double{a[n].re} * b[n].im - double{a[n].im} * b[n].re;
        sums.first_energy += double{a[n].re} * a[n].re + double{a[n].im} * a[n].im;
        sums.second_energy += double{b[n].re} * b[n].re + double{b[n].im} * b[n].im;
    }
    sums.cross = re * re + im * im;
    return sums;
}

double square(float re, float im) { return double{re} * re + double{im} * im; }

// Whether a pair of segments correlates (coherence |T|²/(E_a·E_b)) more than `bound`; sums that
// left double precision do not.
bool repeats(const LagSums& pair, double bound) { return pair.cross > bound * pair.first_energy * pair.second_energy; }

// Whether the metric at some grid point j in [0, offsets) comes near a preamble's, from the segment
// sums at the grid points (`step` of them per segment).
bool grid_comes_near(const float* t_re, const float* t_im, const float* t_energy, std::size_t offsets,
                     std::size_t pairs, std::size_t step) {
    for (std::size_t j = 0; j < offsets; ++j) {
        float re = 0.0f, im = 0.0f, energy = 0.0f;
        for (std::size_t m = 0; m < pairs; ++m) {
            re = re + t_re[j + m * step];
            im = im + t_im[j + m * step];
            energy = energy + t_energy[j + m * step];
        }
        // Sums that left single precision, through samples that are not finite or far from unit
        // scale, cannot be judged here: such a block is searched in full.
        const double e = energy;
        if (!(e >= probe_lowest && e <= probe_highest) ||
            static_cast<double>(re) * re + static_cast<double>(im) * im >= probe_threshold * e * e)
            return true;
    }
    return false;
}

}  // namespace

PreambleScan::PreambleScan(const PreambleParams& preamble)
    : r_(preamble.repeat_len),
      pairs_(preamble.num_repeats - 1),
      preamble_len_(preamble.num_repeats * preamble.repeat_len),
      n_fft_(preamble.training ? preamble.training->n_fft : 0),
      cp_len_(preamble.training ? preamble.training->cp_len : 0),
      after_pair_fits_(n_fft_ + cp_len_ >= 2 * r_),
      stride_(preamble.repeat_len % 2 == 0 && preamble.repeat_len >= 4 ? preamble.repeat_len / 2 : 1) {}

void PreambleScan::scan(const Complex* in, std::size_t before, std::size_t count, std::span<OffsetRecord> out) {
    const std::size_t r = r_;
    // Segment sums from x = -R on, over the R samples before the block (zeros where the stream has
    // none) and the block's samples: the totals at index j are those of offset j - R, whose energy
    // is that of the segments leading offset j, and the sum at index j pairs the segment before
    // offset j with its first one.
    const std::size_t sums = count + pairs_ * r;
    const std::size_t held = sums + 2 * r - 1;
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
    const bool wide = copy_samples(in - near, held - (r - near), re + (r - near), im + (r - near));
    segment_sums(re, im, r, sums, t_re, t_im, t_energy);
    pair_totals(t_re, t_im, t_energy, r, pairs_, totals, p_re, p_im, energy, ratio);
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t k = j + r;
        const float metric = uncapped_metric(p_re[k], p_im[k], energy[k], ratio[k]);
        out[j] = {p_re[k], p_im[k], energy[k], metric * (energy[k] / energy[j]), 0, true};
    }
    if (wide) rescan_wide(re, im, count, out);
    drop_unframed(in, before, re, im, t_re, t_im, t_energy, count, out);
}

void PreambleScan::drop_unframed(const Complex* in, std::size_t history, const float* re, const float* im,
                                 const float* t_re, const float* t_im, const float* t_energy, std::size_t count,
                                 std::span<OffsetRecord> out) const {
    const std::size_t r = r_;
    for (std::size_t j = 0; j < count; ++j) {
        const double score = out[j].score;
        if (!(score >= checked_floor)) continue;
        const double bound = sharpness * score;
        // The cheapest check first, from the segment sums: the segment before offset j against its
        // first one is the sum at j, the segment before it against that one the sum at j - R.
        double before_energy = 0.0;
        if (j >= r) {
            before_energy = t_energy[j - r];
        } else {
            for (std::size_t n = j; n < j + r; ++n) before_energy += double{re[n]} * re[n] + double{im[n]} * im[n];
        }
        const LagSums into{square(t_re[j], t_im[j]), before_energy, t_energy[j]};
        bool repeats_into = repeats(into, score);
        if (!repeats_into && repeats(into, bound)) {
            if (j >= 2 * r) {
                repeats_into = repeats({square(t_re[j - r], t_im[j - r]), t_energy[j - 2 * r], before_energy}, bound);
            } else {
                // Near the stream's start the segment two before may be missing: then it does not repeat.
                repeats_into = j + history >= 2 * r && repeats(lag_sums(in + j - 2 * r, in + j - r, r), bound);
            }
        }
        bool repeats_on = false;
        if (!repeats_into) {
            const Complex* last = in + j + pairs_ * r;
            const LagSums on = lag_sums(last, last + r, r);
            repeats_on = repeats(on, score) ||
                         (repeats(on, bound) && (!after_pair_fits_ || repeats(lag_sums(last + r, last + 2 * r, r), bound)));
        }
        bool framed = !repeats_into && !repeats_on;
        if (framed && cp_len_ > 0) {
            const Complex* prefix = in + j + preamble_len_;
            const LagSums training = lag_sums(prefix, prefix + n_fft_, cp_len_);
            framed = !(training.cross < prefix_floor * training.first_energy * training.second_energy);
        }
        out[j].framed = framed;
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

bool PreambleScan::may_hold_preamble(const Complex* in, std::size_t count) {
    if (stride_ <= 1) return true;
    const std::size_t r = r_;
    const std::size_t pairs = pairs_;
    const std::size_t stride = stride_;
    const std::size_t step = r / stride;  // grid points per segment
    const std::size_t offsets = (count - 1) / stride + 1;
    const std::size_t points = offsets + (pairs - 1) * step;
    // Segment sums at the grid points, each the sum of two half-segment sums (the stride is half a
    // segment), so every half is formed once.
    probe_work_.resize(3 * (points + 1) + 3 * points);
    float* h_re = probe_work_.data();
    float* h_im = h_re + points + 1;
    float* h_energy = h_im + points + 1;
    float* t_re = h_energy + points + 1;
    float* t_im = t_re + points;
    float* t_energy = t_im + points;
    grid_lag_sums(in, r, stride, stride, points + 1, h_re, h_im, h_energy);
    for (std::size_t k = 0; k < points; ++k) {
        t_re[k] = h_re[k] + h_re[k + 1];
        t_im[k] = h_im[k] + h_im[k + 1];
        t_energy[k] = h_energy[k] + h_energy[k + 1];
    }
    return grid_comes_near(t_re, t_im, t_energy, offsets, pairs, step);
}

}  // namespace kavro
