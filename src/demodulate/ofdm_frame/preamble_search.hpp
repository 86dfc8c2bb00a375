#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "demodulate/ofdm_frame/offset_records.hpp"
#include "demodulate/ofdm_frame/preamble_scan.hpp"
#include "demodulate/ofdm_frame/stream_samples.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "sync/ofdm_sync.hpp"

// The streaming receiver's preamble search: it scans start offsets as samples arrive (each offset
// once, so the work per sample is bounded whatever the headers announce), scores them and chooses
// where the next frame starts. All positions are stream positions.
//
// An offset's score is its metric times its segment energy over the largest energy among the
// offsets from one preamble span W before it to N + C after it (the last offsets whose segments end
// before its own frame body: a header's fill can peak far above the preamble), so a strong frame
// elsewhere in the buffer cannot hide a weak one; the window does not reach back past the end of
// the last attempt consumed. An offset is judged only once its whole window has arrived, and a
// choice (the earliest offset scoring at least 0.5, then the best-scored offset within W of it)
// waits until every offset within W of the first is judged: every decision depends on the stream
// alone. Inside the body of a pending frame a block of offsets is searched in full only where the
// scan's quick probe comes near a preamble.

namespace kavro {

// Whether preambles of this shape can be found at all: a positive sample rate and at least two
// segments of at least one sample.
bool preamble_searchable(float fs, const PreambleParams& preamble);

class PreambleSearch {
public:
    static constexpr float sync_threshold = 0.5f;

    PreambleSearch(const OfdmConfig& cfg, const PreambleParams& preamble);

    struct Choice {
        std::optional<std::uint64_t> start;  // the chosen preamble start
        // Samples before this can go unless a pending frame holds them: no future preamble starts
        // there.
        std::uint64_t keep_from;
    };
    // Searches on as far as a choice needs. At the end of the stream, offsets whose score window
    // reaches past the samples present are judged on what has arrived. inside_body: a frame is
    // pending, so the search runs inside its body and probes blocks before scanning them.
    Choice choose(const StreamSamples& samples, bool end_of_stream, bool inside_body);

    // The record of an offset the last choice returned.
    const OffsetRecord& record_at(std::uint64_t d) const { return records_.at(d); }

    // No offset before `position` is a candidate any more.
    void skip_to(std::uint64_t position);
    // The samples before `position` were used by an attempt: the stream goes on from there.
    void consume_to(std::uint64_t position);
    // Forgets the stream; the next sample is position 0.
    void clear();

    std::uint64_t span() const { return span_; }  // W = M·R + N + C
    std::uint64_t offsets_searched() const { return offsets_searched_; }

private:
    std::optional<std::uint64_t> first_candidate(const StreamSamples& samples, bool end_of_stream, bool inside_body,
                                                 std::uint64_t from);
    std::uint64_t best_within_span(std::uint64_t first) const;
    void scan_to(const StreamSamples& samples, std::uint64_t end, bool probe_first);
    void judge_offsets(bool end_of_stream, std::uint64_t until);
    void judge_offset(std::uint64_t d);
    // Drops the records before `position` that no window of an offset still to judge reaches.
    void release_records(std::uint64_t position);

    std::uint64_t span_;   // W
    std::uint64_t reach_;  // N + C: the offsets after d whose segments end before d's frame body
    // Offsets scanned per block: each block forms its own segment sums (the (M - 2)·R sums it
    // shares with the next block are formed again, which costs little and keeps no state).
    std::uint64_t scan_block_;
    bool searchable_;
    PreambleScan scan_;

    // Offsets below records_.end() have records, offsets below judged_end_ have their final score;
    // no offset below search_from_ is still a candidate. floor_ is where the current stretch of
    // stream begins (its start, or the end of the last consumed attempt): score windows do not
    // reach below it.
    OffsetRecords records_;
    std::uint64_t judged_end_ = 0;
    std::uint64_t search_from_ = 0;
    std::uint64_t floor_ = 0;
    std::uint64_t offsets_searched_ = 0;
};

}  // namespace kavro
