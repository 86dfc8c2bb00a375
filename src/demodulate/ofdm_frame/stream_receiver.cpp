#include "demodulate/ofdm_frame/stream_receiver.hpp"

#include <algorithm>
#include <utility>

#include "core/internal_fault.hpp"

namespace kavro {

std::expected<OfdmFrameStreamDemod, waveform::FrameLinkError> OfdmFrameStreamDemod::create(
    const OfdmConfig& cfg, std::span<const fec::Mcs> entries, std::size_t num_repeats, std::size_t repeat_len,
    std::shared_ptr<fec::CodecCache> cache) {
    auto link = waveform::FrameLink::create(cfg, entries, num_repeats, repeat_len, std::move(cache));
    if (!link) return std::unexpected(link.error());
    const PreambleParams preamble{num_repeats, repeat_len, TrainingShape{cfg.n_fft(), cfg.cp_len()}};
    return OfdmFrameStreamDemod(std::move(*link), preamble);
}

OfdmFrameStreamDemod::OfdmFrameStreamDemod(waveform::FrameLink link, PreambleParams preamble)
    : preamble_(preamble),
      decoder_(std::move(link), preamble_),
      search_(decoder_.link().cfg, preamble_),
      span_(search_.span()),
      opening_(span_ + decoder_.link().cfg.n_fft() + decoder_.link().cfg.cp_len()) {}

std::vector<OfdmFrameStreamDemod::Attempt> OfdmFrameStreamDemod::feed(std::span<const Complex> iq) {
    samples_.append(iq);
    return pass(false);
}

std::vector<OfdmFrameStreamDemod::Attempt> OfdmFrameStreamDemod::flush() { return pass(true); }

void OfdmFrameStreamDemod::clear() {
    samples_.clear();
    search_.clear();
    attempt_.reset();
    probe_.reset();
    deferred_.clear();
    derotated_.clear();
    probe_derotated_.clear();
    set_aside_end_ = 0;
}

std::vector<OfdmFrameStreamDemod::Attempt> OfdmFrameStreamDemod::pass(bool end_of_stream) {
    std::vector<Attempt> results;
    for (;;) {
        if (attempt_) {
            if (!advance_attempt(end_of_stream, results)) break;
            continue;
        }
        if (samples_.size() < opening_) break;
        const std::optional<std::uint64_t> start = choose(end_of_stream);
        if (!start) break;
        try {
            attempt_ = open_attempt(*start);
            derotated_.clear();
        } catch (const InternalFault&) {
            // A fault inside one attempt fails that frame only; the stream goes on.
            attempt_.reset();
            if (!set_aside(*start)) results.push_back(std::unexpected(fec::RxError::MalformedHeader));
            fail_at(*start);
        }
    }
    return results;
}

bool OfdmFrameStreamDemod::advance_attempt(bool end_of_stream, std::vector<Attempt>& results) {
    FrameAttempt& attempt = *attempt_;
    if (!attempt.stage) {
        const std::optional<fec::RxError> failure =
            decoder_.advance_header(attempt, derotated_, samples_.from(attempt.start));
        if (failure) {
            finish_attempt(std::unexpected(*failure), results);
            return true;
        }
        if (!attempt.stage) return false;  // the header's symbols are still arriving
        search_inside(attempt);
    }

    const std::uint64_t frame_end = attempt.start + span_ + attempt.stage->body_samples;
    if (samples_.end() >= frame_end) {
        finish_attempt(decoder_.decode_payload(attempt, derotated_, samples_.from(attempt.start)), results);
        return true;
    }
    if (end_of_stream) {
        // The stream ends inside the body: the frame is given up and what follows is searched.
        finish_attempt(std::unexpected(fec::RxError::PayloadCrcMismatch), results);
        return true;
    }
    return probe(frame_end, results);
}

bool OfdmFrameStreamDemod::probe(std::uint64_t frame_end, std::vector<Attempt>& results) {
    if (!probe_) {
        const std::optional<std::uint64_t> start = choose(false);
        if (!start) return false;
        try {
            probe_ = open_attempt(*start);
            probe_derotated_.clear();
        } catch (const InternalFault&) {
            probe_.reset();
            deferred_.push_back(fec::RxError::MalformedHeader);
            search_.pass_peak(*start);
            return true;
        }
    }
    const std::optional<fec::RxError> failure =
        decoder_.advance_header(*probe_, probe_derotated_, samples_.from(probe_->start));
    if (failure) {
        // Reported only if the pending frame fails: otherwise the candidate lay inside its body.
        deferred_.push_back(*failure);
        search_.pass_peak(probe_->start);
        probe_.reset();
        return true;
    }
    // A frame whose header decodes in the last third of the pending frame's announced body waits
    // for that body: the pending frame may have been cut short and still decode.
    if (!probe_->stage || probe_->start >= last_third(attempt_->start, frame_end)) return false;

    // A frame whose header decodes earlier inside the pending frame's announced body: the pending
    // frame was cut short or its header was false; give it up and receive the new one.
    FrameAttempt next = std::move(*probe_);
    probe_.reset();
    const std::uint64_t start = next.start;
    results.push_back(std::unexpected(fec::RxError::PayloadCrcMismatch));
    for (const fec::RxError error : deferred_) results.push_back(std::unexpected(error));
    deferred_.clear();
    attempt_.reset();
    consume_to(start);
    attempt_ = std::move(next);
    std::swap(derotated_, probe_derotated_);
    search_inside(*attempt_);
    return true;
}

void OfdmFrameStreamDemod::finish_attempt(Attempt outcome, std::vector<Attempt>& results) {
    const std::uint64_t start = attempt_->start;
    const bool decoded = outcome.has_value();
    // A candidate in the part set aside whose header fails is taken for part of the decoded frame.
    const bool reported = decoded || attempt_->stage || !set_aside(start);
    std::uint64_t resume = start + 1;
    if (decoded) {
        // A frame cut short can decode with the next frame starting inside it: its last third
        // is searched again.
        set_aside_end_ = start + span_ + outcome->consumed_samples;
        resume = last_third(start, set_aside_end_);
    } else {
        search_.pass_peak(start);
    }
    attempt_.reset();
    if (reported) results.push_back(std::move(outcome));
    if (!decoded) {
        for (const fec::RxError error : deferred_) results.push_back(std::unexpected(error));
    }
    deferred_.clear();
    // A candidate probed inside the body stays, unless it lay inside the decoded frame before the
    // part set aside.
    if (probe_ && probe_->start >= resume) {
        attempt_ = std::move(probe_);
        std::swap(derotated_, probe_derotated_);
        if (attempt_->stage) search_inside(*attempt_);
    }
    probe_.reset();
    // A decoded frame's samples go once the search has passed the part set aside, in one step
    // with it: dropping them at once would move that part to the front of the buffer.
    if (decoded) {
        search_.consume_to(resume);
    } else {
        consume_to(resume);
    }
}

void OfdmFrameStreamDemod::search_inside(const FrameAttempt& attempt) {
    search_.skip_to(attempt.start + span_);
    search_.probe_below(attempt.start + span_ + attempt.stage->body_samples);
}

void OfdmFrameStreamDemod::fail_at(std::uint64_t start) {
    search_.pass_peak(start);
    consume_to(start + 1);
}

std::optional<std::uint64_t> OfdmFrameStreamDemod::choose(bool end_of_stream) {
    const PreambleSearch::Choice choice = search_.choose(samples_, end_of_stream);
    if (!attempt_) samples_.drop_before(choice.keep_from);
    return choice.start;
}

FrameAttempt OfdmFrameStreamDemod::open_attempt(std::uint64_t start) {
    return decoder_.open(start, search_.record_at(start), samples_.from(start));
}

void OfdmFrameStreamDemod::consume_to(std::uint64_t position) {
    // A pending frame keeps its samples and those before it (they go with the frame).
    if (!attempt_) samples_.drop_before(position);
    search_.consume_to(position);
}

}  // namespace kavro
