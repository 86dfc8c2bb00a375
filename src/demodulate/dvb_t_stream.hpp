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
#include "multicarrier/symbol_fft.hpp"
#include "waveform/dvb_t_params.hpp"

// Streaming receiver of DVB-T frames of one fixed shape. Samples are buffered; whenever the
// buffer holds a frame (F = n_symbols·S samples) plus one symbol period beyond the frame start the
// guard-interval search places, that frame is decoded and consumed. Every pass reads a fixed
// number of samples from the buffer's start, so the outcomes do not depend on how the stream
// was cut into chunks.
//
// A decoded frame (or one that was aligned but damaged) is consumed whole, but its last symbols
// are kept aside: at least three, and back to the earliest symbol whose TPS bits, as the frame
// read them, could be the start of the next frame's, or from which the symbols stopped carrying
// prefixes on the frame's grid. Once a frame and a symbol more have arrived after them, their TPS
// bits, read with the frame's carrier offset removed, show whether the next frame starts among
// them (the decoded frame was cut short) and a prefix search whether a run of symbols starts among
// them off the frame's grid; if so, the receiver resumes there.
//
// After a failed attempt the receiver looks for the next frame start in what the attempt saw: a
// TPS sync pattern starting at a later symbol, a frame that was aligned but damaged (consumed as
// a decoded one), or else it moves on by all but the last 22 symbols, so a start found later on
// the grid is not skipped, but never past the first symbol of a run of cyclic prefixes that lies
// off the attempt's grid (a frame the attempt could not read). A stream entered inside a frame or
// interrupted by a gap thus loses at most the frame the disruption falls in, a gap shorter than
// a symbol loses nothing, and a frame that decoded costs no other.

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

    // Samples received and not yet consumed; those kept aside after a decoded frame are consumed.
    std::size_t buffered() const { return samples_.size() - head_ - kept_; }
    std::size_t rx_window_backoff() const { return demod_.rx_window_backoff(); }
    bool integer_cfo_correction() const { return demod_.integer_cfo_correction(); }

private:
    DvbTFrameStreamDemod(DvbTFrameDemod demod, std::uint64_t n_symbols, std::uint64_t payload_len);

    // Samples of an attempt's slice (which starts at the placed t) to consume, the last `kept` of
    // them kept aside.
    struct Consumed {
        std::size_t count = 0;
        std::size_t kept = 0;
    };
    // A frame placed right (decoded, or aligned but damaged) at the slice's start, with the TPS
    // bits it read and the carrier offset it removed.
    Consumed frame_consumed(std::span<const Complex> slice, std::span<const std::uint8_t> bits,
                            std::optional<float> cfo_hz);
    Consumed consumed_after(std::span<const Complex> slice, const DvbTRxFailure& failure);
    bool aligned_but_damaged(const DvbTRxFailure& failure) const;
    // Samples of the kept symbols to drop before the next attempt; view holds the kept symbols
    // and a frame and a symbol more.
    std::size_t resume_point(std::span<const Complex> view);
    // One TPS bit per symbol of the grid starting at grid[0], for count symbols, with the kept
    // frame's carrier offset removed.
    std::span<const std::uint8_t> tps_bits(std::span<const Complex> grid, std::size_t count);
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
    SymbolFft tps_fft_;
    std::vector<Complex> symbol_;  // one symbol period with the kept frame's offset removed
    std::vector<std::uint8_t> bits_;
    std::vector<Complex> samples_;
    std::size_t head_ = 0;       // first sample not dropped
    std::size_t kept_ = 0;       // samples from head_ on kept aside after a decoded frame
    std::size_t kept_phase_ = 0;  // the first kept symbol's index in its frame, modulo 68
    double kept_offset_bins_ = 0.0;  // the carrier offset the kept symbols' frame removed
};

}  // namespace kavro
