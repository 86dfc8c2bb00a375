#include "demodulate/ofdm_frame/stream_receiver.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/internal_fault.hpp"

namespace kavro {

namespace {

// The samples before a frame on which a steady tone is measured; they are kept in the buffer
// whatever has been consumed, so that the measurement depends on the stream alone.
constexpr std::uint64_t tone_window = 256;

}  // namespace

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
      opening_(span_ + decoder_.link().cfg.n_fft() + decoder_.link().cfg.cp_len()),
      samples_(std::max<std::size_t>(2 * preamble_.repeat_len, tone_window)) {}

std::vector<OfdmFrameStreamDemod::Outcome> OfdmFrameStreamDemod::feed(std::span<const Complex> iq) {
    samples_.append(iq);
    return pass(false);
}

std::vector<OfdmFrameStreamDemod::Outcome> OfdmFrameStreamDemod::flush() { return pass(true); }

void OfdmFrameStreamDemod::clear() {
    samples_.clear();
    search_.clear();
    overlap_.clear();
    frame_.reset();
    inner_.reset();
    inner_failures_.clear();
    frame_derotated_.clear();
    inner_derotated_.clear();
    tone_.reset();
    toneless_.clear();
}

std::vector<OfdmFrameStreamDemod::Outcome> OfdmFrameStreamDemod::pass(bool end_of_stream) {
    std::vector<Outcome> results;
    for (;;) {
        bool stepped = false;
        if (!frame_) {
            stepped = search(end_of_stream, results);
        } else if (!frame_->stage) {
            stepped = read_header(results);
        } else {
            stepped = wait_for_body(end_of_stream, results);
        }
        if (!stepped) break;
    }
    return results;
}

bool OfdmFrameStreamDemod::search(bool end_of_stream, std::vector<Outcome>& results) {
    if (samples_.size() < opening_) return false;
    const std::optional<std::uint64_t> start = choose(end_of_stream, samples_.end());
    if (!start) return false;
    open_frame(*start, results);
    return true;
}

bool OfdmFrameStreamDemod::read_header(std::vector<Outcome>& results) {
    const std::optional<fec::RxError> failure =
        decoder_.advance_header(*frame_, frame_derotated_, frame_samples(frame_->start));
    if (failure) {
        // A header that fails beside a steady tone is read again with the tone removed (the tone
        // may have ended before the frame, so it is not removed first).
        if (!retry_without_tone(frame_->start)) finish_frame(std::unexpected(*failure), results);
        return true;
    }
    if (!frame_->stage) return false;  // the header's symbols are still arriving
    start_waiting_for_body();
    return true;
}

bool OfdmFrameStreamDemod::wait_for_body(bool end_of_stream, std::vector<Outcome>& results) {
    const std::uint64_t end = body_end();
    // Inner frames whose headers could decode before the body's end come first, whether or not
    // the body has arrived in the same call.
    if (read_inner(std::min(samples_.end(), end), results)) return true;
    if (samples_.end() >= end) {
        finish_frame(decoder_.decode_payload(*frame_, frame_derotated_, frame_samples(frame_->start)), results);
        return true;
    }
    if (end_of_stream) {
        // The stream ends inside the body: the frame is given up and what follows is searched.
        finish_frame(std::unexpected(fec::RxError::PayloadCrcMismatch), results);
        return true;
    }
    return false;
}

bool OfdmFrameStreamDemod::read_inner(std::uint64_t horizon, std::vector<Outcome>& results) {
    if (!inner_) {
        const std::optional<std::uint64_t> start = choose(false, horizon);
        if (!start) return false;
        try {
            inner_ = open_attempt(*start);
            inner_derotated_.clear();
        } catch (const InternalFault&) {
            inner_failures_.push_back(fec::RxError::MalformedHeader);
            search_.pass_peak(*start);
            return true;
        }
    }
    if (inner_->stage) return false;  // it waits for the frame in hand's outcome
    const std::optional<fec::RxError> failure =
        decoder_.advance_header(*inner_, inner_derotated_, samples_between(inner_->start, horizon));
    if (failure) {
        inner_failures_.push_back(*failure);
        search_.pass_peak(inner_->start);
        inner_.reset();
        return true;
    }
    if (!inner_->stage || !FrameOverlap::ends_wait(body_start(), body_end(), inner_->start)) return false;
    give_up_for_inner(results);
    return true;
}

void OfdmFrameStreamDemod::open_frame(std::uint64_t start, std::vector<Outcome>& results) {
    try {
        frame_ = open_attempt(start);
        frame_derotated_.clear();
        tone_.reset();
        tone_removed_ = false;
    } catch (const InternalFault&) {
        // A fault inside one attempt fails that frame only; the stream goes on.
        frame_.reset();
        if (overlap_.reports_failure(start, false)) results.push_back(std::unexpected(fec::RxError::MalformedHeader));
        search_.pass_peak(start);
        consume_to(start + 1);
    }
}

void OfdmFrameStreamDemod::start_waiting_for_body() {
    search_.skip_to(body_start());
    search_.probe_below(body_end());
}

void OfdmFrameStreamDemod::finish_frame(Outcome outcome, std::vector<Outcome>& results) {
    const std::uint64_t start = frame_->start;
    const bool decoded = outcome.has_value();
    const bool reported = decoded || overlap_.reports_failure(start, frame_->stage.has_value());
    if (decoded) {
        overlap_.decoded(start + span_ + outcome->consumed_samples);
    } else {
        search_.pass_peak(start);
    }
    frame_.reset();
    tone_.reset();
    if (reported) results.push_back(std::move(outcome));
    if (!decoded) {
        for (const fec::RxError error : inner_failures_) results.push_back(std::unexpected(error));
    }
    inner_failures_.clear();
    // The decoded frame's samples stay while the search passes through them; a failed one
    // consumes its first sample only, so its body is searched again.
    if (!decoded) consume_to(start + 1);
    if (inner_) promote_inner();
}

void OfdmFrameStreamDemod::give_up_for_inner(std::vector<Outcome>& results) {
    results.push_back(std::unexpected(fec::RxError::PayloadCrcMismatch));
    for (const fec::RxError error : inner_failures_) results.push_back(std::unexpected(error));
    inner_failures_.clear();
    frame_.reset();
    consume_to(inner_->start);
    promote_inner();
}

void OfdmFrameStreamDemod::promote_inner() {
    // A frame found inside another is read as found: its header gets no second reading.
    tone_.reset();
    tone_removed_ = true;
    frame_ = std::move(inner_);
    inner_.reset();
    std::swap(frame_derotated_, inner_derotated_);
    if (frame_->stage) start_waiting_for_body();
}

std::span<const Complex> OfdmFrameStreamDemod::samples_between(std::uint64_t position, std::uint64_t horizon) const {
    return samples_.from(position).first(static_cast<std::size_t>(horizon - position));
}

std::optional<std::uint64_t> OfdmFrameStreamDemod::choose(bool end_of_stream, std::uint64_t horizon) {
    const PreambleSearch::Choice choice = search_.choose(samples_, end_of_stream, horizon);
    // A decoded frame's samples go once the search has chosen a frame after it, so a stream of
    // back-to-back frames holds no more than about one frame and what has arrived after it.
    if (frame_) return choice.start;
    samples_.drop_before(choice.start ? std::min(*choice.start, overlap_.decoded_end()) : choice.keep_from);
    return choice.start;
}

FrameAttempt OfdmFrameStreamDemod::open_attempt(std::uint64_t start) {
    return decoder_.open(start, search_.record_at(start), samples_.from(start));
}

bool OfdmFrameStreamDemod::retry_without_tone(std::uint64_t start) {
    if (tone_removed_) return false;
    tone_removed_ = true;
    // Measured only now, on samples the frame in hand keeps in the buffer, so the outcome is the
    // same whenever the header fails.
    const std::uint64_t measured = std::min(start, tone_window);
    tone_ = measure_steady_tone(samples_.from(start - measured).first(measured), start - measured);
    if (!tone_) return false;
    toneless_.clear();
    frame_derotated_.clear();
    const std::span<const Complex> samples = frame_samples(start);
    try {
        frame_ = decoder_.open(start, segment_record(samples), samples);
    } catch (const InternalFault&) {
        return false;
    }
    return true;
}

std::span<const Complex> OfdmFrameStreamDemod::frame_samples(std::uint64_t start) {
    if (!tone_ || !tone_removed_) return samples_.from(start);
    const std::uint64_t next = start + toneless_.size();
    tone_->remove(next, samples_.from(next), toneless_);
    return toneless_;
}

OffsetRecord OfdmFrameStreamDemod::segment_record(std::span<const Complex> samples) const {
    const std::size_t r = preamble_.repeat_len;
    double p_re = 0.0, p_im = 0.0, energy = 0.0;
    for (std::size_t n = 0; n + r < preamble_.num_repeats * r; ++n) {
        const Complex a = samples[n], b = samples[n + r];
        p_re += double{a.re} * b.re + double{a.im} * b.im;
        p_im += double{a.re} * b.im - double{a.im} * b.re;
        energy += double{b.re} * b.re + double{b.im} * b.im;
    }
    // Held scaled by a power of two, as the search holds them.
    const int exponent = energy > 0.0 ? std::ilogb(std::max({energy, std::abs(p_re), std::abs(p_im)})) : 0;
    return {static_cast<float>(std::ldexp(p_re, -exponent)), static_cast<float>(std::ldexp(p_im, -exponent)),
            static_cast<float>(std::ldexp(energy, -exponent)), NAN, exponent, true};
}

void OfdmFrameStreamDemod::consume_to(std::uint64_t position) {
    // A frame in hand keeps its samples and those before it (they go with the frame).
    if (!frame_) samples_.drop_before(position);
    search_.consume_to(position);
}

}  // namespace kavro
