#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/dvb_t_frame.hpp"
#include "waveform/dvb_t_params.hpp"

// Streaming receiver of DVB-T frames of one fixed shape. Samples are buffered; whenever the
// buffer holds a frame (F = n_symbols·S samples) plus one symbol period beyond the frame start the
// guard-interval search places, that frame is decoded and consumed. Every pass reads a fixed
// number of samples from the buffer's start, so the outcomes do not depend on how the stream
// was cut into chunks.
//
// After a failed attempt the receiver looks for the next frame start in what the attempt saw: a
// TPS sync pattern starting at a later symbol, a frame that was aligned but damaged (consumed whole),
// or else it moves on by all but the last 22 symbols, so a start found later on the grid is not
// skipped, but never past the first symbol of a run of cyclic prefixes that lies off the
// attempt's grid (a frame the attempt could not read). A stream entered inside a frame or
// interrupted by a gap thus loses at most the frame the disruption falls in, and a gap shorter
// than a symbol loses nothing.

namespace kavro {

struct DvbTStreamSetupError {
    enum class Kind : std::uint8_t { NoSymbols, TooManySymbols };
    Kind kind = Kind::NoSymbols;
    std::uint64_t n_symbols = 0;
};

std::string error_message(const DvbTStreamSetupError& error);

class DvbTFrameStreamDemod {
public:
    using Outcome = std::expected<DvbTRxFrame, DvbTRxFailure>;

    // n_symbols must be at least 1 and (n_symbols + 1)·S must fit in 64 bits.
    static std::expected<DvbTFrameStreamDemod, DvbTStreamSetupError> create(const waveform::DvbTFrameParams& params,
                                                                            std::uint64_t n_symbols,
                                                                            std::uint64_t payload_len,
                                                                            bool integer_cfo_correction,
                                                                            std::size_t rx_window_backoff);

    // Appends the samples and drains.
    std::vector<Outcome> feed(std::span<const Complex> iq);
    // Tries every frame the buffer holds, in stream order, consuming each attempt's samples.
    std::vector<Outcome> drain();
    // Empties the buffer; its storage stays allocated.
    void clear();

    std::size_t buffered() const { return samples_.size() - head_; }
    std::size_t rx_window_backoff() const { return demod_.rx_window_backoff(); }
    bool integer_cfo_correction() const { return demod_.integer_cfo_correction(); }

private:
    DvbTFrameStreamDemod(DvbTFrameDemod demod, std::uint64_t n_symbols, std::uint64_t payload_len);

    bool aligned_but_damaged(const DvbTRxFailure& failure) const;
    // Samples of the attempt's slice to drop after a failure (the slice starts at the placed t).
    std::size_t consumed_after(std::span<const Complex> slice, const DvbTRxFailure& failure) const;
    // For the first run of cyclic prefixes in [from, to) not on the grid origin + l·S: where an
    // attempt must start so as not to miss its first symbol. Nothing when there is none.
    std::optional<std::size_t> off_grid_run(std::span<const Complex> iq, std::size_t origin, std::size_t from,
                                            std::size_t to) const;

    DvbTFrameDemod demod_;
    std::uint64_t n_symbols_ = 0;
    std::uint64_t payload_len_ = 0;
    std::size_t period_ = 0;     // S
    std::size_t cp_ = 0;
    std::size_t frame_len_ = 0;  // F
    std::vector<Complex> samples_;
    std::size_t head_ = 0;       // first unconsumed sample
};

}  // namespace kavro
