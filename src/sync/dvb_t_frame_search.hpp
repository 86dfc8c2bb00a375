#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "multicarrier/symbol_fft.hpp"

// Where the next 2K-mode frame of one fixed shape (n_symbols symbols of period S = 2048 + cp,
// F = n_symbols·S samples) starts in a stream, judged from what the last attempt at a frame saw.
// A stream receiver places each attempt with the guard-interval sync, decodes the attempt's slice
// (F + S samples from the placed start) and tells the search how the attempt went; the search
// answers how many of the slice's samples to drop. Attempts are made only while no symbols are
// kept (see after_frame). Frame starts are found from two signs: a TPS block start (the bits of
// its next 22 symbols read as a sync word and the length indicator), and a run of symbols carrying
// cyclic prefixes off the attempt's symbol grid.
//
// With this, a stream entered inside a frame or interrupted by a gap loses at most the frame the
// disruption falls in, a gap shorter than a symbol loses nothing, and a decoded frame costs no
// other.

namespace kavro {

// What a failed attempt saw.
struct DvbTFailedAttempt {
    std::optional<std::size_t> timing;       // its first symbol's start in the slice; nothing if it read none
    std::span<const std::uint8_t> tps_bits;  // one per symbol read from timing on
    bool placed_right = false;               // its own first TPS block signalled the stream's frame shape
    float cfo_hz = 0.0f;                     // the carrier offset it removed
};

class DvbTFrameSearch {
public:
    // rx_window_backoff as the frame receiver's, for reading TPS bits alike.
    DvbTFrameSearch(std::size_t cp_len, std::uint64_t n_symbols, std::size_t rx_window_backoff);

    // After a frame placed right at the slice's start (decoded, or aligned but with a damaged
    // payload), with the TPS bits it read and the carrier offset it removed: the frame is consumed
    // whole, but its last symbols stay at the head of the buffer as kept symbols (at least three,
    // back to the symbol before the earliest whose bits could start the next frame's sync pattern
    // or from which the symbols stop carrying prefixes on the frame's grid). Returns the samples
    // to drop before them.
    std::size_t after_frame(std::span<const Complex> slice, std::span<const std::uint8_t> tps_bits, float cfo_hz);

    // After a failed attempt: the samples of the slice to drop. Half a symbol before a block start
    // at a later symbol of its grid; a frame placed right as after_frame; else all but its last 22
    // symbols (a frame starting among them on the grid is found by the next attempt), but never
    // past the first symbol of a run of prefixes off its grid (a frame it could not read).
    std::size_t after_failure(std::span<const Complex> slice, const DvbTFailedAttempt& attempt);

    // Samples kept aside after the last frame; 0 when none are.
    std::size_t kept() const { return kept_; }

    // With symbols kept, `view` holds them and a frame and a symbol more: the kept samples to drop
    // before the next attempt. Their TPS bits, read with the frame's carrier offset removed, show
    // whether the next frame starts among them (the frame was cut short: resume half a symbol
    // before it), and a prefix search whether a run of symbols starts among them off the grid.
    // The kept symbols are forgotten.
    std::size_t resume(std::span<const Complex> view);

    // Forgets the kept symbols.
    void clear() { kept_ = 0; }

private:
    // One TPS bit per symbol of the grid starting at grid[0], for count symbols, with the kept
    // frame's carrier offset removed.
    std::span<const std::uint8_t> tps_bits(std::span<const Complex> grid, std::size_t count);
    // For the first run of cyclic prefixes in [from, to) not on the grid origin + l·S: where an
    // attempt must start so as not to miss its first symbol. Nothing when there is none.
    std::optional<std::size_t> off_grid_run(std::span<const Complex> iq, std::size_t origin, std::size_t from,
                                            std::size_t to) const;
    std::optional<std::size_t> run_start(std::span<const Complex> iq, std::size_t x, float run_quality,
                                         std::size_t step) const;
    bool symbols_follow(std::span<const Complex> iq, std::size_t x) const;
    bool holds_symbol(std::span<const Complex> iq, std::size_t x) const;

    std::size_t period_;  // S
    std::size_t cp_;
    std::uint64_t n_symbols_;
    std::size_t frame_len_;  // F
    SymbolFft tps_fft_;
    std::vector<Complex> symbol_;  // one symbol period with the kept frame's offset removed
    std::vector<std::uint8_t> bits_;
    std::size_t kept_ = 0;
    std::size_t kept_phase_ = 0;     // the first kept symbol's index in its frame, modulo 68
    double kept_offset_bins_ = 0.0;  // the carrier offset the kept symbols' frame removed
};

}  // namespace kavro
