#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "demodulate/ofdm_frame/offset_records.hpp"
#include "demodulate/ofdm_frame/preamble_scan.hpp"
#include "demodulate/ofdm_frame/stream_samples.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "sync/ofdm_sync.hpp"

// The streaming receiver's preamble search: it scans start offsets as samples arrive (each offset
// once, so the work per sample is bounded whatever the headers announce), scores each on the
// samples it correlates (see PreambleScan) and chooses where the next frame starts. All positions
// are stream positions.
//
// A choice is the earliest framed offset (see OffsetRecord) scoring at least 0.5, then, among the
// framed offsets within one preamble span W of it, the one of highest score (the earlier of
// equals); it
// waits until every offset within W of the first has been scored, so every decision depends on the
// stream alone. When the attempt at a choice fails, the search goes on past the peak the choice
// belonged to rather than past its span, so that a frame right after a false preamble (a burst that
// repeats itself) is still found. Inside a frame's announced body a block of offsets is scanned
// only as far as the scan's quick probe reaches (where it comes near a preamble).

namespace kavro {

// Whether preambles of this shape can be found at all: a positive sample rate and at least two
// segments of at least one sample.
bool preamble_searchable(float fs, const PreambleParams& preamble);

class PreambleSearch {
public:
    static constexpr float sync_threshold = PreambleScan::sync_threshold;

    PreambleSearch(const OfdmConfig& cfg, const PreambleParams& preamble);

    struct Choice {
        std::optional<std::uint64_t> start;  // the chosen preamble start
        // Samples before this can go unless a pending frame holds them: no future preamble starts
        // there.
        std::uint64_t keep_from;
    };
    // Searches on as far as a choice needs, on the samples before `horizon` (those after it count
    // as not yet arrived). At the end of the stream the choice is made among the offsets scored so
    // far.
    Choice choose(const StreamSamples& samples, bool end_of_stream,
                  std::uint64_t horizon = std::numeric_limits<std::uint64_t>::max());

    // The record of an offset the last choice returned.
    const OffsetRecord& record_at(std::uint64_t d) const { return records_.at(d); }

    // No offset before `position` is a candidate any more.
    void skip_to(std::uint64_t position);
    // The attempt at d failed: the offsets from d on that score at least half the threshold belong
    // to its peak and are passed over (unless the search has gone beyond d already).
    void pass_peak(std::uint64_t d);
    // Offsets before `position` lie in a frame's announced body: their blocks are probed first.
    void probe_below(std::uint64_t position) { probe_end_ = std::max(probe_end_, position); }
    // The samples before `position` are gone: the stream goes on from there.
    void consume_to(std::uint64_t position);
    // Forgets the stream; the next sample is position 0.
    void clear();

    std::uint64_t span() const { return span_; }  // W = M·R + N + C
    std::uint64_t offsets_searched() const { return offsets_searched_; }

private:
    std::optional<std::uint64_t> first_candidate(const StreamSamples& samples, std::uint64_t end);
    // Walks the scored offsets from search_from_ on, passing a failed choice's peak, and stops at
    // the first that starts a frame: false when none does.
    bool walk_to_start();
    std::uint64_t best_within_span(std::uint64_t first) const;
    void scan_to(const StreamSamples& samples, std::uint64_t end);
    // Scores the next block of offsets before `end`, or passes the rest of the last block beyond
    // the probe's reach.
    void scan_next(const StreamSamples& samples, std::uint64_t end);
    // Offsets [first, first + count) out of the probe's reach: they hold no candidate.
    void pass_unreached(std::uint64_t first, std::size_t count);
    // The samples a scan from `position` may read before it.
    std::size_t looked_back(std::uint64_t position) const {
        return static_cast<std::size_t>(std::min(position, 2 * repeat_len_));
    }

    std::uint64_t span_;   // W
    std::uint64_t reach_;  // N + C
    std::uint64_t repeat_len_;  // R: an offset's score reads two segments before it
    // Offsets scanned per block: each block forms its own segment sums (the (M - 1)·R sums it
    // shares with the next block are formed again, which costs little and keeps no state).
    std::uint64_t scan_block_;
    bool searchable_;
    PreambleScan scan_;

    // Offsets below records_.end() have records; no offset below search_from_ is still a
    // candidate, and while passing_peak_ the ones from there on that score at least half the
    // threshold are not either. Blocks starting below probe_end_ are probed first.
    OffsetRecords records_;
    std::uint64_t search_from_ = 0;
    bool passing_peak_ = false;
    std::uint64_t probe_end_ = 0;
    std::uint64_t unreached_end_ = 0;  // offsets from records_.end() up to this lie beyond the probe's reach
    std::uint64_t offsets_searched_ = 0;
};

}  // namespace kavro
