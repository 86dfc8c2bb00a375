#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/ofdm_frame/offset_records.hpp"
#include "sync/ofdm_sync.hpp"

// The kernel of the streaming preamble search: the repeated-segment correlation of the preamble
// (the same per-offset P and E as ofdm_sync) and each offset's score over a block of start
// offsets, and a quick probe that tells whether a block can hold a preamble at all. It reads a
// block's samples from a pointer and keeps only scratch, so it knows nothing of the stream around
// the block.
//
// An offset is judged on the samples a frame starting there would bring: with E the energy of the
// segments 1 .. M-1 and E_lead that of the segments 0 .. M-2 that lead them, its score is the
// coherence |P|²/(E·E_lead), at most 1 (Cauchy–Schwarz) and about 1/((M-1)·R) for samples that do
// not repeat, so that strong samples followed by weak ones (the end of a burst or of a frame) do
// not score. An offset is marked as not framed where what surrounds a preamble is missing: where the repetition
// runs on into the two segments before the offset or the two after its segments (a tone or any
// signal of period R matches itself at every lag, so it scores everywhere but starts and ends
// nowhere), and
// where the training symbol's cyclic prefix does not correlate with its copy (noise that happens to
// repeat over a short preamble rarely does both).
//
// Samples that are not finite count as zero in the segment sums. The sums of an offset whose
// samples all lie within 2^±40 (or are zero) are formed in single precision, those of an offset
// with a sample beyond that range in double, so that no amplitude the stream can carry overflows
// or vanishes; sums beyond single precision in either check leave the offset's score as it is.
// Either way an offset's record depends on the stream's samples alone, not on the block it was
// scanned in.

namespace kavro {

class PreambleScan {
public:
    explicit PreambleScan(const PreambleParams& preamble);

    // Fills the records of the `count` offsets from `in`, whose samples run at least count + W - 1
    // on and `before` (at most 2R) samples back; samples further back count as zero.
    void scan(const Complex* in, std::size_t before, std::size_t count, std::span<OffsetRecord> out);

    // Whether some offset of the block may start a preamble: false only when the metric at every
    // half-segment step stays well below any preamble's (it reads no further than scan). Without
    // half-segment steps (R odd or below 4) every block may.
    bool may_hold_preamble(const Complex* in, std::size_t count);

private:
    // Marks as not framed the offsets scoring at least a quarter whose repetition runs on past
    // their segments or that lack a training prefix (checked in that order, the cheapest first); `in`
    // has `history` samples before it, re/im hold the R samples before the block, then the
    // block's samples, t_* the sums from x = -R on.
    void drop_unframed(const Complex* in, std::size_t history, const float* re, const float* im, const float* t_re,
                       const float* t_im, const float* t_energy, std::size_t count,
                       std::span<OffsetRecord> out) const;
    // Re-forms in double the records of the offsets whose samples leave the single-precision
    // range; re/im hold R zeros, then the block's samples.
    void rescan_wide(const float* re, const float* im, std::size_t count, std::span<OffsetRecord> out);
    // The records of offsets [lo, hi), formed in double.
    void scan_wide(const float* re, const float* im, std::size_t lo, std::size_t hi, std::span<OffsetRecord> out);

    std::size_t r_;       // R
    std::size_t pairs_;   // M - 1
    std::size_t preamble_len_, n_fft_, cp_len_;  // M·R, N, C
    bool after_pair_fits_;  // the two segments after the preamble lie within its span W
    std::size_t stride_;  // the probe's offset step
    std::vector<float> scan_work_, probe_work_;
    std::vector<double> wide_work_;
};

}  // namespace kavro
