#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/ofdm_frame/offset_records.hpp"
#include "sync/ofdm_sync.hpp"

// The kernel of the streaming preamble search: the repeated-segment correlation of the preamble
// (the same per-offset P, E and metric as ofdm_sync) over a block of start offsets, and a quick
// probe that tells whether a block can hold a preamble at all. It reads a block's samples from a
// pointer and keeps only scratch, so it knows nothing of the stream around the block.
//
// The sums are formed on a copy of the samples scaled by a power of two, with the exponent kept
// beside them, so that no amplitude the stream can carry leaves single precision. The copy leaves
// out impulses, samples that are not finite or stand far above the segment after them, so that
// one wild sample near a frame neither swamps its score window nor sets the scale of its sums.
// Whether a sample is an impulse is read from the samples after it (up to one segment, at most
// N + C), which the stream receiver always holds: every chunking leaves out the same samples.

namespace kavro {

class PreambleScan {
public:
    // preamble: the repeated segments; reach: N + C, which bounds the samples judging an impulse.
    PreambleScan(const PreambleParams& preamble, std::size_t reach);

    // Fills the records of the `count` offsets from `in`, whose samples run at least
    // count + M·R - 1 + min(R, N + C) on, and returns the exponent their P and E carry.
    int scan(const Complex* in, std::size_t count, std::span<OffsetRecord> out);

    // Whether some offset of the block may start a preamble: false only when the metric at every
    // half-segment step stays well below any preamble's (its reading past `in` is bounded as
    // scan's). Without half-segment steps (R odd or below 4) every block may.
    bool may_hold_preamble(const Complex* in, std::size_t count);

private:
    // Copies count samples into re/im (each holding count + impulse_span_ values) with impulses
    // made zero and returns the power-of-two exponent they were scaled by.
    int load(const Complex* in, std::size_t count, float* re, float* im);

    std::size_t r_;             // R
    std::size_t pairs_;         // M - 1
    std::size_t impulse_span_;  // samples after a searched sample that judge whether it is an impulse
    std::size_t stride_;        // the probe's offset step
    std::vector<float> scan_work_, probe_work_;
    std::vector<float> impulse_power_;  // the impulse screen's sample powers
    std::vector<std::size_t> blanked_;  // and the impulses it found in the current copy
};

}  // namespace kavro
