#include "demodulate/ofdm_frame/preamble_search.hpp"

#include <algorithm>
#include <cmath>

namespace kavro {

namespace {

// Offsets judged at a time while no candidate is in sight: a choice stops judging one span past
// its first candidate.
constexpr std::uint64_t judge_step = 256;

// The metric times the offset's share of the window's largest energy e_max; an infinite energy
// counts as the window's maximum.
float score_of(const OffsetRecord& record, double e_max) {
    const float share =
        e_max > 0.0 ? std::min(static_cast<float>(record.true_energy() / e_max), 1.0f) : 1.0f;
    return record.metric * share;
}

}  // namespace

bool preamble_searchable(float fs, const PreambleParams& preamble) {
    return fs > 0.0f && preamble.repeat_len != 0 && preamble.num_repeats > 1;
}

PreambleSearch::PreambleSearch(const OfdmConfig& cfg, const PreambleParams& preamble)
    : span_(std::uint64_t{preamble.num_repeats} * preamble.repeat_len + cfg.n_fft() + cfg.cp_len()),
      reach_(std::uint64_t{cfg.n_fft()} + cfg.cp_len()),
      scan_block_(std::max<std::uint64_t>(512, 4 * (std::uint64_t{preamble.num_repeats} * preamble.repeat_len))),
      searchable_(preamble_searchable(cfg.fs(), preamble)),
      scan_(preamble, static_cast<std::size_t>(reach_)) {}

PreambleSearch::Choice PreambleSearch::choose(const StreamSamples& samples, bool end_of_stream, bool inside_body) {
    const std::uint64_t end = samples.end();
    // A preamble can start no earlier than this and still leave room for one more symbol.
    const std::uint64_t tail = end - std::min<std::uint64_t>(end, span_ + reach_ - 1);
    if (!searchable_) {
        const std::uint64_t keep_from = std::max(tail, samples.base());
        release_records(keep_from);
        return {std::nullopt, keep_from};
    }
    const std::uint64_t from = std::max(search_from_, samples.base());
    const std::optional<std::uint64_t> first = first_candidate(samples, end_of_stream, inside_body, from);
    search_from_ = first ? *first : std::max(from, judged_end_);
    if (!first) {
        const std::uint64_t keep_from = std::max(std::min(judged_end_, tail), samples.base());
        release_records(keep_from);
        return {std::nullopt, keep_from};
    }
    if (*first + span_ > judged_end_ && !end_of_stream) return {std::nullopt, samples.base()};
    return {best_within_span(*first), samples.base()};
}

std::optional<std::uint64_t> PreambleSearch::first_candidate(const StreamSamples& samples, bool end_of_stream,
                                                             bool inside_body, std::uint64_t from) {
    // Offset d can be examined once its preamble span has arrived. Offsets are examined a block at
    // a time and only as far as a choice needs: the body of a frame chosen ahead of them is
    // consumed before they are reached, and is never searched.
    const std::uint64_t end = samples.end();
    const std::uint64_t limit = end >= span_ ? end - span_ + 1 : 0;
    std::uint64_t looked = from;  // offsets below this were judged and fell short of the threshold
    std::optional<std::uint64_t> first;
    for (;;) {
        const bool complete = records_.end() >= limit;
        const std::uint64_t judged_before = judged_end_;
        judge_offsets(end_of_stream && complete, first ? *first + span_ : judged_end_ + judge_step);
        while (!first && looked < judged_end_) {
            if (records_.empty_block_at(looked) && looked + OffsetRecords::block <= judged_end_) {
                looked += OffsetRecords::block;
                continue;
            }
            if (records_.at(looked).score >= sync_threshold) first = looked;
            ++looked;
        }
        // The choice needs every offset within one span of the first to be judged.
        if (first && *first + span_ <= judged_end_) break;
        if (judged_end_ == judged_before) {
            if (complete) break;
            scan_to(samples, std::min(limit, records_.end() + scan_block_), inside_body);
        }
    }
    return first;
}

std::uint64_t PreambleSearch::best_within_span(std::uint64_t first) const {
    std::uint64_t best = first;
    const std::uint64_t last = std::min(first + span_, judged_end_);
    for (std::uint64_t d = first + 1; d < last; ++d) {
        if (records_.at(d).score > records_.at(best).score) best = d;
    }
    return best;
}

void PreambleSearch::scan_to(const StreamSamples& samples, std::uint64_t end, bool probe_first) {
    while (records_.end() < end) {
        const std::uint64_t first = records_.end();
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(scan_block_, end - first));
        offsets_searched_ += count;
        const Complex* in = &samples.at(first);
        if (probe_first && !scan_.may_hold_preamble(in, count)) {
            // No offset of the block comes near a preamble: its records hold no candidate.
            records_.extend(count, OffsetRecord{0.0f, 0.0f, 0.0f, NAN, NAN, 0});
            continue;
        }
        const int exponent = scan_.scan(in, count, records_.extend(count, OffsetRecord{}));
        records_.add_maxima(first, count, exponent);
    }
}

void PreambleSearch::judge_offsets(bool end_of_stream, std::uint64_t until) {
    // An offset is judged once its window has arrived (at the end of the stream, on what there is).
    const std::uint64_t computed_end = records_.end();
    std::uint64_t stop = std::min(computed_end, until);
    if (!end_of_stream) stop = std::min(stop, computed_end > reach_ ? computed_end - reach_ : 0);
    if (stop <= judged_end_) return;
    for (std::uint64_t d = judged_end_; d < stop;) {
        if (records_.empty_block_at(d) && d + OffsetRecords::block <= stop) {
            d += OffsetRecords::block;
            continue;
        }
        if (records_.at(d).metric >= sync_threshold) judge_offset(d);
        ++d;
    }
    judged_end_ = stop;
}

void PreambleSearch::judge_offset(std::uint64_t d) {
    // An offset below the threshold cannot score above it: its score stays unset (NaN), which no
    // choice takes.
    OffsetRecord& record = records_.at(d);
    if (!(record.metric >= sync_threshold)) return;
    const std::uint64_t lo = std::max({d >= span_ ? d - span_ : 0, floor_, records_.base()});
    const std::uint64_t hi = std::min(d + reach_, records_.end() - 1);
    record.score = score_of(record, records_.window_energy(lo, hi));
}

void PreambleSearch::skip_to(std::uint64_t position) { search_from_ = std::max(search_from_, position); }

void PreambleSearch::release_records(std::uint64_t position) {
    const std::uint64_t window_start = judged_end_ >= span_ ? judged_end_ - span_ : 0;
    records_.drop_before(std::min({position, window_start, records_.end()}));
}

void PreambleSearch::consume_to(std::uint64_t position) {
    records_.drop_before(std::min(position, records_.end()));
    floor_ = position;
    search_from_ = std::max(search_from_, position);
    if (position >= records_.end()) {
        // Nothing beyond the consumed samples was searched yet: start afresh there.
        records_.restart_at(position);
        judged_end_ = position;
        return;
    }
    judged_end_ = std::max(judged_end_, position);

    // Offsets judged before the consumption had windows reaching below it; judge them again
    // within the new stretch, as if they had been judged after it.
    const std::uint64_t rejudge_end = std::min(judged_end_, position + span_);
    for (std::uint64_t d = std::max(position, records_.base()); d < rejudge_end; ++d) judge_offset(d);
}

void PreambleSearch::clear() {
    records_.restart_at(0);
    judged_end_ = search_from_ = floor_ = 0;
}

}  // namespace kavro
