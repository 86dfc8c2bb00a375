#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/simd_level.hpp"
#include "demodulate/ofdm_frame/offset_records.hpp"
#include "sync/ofdm_sync.hpp"

// The kernel of the streaming preamble search: the repeated-segment correlation of the preamble
// (the same per-offset P and E as ofdm_sync) and each offset's score over a block of start
// offsets, and a quick probe that tells where in a block a preamble may start. It reads a block's
// samples from a pointer and keeps only scratch, so it knows nothing of the stream around the
// block.
//
// An offset is judged on the samples a frame starting there would bring: with E the energy of the
// segments 1 .. M-1 and E_lead that of the segments 0 .. M-2 that lead them, its score is the
// coherence |P|²/(E·E_lead), at most 1 (Cauchy–Schwarz) and about 1/((M-1)·R) for samples that do
// not repeat, so that strong samples followed by weak ones (the end of a burst or of a frame) do
// not score. An offset is marked as not framed where what surrounds a preamble is missing: where
// the repetition runs on into the two segments before the offset or the two after its segments (a
// tone or any signal of period R matches itself at every lag, so it scores everywhere but starts
// and ends nowhere), and where the training symbol's cyclic prefix does not correlate with its
// copy (noise that happens to repeat over a short preamble rarely does both).
//
// Samples that are not finite count as zero in the segment sums. The sums of an offset whose
// samples all lie within 2^±40 (or are zero) are formed in single precision, those of an offset
// with a sample beyond that range in double, so that no amplitude the stream can carry overflows
// or vanishes: an offset's P, E and score depend on the stream's samples alone, not on the block
// it was scanned in. The checks for framing are formed in double in a block holding such a sample,
// and sums beyond single precision in them leave the offset framed.

namespace kavro {

class PreambleScan {
public:
    // Offsets scoring below this start no frame, and only those above it are marked as framed or not.
    static constexpr float sync_threshold = 0.5f;

    // Its kernels run at `level`.
    explicit PreambleScan(const PreambleParams& preamble, SimdLevel level = best_simd_level());

    // Fills the records of the `count` offsets from `in`, whose samples run at least count + W - 1
    // on and `before` (at most 2R) samples back; samples further back count as zero.
    void scan(const Complex* in, std::size_t before, std::size_t count, std::span<OffsetRecord> out);

    // Offsets [begin, end) of a block.
    struct Reach {
        std::size_t begin, end;
    };
    // The offsets of the block that may start a preamble: those within a segment of a grid point
    // (a segment apart with three pairs of segments or more, half a segment with fewer) where the
    // coherence comes near any preamble's, none when it stays well below everywhere (it reads no
    // further than scan, and R samples back). Without such a grid (fewer than three pairs and R odd
    // or below 4), or with fewer than R samples before the block, every offset may.
    Reach preamble_reach(const Complex* in, std::size_t before, std::size_t count);

private:
    // A block's samples and segment sums, as scan forms them.
    struct Block;
    // Marks as not framed the offsets in [lo, hi) scoring at least the threshold whose repetition
    // runs on past their segments or that lack a training prefix (checked in that order, the
    // cheapest first).
    void drop_unframed(const Block& block, std::size_t lo, std::size_t hi, std::span<OffsetRecord> out);
    // Whether the repetition of offset j runs on into the segments before it, or after it.
    bool repeats_into(const Block& block, std::size_t j, double score) const;
    bool runs_on(const Block& block, std::size_t j, double score) const;
    // Marks as not framed the framed offsets in [lo, hi) scoring at least the threshold whose
    // training prefix does not correlate with its copy.
    void check_training_prefixes(const Block& block, std::size_t lo, std::size_t hi, std::span<OffsetRecord> out);
    // Re-forms in double the records of the offsets whose samples leave the single-precision
    // range; re/im hold R zeros, then the block's samples.
    void rescan_wide(const float* re, const float* im, std::size_t count, std::span<OffsetRecord> out);
    // The records of offsets [lo, hi), formed in double.
    void scan_wide(const float* re, const float* im, std::size_t lo, std::size_t hi, std::span<OffsetRecord> out);

    SimdLevel level_;
    std::size_t r_;       // R
    std::size_t pairs_;   // M - 1
    std::size_t preamble_len_, n_fft_, cp_len_;  // M·R, N, C
    std::size_t after_pairs_;  // pairs of segments after the preamble within its span W (at most two)
    std::size_t stride_;  // the probe's offset step
    std::vector<float> scan_work_, probe_work_, prefix_work_;
    std::vector<double> wide_work_;
};

}  // namespace kavro
