#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/dvb_t_frame.hpp"
#include "sync/dvb_t_frame_search.hpp"
#include "waveform/dvb_t_params.hpp"

// Streaming receiver of DVB-T frames of one fixed shape. Samples are buffered; whenever the
// buffer holds a frame (F = n_symbols·S samples) plus one symbol period beyond the frame start the
// guard-interval search places, that frame is decoded, and the frame search says how far to move
// on (DvbTFrameSearch). Every pass reads a fixed number of samples from the buffer's start, so the
// outcomes do not depend on how the stream was cut into chunks.

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
    std::size_t buffered() const { return samples_.size() - head_ - search_.kept(); }
    std::size_t rx_window_backoff() const { return demod_.rx_window_backoff(); }
    bool integer_cfo_correction() const { return demod_.integer_cfo_correction(); }

private:
    DvbTFrameStreamDemod(DvbTFrameDemod demod, std::uint64_t n_symbols, std::uint64_t payload_len);

    // Samples of the attempt's slice to drop.
    std::size_t advance(std::span<const Complex> slice, const Outcome& outcome);

    DvbTFrameDemod demod_;
    std::uint64_t n_symbols_ = 0;
    std::uint64_t payload_len_ = 0;
    std::size_t period_ = 0;  // S
    std::size_t cp_ = 0;
    std::size_t window_ = 0;  // F + S: a frame and a symbol of slack for the placing search and the decode
    DvbTFrameSearch search_;
    std::vector<Complex> samples_;
    std::size_t head_ = 0;  // first sample not dropped
};

}  // namespace kavro
