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
#include "demodulate/ofdm_frame/frame_overlap.hpp"
#include "demodulate/ofdm_frame/preamble_search.hpp"
#include "demodulate/ofdm_frame/steady_tone.hpp"
#include "demodulate/ofdm_frame/stream_samples.hpp"
#include "fec/rx_error.hpp"
#include "sync/ofdm_sync.hpp"
#include "waveform/ofdm_frame/frame_link.hpp"

// The streaming frame receiver: the caller pushes samples in pieces of any size; the receiver
// keeps them, has the preamble search choose where frames start, hands each frame's samples to an
// attempt that removes its carrier offset and decodes header and payload, drops the samples it
// used and returns the outcomes in stream order. An incomplete frame waits in the buffer for later
// calls. Every decision is made on the samples up to the point the stream has reached when it
// falls due, never on later ones, so it depends on the stream alone and not on how it was cut.
//
// The receiver is in one of three states:
// - searching: no frame in hand; the search chooses a preamble start and the frame there is
//   opened (reading its header).
// - reading a header: the frame's header decodes once its symbols have arrived. If it fails, the
//   failure is reported and the search goes on past the failed choice's peak (so its body, and a
//   frame right after a false preamble, are searched again).
// - waiting for a body: the header announced the body's length. Meanwhile the search goes on
//   inside the body, on its samples alone, and one frame found there at a time has its header
//   read (an inner frame): one whose header fails is reported after the waiting frame if that
//   fails too; one whose header decodes ends the wait or waits for the waiting frame's outcome
//   (see FrameOverlap). Once the body has arrived and no inner frame's header can still decode
//   before its end, the payload is decoded; at the end of the stream (flush) the frame is given
//   up. A decoded frame is reported and its body searched again for the next frame; an inner
//   frame that is waiting becomes the frame in hand.
// A frame whose header fails beside a steady tone measured on the samples just before it is read
// again with the tone removed. A fault inside one frame's attempt fails that frame only. While no preamble is in sight the
// buffer keeps only the samples a future preamble could start in, so idle input costs bounded
// memory and time proportional to its length.

namespace kavro {

class OfdmFrameStreamDemod {
public:
    using Outcome = std::expected<RxFrame, fec::RxError>;

    static constexpr float sync_threshold = PreambleSearch::sync_threshold;

    static std::expected<OfdmFrameStreamDemod, waveform::FrameLinkError> create(const OfdmConfig& cfg,
                                                                                std::span<const fec::Mcs> entries,
                                                                                std::size_t num_repeats,
                                                                                std::size_t repeat_len,
                                                                                std::shared_ptr<fec::CodecCache> cache);

    // Appends the samples and runs one pass.
    std::vector<Outcome> feed(std::span<const Complex> iq);

    // Runs one pass as if the stream had ended: offsets whose score window reaches past the
    // samples present are judged on what has arrived, and a frame whose body has not arrived is
    // given up.
    std::vector<Outcome> flush();

    // Empties the buffer and forgets the stream; the next sample starts a new one.
    void clear();

    // The samples not yet consumed: those of decoded frames do not count.
    std::size_t buffered() const {
        return static_cast<std::size_t>(samples_.end() - std::max(samples_.base(), overlap_.decoded_end()));
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

    std::vector<Outcome> pass(bool end_of_stream);

    // One step in each state; false when it waits for samples.
    bool search(bool end_of_stream, std::vector<Outcome>& results);
    bool read_header(std::vector<Outcome>& results);
    bool wait_for_body(bool end_of_stream, std::vector<Outcome>& results);
    // One step with the inner frame, on the samples before `horizon`; false when it waits.
    bool read_inner(std::uint64_t horizon, std::vector<Outcome>& results);

    // Transitions.
    void open_frame(std::uint64_t start, std::vector<Outcome>& results);
    void start_waiting_for_body();
    void finish_frame(Outcome outcome, std::vector<Outcome>& results);
    void give_up_for_inner(std::vector<Outcome>& results);
    void promote_inner();

    std::uint64_t body_start() const { return frame_->start + span_; }
    std::uint64_t body_end() const { return body_start() + frame_->stage->body_samples; }
    // The samples from `position` up to `horizon`.
    std::span<const Complex> samples_between(std::uint64_t position, std::uint64_t horizon) const;
    // The search's choice among offsets whose samples lie before `horizon`; samples it no longer
    // needs go unless a frame is in hand.
    std::optional<std::uint64_t> choose(bool end_of_stream, std::uint64_t horizon);
    FrameAttempt open_attempt(std::uint64_t start);
    // Opens the frame in hand at `start` again with the steady tone measured before it removed;
    // false when there is none or it was removed already.
    bool retry_without_tone(std::uint64_t start);
    // The frame in hand's samples from `start`, without the steady tone measured before it.
    std::span<const Complex> frame_samples(std::uint64_t start);
    // P and E of the repeated segments at the start of `samples`, as the search forms them.
    OffsetRecord segment_record(std::span<const Complex> samples) const;
    // The samples before `position` are consumed (a frame in hand keeps its own).
    void consume_to(std::uint64_t position);

    PreambleParams preamble_;
    FrameAttemptDecoder decoder_;
    PreambleSearch search_;
    std::uint64_t span_;     // W
    std::uint64_t opening_;  // W + N + C: the samples a pass needs before it searches
    StreamSamples samples_;
    FrameOverlap overlap_;

    // The frame in hand (reading its header, or waiting for its body once it has one), an inner
    // frame found inside its body, and the failures of inner frames, reported only if the frame in
    // hand fails. Each has its derotated samples; the two buffers trade places when the inner
    // frame becomes the frame in hand, and keep their capacity from frame to frame.
    std::optional<FrameAttempt> frame_;
    std::optional<FrameAttempt> inner_;
    std::vector<fec::RxError> inner_failures_;
    std::vector<Complex> frame_derotated_;
    std::vector<Complex> inner_derotated_;
    // A steady tone measured before the frame in hand, whether it was removed, and the frame's
    // samples without it.
    std::optional<SteadyTone> tone_;
    bool tone_removed_ = false;
    std::vector<Complex> toneless_;
};

}  // namespace kavro
