#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/ofdm_frame/frame_attempt.hpp"
#include "demodulate/ofdm_frame/frame_body_decoder.hpp"
#include "demodulate/ofdm_frame/preamble_search.hpp"
#include "demodulate/ofdm_frame/stream_samples.hpp"
#include "fec/rx_error.hpp"
#include "sync/ofdm_sync.hpp"
#include "waveform/ofdm_frame/frame_link.hpp"

// The streaming frame receiver: the caller pushes samples in pieces of any size; the receiver
// keeps them, has the preamble search choose where frames start, hands each frame's samples to an
// attempt that removes its carrier offset and decodes header and payload, drops the samples it
// used and returns the attempts in stream order. An incomplete frame waits in the buffer for later
// calls. Every decision depends on the stream alone, not on how it was cut into pieces.
//
// A pass repeats: let the search choose a preamble start and attempt the frame there. A decoded
// frame consumes everything up to its last symbol, but its last third is set aside and searched
// again (probed first, as a body is): a frame cut short can still decode, and the next frame then
// starts inside it. A candidate there whose header fails is taken for part of the decoded frame
// and not reported. A failed attempt consumes its first sample and the search goes on past its
// peak, so its body (and a frame that follows a false preamble closely) is searched again. While a
// decoded header waits for its body the search goes on inside that body: a frame whose header
// decodes there before the body's last third ends the wait (the pending frame is reported as a
// payload that did not decode, followed by the failures found inside it), and so does the end of
// the stream (flush); one in the last third waits for the pending frame's outcome. A fault
// inside one attempt fails that frame only. While no preamble is in sight the buffer keeps only
// the samples a future preamble could start in, so idle input costs bounded memory and time
// proportional to its length.

namespace kavro {

class OfdmFrameStreamDemod {
public:
    using Attempt = std::expected<RxFrame, fec::RxError>;

    static constexpr float sync_threshold = PreambleSearch::sync_threshold;

    static std::expected<OfdmFrameStreamDemod, waveform::FrameLinkError> create(const OfdmConfig& cfg,
                                                                                std::span<const fec::Mcs> entries,
                                                                                std::size_t num_repeats,
                                                                                std::size_t repeat_len,
                                                                                std::shared_ptr<fec::CodecCache> cache);

    // Appends the samples and runs one pass.
    std::vector<Attempt> feed(std::span<const Complex> iq);

    // Runs one pass as if the stream had ended: offsets whose score window reaches past the
    // samples present are judged on what has arrived.
    std::vector<Attempt> flush();

    // Empties the buffer and forgets the stream; the next sample starts a new one.
    void clear();

    // The samples not yet consumed: those set aside after a decoded frame do not count.
    std::size_t buffered() const {
        return static_cast<std::size_t>(samples_.end() - std::max(samples_.base(), set_aside_end_));
    }

    const waveform::FrameLink& link() const { return decoder_.link(); }
    const PreambleParams& preamble() const { return preamble_; }

    // What the receiver has done so far, for bounding its work by the samples it was given.
    struct WorkCount {
        std::uint64_t offsets_searched = 0;
        std::uint64_t samples_derotated = 0;
        std::uint64_t headers_decoded = 0;
    };
    WorkCount work() const {
        return {search_.offsets_searched(), decoder_.samples_derotated(), decoder_.headers_decoded()};
    }

private:
    OfdmFrameStreamDemod(waveform::FrameLink link, PreambleParams preamble);

    std::vector<Attempt> pass(bool end_of_stream);
    bool advance_attempt(bool end_of_stream, std::vector<Attempt>& results);
    bool probe(std::uint64_t frame_end, std::vector<Attempt>& results);
    void finish_attempt(Attempt outcome, std::vector<Attempt>& results);
    // The search goes on inside the announced body of a frame whose header decoded.
    void search_inside(const FrameAttempt& attempt);
    // The attempt at `start` failed: the search goes on past its peak.
    void fail_at(std::uint64_t start);
    bool set_aside(std::uint64_t start) const { return start < set_aside_end_; }
    // Where the last third of a frame from `start` to `end` begins (never inside its preamble span).
    std::uint64_t last_third(std::uint64_t start, std::uint64_t end) const {
        return std::max(end - (end - start) / 3, start + span_);
    }
    // The search's choice; samples it no longer needs go unless a frame is pending.
    std::optional<std::uint64_t> choose(bool end_of_stream);
    FrameAttempt open_attempt(std::uint64_t start);
    void consume_to(std::uint64_t position);

    PreambleParams preamble_;
    FrameAttemptDecoder decoder_;
    PreambleSearch search_;
    std::uint64_t span_;     // W
    std::uint64_t opening_;  // W + N + C: the samples a pass needs before it searches
    StreamSamples samples_;
    std::uint64_t set_aside_end_ = 0;  // the end of the last decoded frame

    // The oldest attempt, and a candidate probed inside its body while the body is arriving, with
    // their derotated samples; failures of such probes wait for the pending frame's outcome.
    std::optional<FrameAttempt> attempt_;
    std::optional<FrameAttempt> probe_;
    std::vector<fec::RxError> deferred_;
    std::vector<Complex> derotated_;
    std::vector<Complex> probe_derotated_;
};

}  // namespace kavro
