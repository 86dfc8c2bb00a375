#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/ofdm_frame/offset_records.hpp"
#include "sync/ofdm_sync.hpp"

// The kernel of the streaming preamble search: the repeated-segment correlation of the preamble
// (the same per-offset P and E as ofdm_sync) and each offset's score and coherence over a block of
// start offsets, and a quick probe that tells whether a block can hold a preamble at all. It reads
// a block's samples from a pointer and keeps only scratch, so it knows nothing of the stream around
// the block.
//
// An offset is judged on the M·R samples it correlates and on nothing else, so that nothing outside
// a frame's preamble can hide it. With E the energy of the segments 1 .. M-1 and E_lead that of the
// segments 0 .. M-2 that lead them, its score is the metric |P|²/E² times min(1, 2·E/E_lead).
// Strong samples followed by weak ones (the end of a burst or of a frame, a header's fill) make
// |P|² large against E², but |P|² ≤ E·E_lead (Cauchy–Schwarz), so their score stays below
// 2·|P|²/(E·E_lead), about 2/((M-1)·R) for samples that do not repeat; a preamble's segments carry
// equal energy and lose nothing. Its coherence |P|²/(E·E_lead), at most 1, places a preamble among
// the offsets that score: it peaks where the segments line up, while the metric alone can still
// rise as the last segment runs into the weaker training symbol.
//
// Samples that are not finite count as zero. The sums of an offset whose samples all lie within
// 2^±40 (or are zero) are formed in single precision, those of an offset with a sample beyond that
// range in double, so that no amplitude the stream can carry overflows or vanishes. Either way an
// offset's record depends on its own samples alone, not on the block it was scanned in.

namespace kavro {

class PreambleScan {
public:
    explicit PreambleScan(const PreambleParams& preamble);

    // Fills the records of the `count` offsets from `in`, whose samples run at least
    // count + M·R - 1 on.
    void scan(const Complex* in, std::size_t count, std::span<OffsetRecord> out);

    // Whether some offset of the block may start a preamble: false only when the metric at every
    // half-segment step stays well below any preamble's (it reads no further than scan). Without
    // half-segment steps (R odd or below 4) every block may.
    bool may_hold_preamble(const Complex* in, std::size_t count);

private:
    // Re-forms in double the records of the offsets whose samples leave the single-precision
    // range; re/im hold R zeros, then the block's samples.
    void rescan_wide(const float* re, const float* im, std::size_t count, std::span<OffsetRecord> out);
    // The records of offsets [lo, hi), formed in double.
    void scan_wide(const float* re, const float* im, std::size_t lo, std::size_t hi, std::span<OffsetRecord> out);

    std::size_t r_;       // R
    std::size_t pairs_;   // M - 1
    std::size_t stride_;  // the probe's offset step
    std::vector<float> scan_work_, probe_work_;
    std::vector<double> wide_work_;
};

}  // namespace kavro
