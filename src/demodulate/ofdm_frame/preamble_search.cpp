#include "demodulate/ofdm_frame/preamble_search.hpp"

#include <cmath>

namespace kavro {

namespace {

// A failed choice's peak is passed over while its offsets score at least this: after a preamble's
// start the scores fall through it within a segment and a half, and samples that do not repeat do
// not climb from below it back to the threshold.
constexpr float peak_floor = PreambleSearch::sync_threshold / 2;

bool starts_frame(const OffsetRecord& record) {
    return record.framed && record.score >= PreambleSearch::sync_threshold;
}

}  // namespace

bool preamble_searchable(float fs, const PreambleParams& preamble) {
    return fs > 0.0f && preamble.repeat_len != 0 && preamble.num_repeats > 1;
}

PreambleSearch::PreambleSearch(const OfdmConfig& cfg, const PreambleParams& preamble)
    : span_(std::uint64_t{preamble.num_repeats} * preamble.repeat_len + cfg.n_fft() + cfg.cp_len()),
      reach_(std::uint64_t{cfg.n_fft()} + cfg.cp_len()),
      repeat_len_(preamble.repeat_len),
      scan_block_(std::max<std::uint64_t>(512, 4 * (std::uint64_t{preamble.num_repeats} * preamble.repeat_len))),
      searchable_(preamble_searchable(cfg.fs(), preamble)),
      scan_(preamble) {}

PreambleSearch::Choice PreambleSearch::choose(const StreamSamples& samples, bool end_of_stream,
                                              std::uint64_t horizon) {
    const std::uint64_t end = std::min(samples.end(), horizon);
    // A preamble can start no earlier than this and still leave room for one more symbol.
    const std::uint64_t tail = end - std::min<std::uint64_t>(end, span_ + reach_ - 1);
    std::optional<std::uint64_t> first;
    if (searchable_) {
        search_from_ = std::max(search_from_, samples.base());
        first = first_candidate(samples, end);
    }
    if (!first) {
        const std::uint64_t searched = searchable_ ? search_from_ : end;
        const std::uint64_t keep_from = std::max(std::min(searched, tail), samples.base());
        records_.drop_before(std::min(keep_from, records_.end()));
        return {std::nullopt, keep_from};
    }
    if (*first + span_ > records_.end() && !end_of_stream) return {std::nullopt, samples.base()};
    return {best_within_span(*first), samples.base()};
}

std::optional<std::uint64_t> PreambleSearch::first_candidate(const StreamSamples& samples, std::uint64_t end) {
    // Offset d can be examined once its preamble span has arrived. Offsets are scanned a block at a
    // time and only as far as a choice needs.
    const std::uint64_t limit = end >= span_ ? end - span_ + 1 : 0;
    if (records_.end() < search_from_) records_.restart_at(search_from_);
    for (;;) {
        if (walk_to_start()) {
            // The choice needs every offset within one span of the first scored.
            scan_to(samples, std::min(limit, search_from_ + span_));
            return search_from_;
        }
        if (records_.end() >= limit) return std::nullopt;
        scan_next(samples, limit);
    }
}

bool PreambleSearch::walk_to_start() {
    const std::uint64_t scored = records_.end();
    std::uint64_t d = search_from_;
    bool passing = passing_peak_;
    for (; d < scored; ++d) {
        const OffsetRecord& record = records_.at(d);
        if (passing && record.score >= peak_floor) continue;
        passing = false;
        if (starts_frame(record)) break;
    }
    search_from_ = d;
    passing_peak_ = passing;
    return d < scored;
}

std::uint64_t PreambleSearch::best_within_span(std::uint64_t first) const {
    std::uint64_t best = first;
    const std::uint64_t last = std::min(first + span_, records_.end());
    for (std::uint64_t d = first + 1; d < last; ++d) {
        if (starts_frame(records_.at(d)) && records_.at(d).score > records_.at(best).score) best = d;
    }
    return best;
}

void PreambleSearch::scan_to(const StreamSamples& samples, std::uint64_t end) {
    while (records_.end() < end) scan_next(samples, end);
}

void PreambleSearch::scan_next(const StreamSamples& samples, std::uint64_t end) {
    const std::uint64_t first = records_.end();
    if (first < unreached_end_) {
        pass_unreached(first, static_cast<std::size_t>(std::min(end, unreached_end_) - first));
        return;
    }
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(scan_block_, end - first));
    offsets_searched_ += count;
    PreambleScan::Reach reach{0, count};
    if (first < probe_end_) reach = scan_.preamble_reach(&samples.at(first), looked_back(first), count);
    pass_unreached(first, reach.begin);
    if (reach.end > reach.begin) {
        const std::uint64_t from = first + reach.begin;
        const std::size_t scanned = reach.end - reach.begin;
        scan_.scan(&samples.at(from), looked_back(from), scanned, records_.extend(scanned, OffsetRecord{}));
    }
    // The offsets after the reach are passed once the search has walked the scanned ones.
    unreached_end_ = first + count;
}

void PreambleSearch::pass_unreached(std::uint64_t first, std::size_t count) {
    if (count == 0) return;
    // No candidate waits for the records: they are not kept at all.
    if (search_from_ == first) {
        records_.restart_at(first + count);
        search_from_ = first + count;
        passing_peak_ = false;
    } else {
        records_.extend(count, OffsetRecord{0.0f, 0.0f, 0.0f, NAN, 0, true});
    }
}

void PreambleSearch::skip_to(std::uint64_t position) {
    if (position <= search_from_) return;
    search_from_ = position;
    passing_peak_ = false;
}

void PreambleSearch::pass_peak(std::uint64_t d) {
    if (search_from_ > d) return;
    search_from_ = d + 1;
    passing_peak_ = true;
}

void PreambleSearch::consume_to(std::uint64_t position) {
    if (position >= records_.end()) {
        // Nothing beyond the consumed samples was scanned yet: start afresh there.
        records_.restart_at(position);
    } else {
        records_.drop_before(position);
    }
    skip_to(position);
}

void PreambleSearch::clear() {
    records_.restart_at(0);
    search_from_ = probe_end_ = unreached_end_ = 0;
    passing_peak_ = false;
}

}  // namespace kavro
