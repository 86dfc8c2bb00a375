#include "demodulate/ofdm_frame/preamble_scan.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "sync/correlation_sums.hpp"
#include "sync/impulse_screen.hpp"

namespace kavro {

namespace {

// Inside a pending frame's body a block of offsets is searched in full only when the metric at
// every half-segment step reaches this somewhere in it: a preamble start lies within half a segment
// of such a step, where the metric loses at most a sixth of its coherent terms (with the default
// four segments) and stays well above this at any SNR the frame could be decoded at.
constexpr double probe_threshold = 0.2;

// A sample whose power is more than this many times the combined power of the one segment of
// samples after it is an impulse, and the search leaves it out. Within a repeated segment the
// stretch after a sample holds that sample again one period later, so no sample there stands above
// it; noise stands that far above its next 16 samples with a probability of 3^-16. A frame sample
// left out (the odd peak of a body symbol) costs the search one term of its sums.
constexpr float impulse_ratio = 2.0f;
// Only powers from here up are judged: clear of the subnormal range, so that the judgement is
// exact, and at least 2^40 below the largest sample's, which the copy keeps within 2^±80 of 1.
constexpr float impulse_floor = 0x1p-120f;
// Each round of the screen removes the impulses it sees and scales again: the first round sees the
// impulse that set the scale, the next the samples that scale had pushed below the floor.
constexpr int impulse_rounds = 3;

// Copies count samples, split into re/im, for the search, with impulses and samples that are not
// finite made zero, followed by `after` samples more that only judge the last ones (and are not
// themselves judged). Samples whose largest component lies within 2^±40 are searched as they are:
// their sums cannot leave single precision. Others are scaled by a power of two (exactly) that
// brings the largest component near 1; the exponent is returned so that the sums can carry it back.
int copy_for_search(const Complex* in, std::size_t count, std::size_t after, float* re, float* im,
                    const std::vector<std::size_t>& blanked) {
    const auto finite = [](float v) { return (std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu) < 0x7F800000u; };
    for (std::size_t i = 0; i < count + after; ++i) {
        const bool kept = finite(in[i].re) && finite(in[i].im);
        re[i] = kept ? in[i].re : 0.0f;
        im[i] = kept ? in[i].im : 0.0f;
    }
    for (const std::size_t i : blanked) re[i] = im[i] = 0.0f;
    // The magnitude bits of a finite float order as its absolute value.
    std::uint32_t most = 0;
    for (std::size_t i = 0; i < count; ++i)
        most = std::max({most, std::bit_cast<std::uint32_t>(re[i]) & 0x7FFFFFFFu,
                         std::bit_cast<std::uint32_t>(im[i]) & 0x7FFFFFFFu});
    const float largest = std::bit_cast<float>(most);
    if (largest == 0.0f || (largest >= 0x1p-40f && largest <= 0x1p40f)) return 0;
    const int exponent = std::ilogb(largest);
    const float scale = std::ldexp(1.0f, -exponent);
    for (std::size_t i = 0; i < count + after; ++i) {
        re[i] *= scale;
        im[i] *= scale;
    }
    return exponent;
}

// Whether the metric at some grid point j in [0, offsets) comes near a preamble's, from the segment
// sums at the grid points (`step` of them per segment).
bool grid_comes_near(const float* t_re, const float* t_im, const float* t_energy, std::size_t offsets,
                     std::size_t pairs, std::size_t step) {
    for (std::size_t j = 0; j < offsets; ++j) {
        double re = 0.0, im = 0.0, energy = 0.0;
        for (std::size_t m = 0; m < pairs; ++m) {
            re += t_re[j + m * step];
            im += t_im[j + m * step];
            energy += t_energy[j + m * step];
        }
        // Sums beyond single precision cannot be judged here: such a block is searched in full.
        if (!std::isfinite(energy) || (energy > 0.0 && re * re + im * im >= probe_threshold * energy * energy)) return true;
    }
    return false;
}

}  // namespace

PreambleScan::PreambleScan(const PreambleParams& preamble, std::size_t reach)
    : r_(preamble.repeat_len),
      pairs_(preamble.num_repeats - 1),
      impulse_span_(std::min(preamble.repeat_len, reach)),
      stride_(preamble.repeat_len % 2 == 0 && preamble.repeat_len >= 4 ? preamble.repeat_len / 2 : 1) {}

int PreambleScan::load(const Complex* in, std::size_t count, float* re, float* im) {
    const std::size_t after = impulse_span_;
    impulse_power_.resize(count + after);
    blanked_.clear();
    int exponent = copy_for_search(in, count, after, re, im, blanked_);
    for (int round = 0; round < impulse_rounds; ++round) {
        if (count_impulses(re, im, count, after, impulse_ratio, impulse_floor, impulse_power_.data()) == 0) break;
        for (std::size_t x = 0; x < count; ++x) {
            if (is_impulse(impulse_power_.data(), x, after, impulse_ratio, impulse_floor)) blanked_.push_back(x);
        }
        exponent = copy_for_search(in, count, after, re, im, blanked_);
    }
    return exponent;
}

int PreambleScan::scan(const Complex* in, std::size_t count, std::span<OffsetRecord> out) {
    const std::size_t r = r_;
    const std::size_t sums = count + (pairs_ - 1) * r;  // with the segment sums beyond the last offset
    const std::size_t samples = sums + 2 * r - 1;
    const std::size_t copied = samples + impulse_span_;
    scan_work_.resize(2 * copied + 3 * sums + 4 * count);
    float* re = scan_work_.data();
    float* im = re + copied;
    float* t_re = im + copied;
    float* t_im = t_re + sums;
    float* t_energy = t_im + sums;
    float* p_re = t_energy + sums;
    float* p_im = p_re + count;
    float* energy = p_im + count;
    float* ratio = energy + count;
    const int exponent = 2 * load(in, samples, re, im);
    segment_sums(re, im, r, sums, t_re, t_im, t_energy);
    pair_totals(t_re, t_im, t_energy, r, pairs_, count, p_re, p_im, energy, ratio);
    for (std::size_t j = 0; j < count; ++j)
        out[j] = {p_re[j], p_im[j], energy[j], correlation_metric(p_re[j], p_im[j], energy[j], ratio[j]), NAN, exponent};
    return exponent;
}

bool PreambleScan::may_hold_preamble(const Complex* in, std::size_t count) {
    if (stride_ <= 1) return true;
    const std::size_t r = r_;
    const std::size_t pairs = pairs_;
    const std::size_t stride = stride_;
    const std::size_t step = r / stride;  // grid points per segment
    const std::size_t offsets = (count - 1) / stride + 1;
    const std::size_t points = offsets + (pairs - 1) * step;
    // Segment sums at the grid points, each the sum of two half-segment sums (the stride is half
    // a segment), so every half is formed once.
    const std::size_t samples = (points + 1) * stride + r;
    const std::size_t copied = samples + impulse_span_;
    probe_work_.resize(2 * copied + 3 * (points + 1) + 3 * points);
    float* s_re = probe_work_.data();
    float* s_im = s_re + copied;
    float* h_re = s_im + copied;
    float* h_im = h_re + points + 1;
    float* h_energy = h_im + points + 1;
    float* t_re = h_energy + points + 1;
    float* t_im = t_re + points;
    float* t_energy = t_im + points;
    load(in, samples, s_re, s_im);
    for (std::size_t k = 0; k <= points; ++k) {
        const float* a_re = s_re + k * stride;
        const float* a_im = s_im + k * stride;
        float re = 0.0f, im = 0.0f, energy = 0.0f;
        for (std::size_t n = 0; n < stride; ++n) {
            const float xr = a_re[n], xi = a_im[n], yr = a_re[n + r], yi = a_im[n + r];
            re = re + (xr * yr + xi * yi);
            im = im + (xr * yi - xi * yr);
            energy = energy + (yr * yr + yi * yi);
        }
        h_re[k] = re;
        h_im[k] = im;
        h_energy[k] = energy;
    }
    for (std::size_t k = 0; k < points; ++k) {
        t_re[k] = h_re[k] + h_re[k + 1];
        t_im[k] = h_im[k] + h_im[k + 1];
        t_energy[k] = h_energy[k] + h_energy[k + 1];
    }
    return grid_comes_near(t_re, t_im, t_energy, offsets, pairs, step);
}

}  // namespace kavro
