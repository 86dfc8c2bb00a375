#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"
#include "demodulate/ofdm_frame/frame_body_decoder.hpp"
#include "fec/rx_error.hpp"
#include "modulate/ofdm_frame/frame_assembly.hpp"
#include "multicarrier/fft_block.hpp"
#include "sync/ofdm_sync.hpp"

// The streaming frame receiver: the caller pushes samples in pieces of any size; the receiver
// keeps them, finds frame preambles, removes each frame's carrier offset, transforms its training
// symbol, decodes header and payload, drops the samples it used and returns the attempts in stream
// order. An incomplete frame waits in the buffer for later calls.
//
// The search is the repeated-segment correlation of the preamble (the same per-offset metric and
// fractional offset as ofdm_sync), run once per offset as samples arrive. An offset's score is
// its metric times its segment energy over the largest energy among the offsets from one preamble
// span W before it to N + C after it (the last offsets whose segments end before its own frame
// body: a header's fill can peak far above the preamble), so a strong frame elsewhere in the
// buffer cannot hide a weak one; the window does not reach back past the end of the last attempt
// consumed. An offset is judged only once its whole window has arrived (a choice waits until every
// offset within W of it is judged), and every decision depends on the stream alone. The whole-bin
// offset is matched on products of neighbouring training bins, which a window early by a few
// samples (harmless to the body, whose windows move with it) does not disturb; the training
// symbol's prefix against its copy N samples later then refines the offset, and the attempt's
// samples are scaled by a power of two that brings the preamble near its transmitted power, so
// that no step of the decode depends on the stream's amplitude (the search's sums, likewise, are
// formed on samples scaled by a power of two, with the exponent kept beside them). The search
// leaves out impulses, samples that are not finite or stand far above the segment after them, so
// that one wild sample near a frame neither swamps its score window nor sets the scale of its sums.
//
// A pass repeats: take the earliest offset scoring at least 0.5, choose the best-scored offset
// within W of it, resolve its offset, derotate and decode. A decoded frame consumes everything up
// to its last symbol; a failed one everything up to the end of its preamble span (so its body is
// searched again). While a decoded header waits for its body the search goes on inside that body:
// a frame whose header decodes there ends the wait (the pending frame is reported as a payload
// that did not decode), and so does the end of the stream (flush). Inside such a body a block of
// offsets is searched in full only where a quick metric at half-segment steps comes near a
// preamble. Offsets are searched once, so the work per sample is bounded whatever the headers
// announce. While no preamble is in sight the
// buffer keeps only the samples a future preamble could start in, so idle input costs bounded
// memory and time proportional to its length.

namespace kavro {

class OfdmFrameStreamDemod {
public:
    using Attempt = std::expected<RxFrame, fec::RxError>;

    static constexpr float sync_threshold = 0.5f;

    // A pair of neighbouring training bins (bin, bin + 1) and the conjugate of their product in
    // the transmitted training symbol.
    struct BinPair {
        std::size_t bin;
        Complex weight;
    };

    static std::expected<OfdmFrameStreamDemod, FrameLinkError> create(const OfdmConfig& cfg,
                                                                       std::span<const Mcs> entries,
                                                                       std::size_t num_repeats,
                                                                       std::size_t repeat_len,
                                                                       std::shared_ptr<CodecCache> cache);

    // Appends the samples and runs one pass.
    std::vector<Attempt> feed(std::span<const Complex> iq);

    // Runs one pass as if the stream had ended: offsets whose score window reaches past the
    // samples present are judged on what has arrived.
    std::vector<Attempt> flush();

    // Empties the buffer and forgets the stream; the next sample starts a new one.
    void clear();

    std::size_t buffered() const { return static_cast<std::size_t>(stream_end() - base_); }

    const FrameLink& link() const { return link_; }
    const PreambleParams& preamble() const { return preamble_; }

    // What the receiver has done so far, for bounding its work by the samples it was given.
    struct WorkCount {
        std::uint64_t offsets_searched = 0;
        std::uint64_t samples_derotated = 0;
        std::uint64_t headers_decoded = 0;
    };
    const WorkCount& work() const { return work_; }

    // Per-offset search results; metric is NaN for an offset without candidate, score NaN until
    // the offset is judged (and for offsets that cannot reach the threshold). P and E were formed
    // on samples scaled by a power of two: their true values are 2^exponent times those held.
    struct OffsetRecord {
        float p_re, p_im, energy, metric, score;
        int exponent;

        double true_energy() const { return std::ldexp(static_cast<double>(energy), exponent); }
    };

private:
    // One attempt in progress: the derotated samples from its start, the whole-bin corrected
    // offset, the training bins and, once decoded, the header.
    struct PendingAttempt {
        std::uint64_t start = 0;
        PhasorNco nco;
        float scale = 1.0f;
        std::vector<Complex> training_bins;
        std::optional<HeaderStage> stage;
    };

    OfdmFrameStreamDemod(FrameLink link, PreambleParams preamble);

    std::uint64_t stream_end() const { return base_ + (samples_.size() - head_); }
    const Complex& sample_at(std::uint64_t index) const { return samples_[head_ + (index - base_)]; }
    const OffsetRecord& record_at(std::uint64_t d) const { return records_[record_head_ + (d - record_base_)]; }
    OffsetRecord& record_at(std::uint64_t d) { return records_[record_head_ + (d - record_base_)]; }

    std::vector<Attempt> pass(bool end_of_stream);
    bool advance_attempt(bool end_of_stream, std::vector<Attempt>& results);
    bool probe(std::uint64_t frame_end, std::vector<Attempt>& results);
    void finish_attempt(Attempt outcome, std::vector<Attempt>& results);
    PendingAttempt open_attempt(std::uint64_t start);
    std::optional<fec::RxError> advance_header(PendingAttempt& attempt, std::vector<Complex>& derotated);
    Attempt decode_payload(PendingAttempt& attempt);
    void derotate_to(PendingAttempt& attempt, std::vector<Complex>& derotated, std::uint64_t count);
    // Copies count samples from stream offset `first` into re/im for the search (each holding
    // count + impulse_span_ values) and returns their power-of-two exponent.
    int load_search_samples(std::uint64_t first, std::size_t count, float* re, float* im);
    void compute_offsets(std::uint64_t end, bool sparse = false);
    bool block_may_hold_preamble(std::uint64_t first, std::size_t count);
    void judge_offsets(bool end_of_stream, std::uint64_t until);
    void judge_offset(std::uint64_t d);
    double window_energy(std::uint64_t lo, std::uint64_t hi) const;
    bool empty_block_at(std::uint64_t d) const;
    std::optional<std::uint64_t> choose(bool end_of_stream);
    float attempt_scale(const OffsetRecord& record) const;
    std::int32_t whole_bin_offset(std::uint64_t start, float cfo_hz, float scale);
    float refine_offset(std::uint64_t start, const OffsetRecord& record, float coarse_hz, float scale) const;
    void consume_to(std::uint64_t position);
    void drop_before(std::uint64_t position, bool consumed = false);
    float score_of(const OffsetRecord& record, double e_max) const;

    FrameLink link_;
    PreambleParams preamble_;
    float fs_;
    std::uint64_t n_fft_, cp_len_, preamble_len_, span_;  // N, C, M·R, W
    std::uint64_t reach_;  // N + C: the offsets after d whose segments end before d's frame body
    // Samples after each searched sample that judge whether it is an impulse: the search reads no
    // sample closer than N + C to the end of the stream, so they have always arrived.
    std::size_t impulse_span_;
    bool degenerate_;
    float segment_power_;  // mean power of the transmitted repeated segment
    float cfo_divisor_;
    // Offsets scanned per block: each block forms its own segment sums (the (M - 2)·R sums it
    // shares with the next block are formed again, which costs little and keeps no state).
    std::uint64_t scan_block_;
    std::size_t sparse_stride_;         // the offset step of the quick search inside a pending body
    std::vector<float> sparse_work_;
    std::vector<BinPair> training_pairs_;
    std::vector<Complex> neighbour_products_;  // whole-bin search buffer, 2N
    FftBlock fft_;
    FrameScratch scratch_;

    // The buffer: samples_[head_ ..] holds stream samples from base_ on.
    std::vector<Complex> samples_;
    std::size_t head_ = 0;
    std::uint64_t base_ = 0;

    // Search state, in stream offsets. Offsets below computed_end_ have records, offsets below
    // judged_end_ have their final score; no offset below search_from_ is still a candidate.
    // floor_ is where the current stretch of stream begins (its start, or the end of the last
    // consumed attempt): score windows do not reach below it.
    std::vector<float> scan_work_;  // the scan's per-block working rows
    std::vector<float> impulse_power_;    // the impulse screen's sample powers
    std::vector<std::size_t> blanked_;    // and the impulses it found in the current copy
    std::vector<OffsetRecord> records_;
    std::size_t record_head_ = 0;
    std::uint64_t record_base_ = 0;
    std::uint64_t computed_end_ = 0;
    std::uint64_t judged_end_ = 0;
    std::uint64_t search_from_ = 0;
    std::uint64_t floor_ = 0;
    // The largest candidate energy of each block of offsets, from block block_base_ on.
    std::vector<double> block_max_;
    std::size_t block_head_ = 0;
    std::uint64_t block_base_ = 0;

    // The oldest attempt, and a candidate probed inside its body while the body is arriving, with
    // their derotated samples; failures of such probes wait for the pending frame's outcome.
    std::optional<PendingAttempt> attempt_;
    std::optional<PendingAttempt> probe_;
    std::vector<fec::RxError> deferred_;
    std::vector<Complex> derotated_;
    std::vector<Complex> probe_derotated_;
    WorkCount work_;
};

}  // namespace kavro
