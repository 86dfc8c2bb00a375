#include "sync/dvb_t_frame_search.hpp"

#include <algorithm>
#include <utility>

#include "sync/dvb_t_gi_sync.hpp"
#include "sync/dvb_t_integer_cfo.hpp"
#include "waveform/dvb_t.hpp"
#include "waveform/dvb_t_tps.hpp"
#include "waveform/dvb_t_tps_decoder.hpp"

namespace kavro {

namespace {

// Bits s1..s22 of every sent TPS block: a sync word, then the length indicator 011111.
constexpr std::size_t sync_pattern_bits = 22;
constexpr std::size_t block_symbols = waveform::tps_word_bits;

// Symbols at the end of a frame among which the next frame is always looked for: a frame cut
// short still decodes when its payload and TPS word survive.
constexpr std::size_t min_kept_symbols = 3;

// Prefix-window qualities (dvb_t_gi_quality) that the thresholds below are compared with:
// - four windows from a sample point: above run_threshold they are taken for symbols rather than
//   noise (noise reaches it with a probability of about e^-23 with 64-sample windows, less with
//   longer ones);
// - one window at the top of its peak: symbol_threshold counts it as one of those symbols;
// - one window near the top: near_symbol_threshold is what it must reach to be looked at more
//   closely;
// - one window on a decoded frame's grid: below on_grid_threshold the symbol no longer carries a
//   prefix there (noise reaches it with a probability of about e^-16).
constexpr float run_threshold = 0.3f;
constexpr float symbol_threshold = 0.25f;
constexpr float near_symbol_threshold = 0.2f;
constexpr float on_grid_threshold = 0.5f;

// A run of the stream's symbols goes on for seven symbols at least; symbols of another period
// (another guard interval) drift off its grid.
constexpr std::size_t min_run_symbols = 7;

// Whether bits read as the first bits.size() (at most 22) bits of s1..s22 of a block.
bool starts_sync_pattern(std::span<const std::uint8_t> bits) {
    bool even = true, odd = true;
    for (std::size_t i = 0; i < bits.size(); ++i) {
        const unsigned want = i < 16 ? (waveform::tps_sync_even >> (15 - i)) & 1u : (0b011111u >> (21 - i)) & 1u;
        even = even && bits[i] == want;
        odd = odd && bits[i] == (i < 16 ? want ^ 1u : want);
    }
    return even || odd;
}

// The first j in [first, last] at which a TPS block starts: s1..s22 are the bits of symbols
// j+1..j+22. With own_phase given, bits[0] is symbol own_phase (modulo 68) of a frame, and that
// frame's own block starts are not counted.
std::optional<std::size_t> block_start(std::span<const std::uint8_t> bits, std::size_t first, std::size_t last,
                                       std::optional<std::size_t> own_phase = std::nullopt) {
    for (std::size_t j = first; j <= last && j + sync_pattern_bits < bits.size(); ++j)
        if ((!own_phase || (j + *own_phase) % block_symbols != 0) &&
            starts_sync_pattern(bits.subspan(j + 1, sync_pattern_bits)))
            return j;
    return std::nullopt;
}

// Climbs from x (whose four-window quality is run_quality) to the top of its prefix peak, in steps
// halved down to one sample. Prefix peaks of DVB-T symbols are steep on their late side, so the
// windows are judged at the top only.
std::size_t climb_to_peak(std::span<const Complex> iq, std::size_t cp, std::size_t x, float run_quality,
                          std::size_t step) {
    std::size_t top = x;
    float best = run_quality;
    for (std::size_t s = step; s > 0; s /= 2) {
        for (bool moved = true; moved;) {
            moved = false;
            for (const std::size_t y : {top - std::min(s, top), top + s}) {
                const float quality = dvb_t_gi_quality(iq, y, cp, 4);
                if (quality > best) {
                    best = quality;
                    top = y;
                    moved = true;
                }
            }
        }
    }
    return top;
}

}  // namespace

DvbTFrameSearch::DvbTFrameSearch(std::size_t cp_len, std::uint64_t n_symbols, std::size_t rx_window_backoff)
    : period_(waveform::dvb_t_n_fft + cp_len),
      cp_(cp_len),
      n_symbols_(n_symbols),
      frame_len_(static_cast<std::size_t>(n_symbols) * period_),
      tps_fft_(waveform::dvb_t_n_fft, cp_len),
      symbol_(period_) {
    tps_fft_.set_backoff(rx_window_backoff);
}

std::size_t DvbTFrameSearch::after_frame(std::span<const Complex> slice, std::span<const std::uint8_t> tps_bits,
                                         float cfo_hz) {
    // A symbol j (not one of the frame's own block starts) whose following bits start a sync
    // pattern: they are the next frame's TPS, which the BCH decode took for at most two errors.
    const std::size_t n = tps_bits.size();
    std::size_t first = n > min_kept_symbols ? n - min_kept_symbols : 0;
    for (std::size_t j = 1; j < first; ++j) {
        if (j % block_symbols == 0) continue;
        if (starts_sync_pattern(tps_bits.subspan(j + 1, std::min(sync_pattern_bits, n - 1 - j)))) {
            first = j;
            break;
        }
    }
    while (first > 1 && dvb_t_gi_quality(slice, (first - 1) * period_, cp_, 1) < on_grid_threshold) --first;
    // One symbol more, so that the next attempt can start half a symbol early.
    if (first > 0) --first;
    kept_phase_ = first % block_symbols;
    kept_offset_bins_ = static_cast<double>(cfo_hz) / static_cast<double>(integer_cfo_bin_hz);
    kept_ = std::min<std::size_t>(n - first, n_symbols_) * period_;
    return frame_len_ - kept_;
}

std::size_t DvbTFrameSearch::after_failure(std::span<const Complex> slice, const DvbTFailedAttempt& attempt) {
    if (!attempt.timing) return frame_len_;  // failed before any symbol was read
    const std::size_t start = *attempt.timing;
    const std::span<const std::uint8_t> bits = attempt.tps_bits;
    const std::size_t n = bits.size();

    // Half a symbol early, so that a frame a little off the grid is still entered at its start.
    if (const auto j = block_start(bits, 1, n)) return start + *j * period_ - period_ / 2;
    if (attempt.placed_right) return after_frame(slice, bits, attempt.cfo_hz);

    // A frame starting off the grid before the last 22 symbols was not seen by this attempt (its
    // TPS bits read as noise).
    const std::size_t skip = n > sync_pattern_bits + 1 ? n - sync_pattern_bits : 1;
    const std::size_t skipped = start + skip * period_;
    const auto run = off_grid_run(slice, start, start + period_, skipped);
    return run ? std::min(*run, skipped) : skipped;
}

std::size_t DvbTFrameSearch::resume(std::span<const Complex> view) {
    const std::size_t kept = std::exchange(kept_, 0);
    const std::size_t kept_count = kept / period_;
    const std::span<const std::uint8_t> bits = tps_bits(view, kept_count + sync_pattern_bits);
    if (const auto j = block_start(bits, 1, kept_count - 1, kept_phase_)) return *j * period_ - period_ / 2;
    const auto run = off_grid_run(view, 0, 0, kept);
    return run ? std::min(*run, kept) : kept;
}

std::span<const std::uint8_t> DvbTFrameSearch::tps_bits(std::span<const Complex> grid, std::size_t count) {
    waveform::TpsDecoder decoder(count);
    for (std::size_t l = 0; l < count && grid.size() / period_ > l; ++l) {
        remove_carrier_offset(grid.subspan(l * period_, period_), kept_offset_bins_, l * period_, symbol_);
        decoder.push_symbol(*tps_fft_.process_symbol(symbol_));
    }
    bits_.assign(decoder.bits().begin(), decoder.bits().end());
    return bits_;
}

std::optional<std::size_t> DvbTFrameSearch::off_grid_run(std::span<const Complex> iq, std::size_t origin,
                                                         std::size_t from, std::size_t to) const {
    // Sample points every cp/2 samples, the grid's own points among them: one lies within a
    // quarter of a prefix of every peak's top.
    const std::size_t step = std::max<std::size_t>(cp_ / 2, 1);
    std::size_t grid_point = static_cast<std::size_t>(-1);
    float grid_peak_quality = 0.0f;
    for (std::size_t x = from + (step - (from - origin) % step) % step; x < to; x += step) {
        const std::size_t phase = (x - origin) % period_;
        if (phase == 0 || !symbols_follow(iq, x)) continue;
        const float run_quality = dvb_t_gi_quality(iq, x, cp_, 4);
        if (run_quality < run_threshold) continue;
        // The shoulder of a grid symbol's own peak is no higher than the peak.
        if (std::min(phase, period_ - phase) <= cp_) {
            const std::size_t nearest = phase <= period_ / 2 ? x - phase : x + (period_ - phase);
            if (nearest != grid_point) {
                grid_point = nearest;
                grid_peak_quality = dvb_t_gi_quality(iq, nearest, cp_, 4);
            }
            if (run_quality <= grid_peak_quality) continue;
        }
        if (const auto start = run_start(iq, x, run_quality, step)) return start;
    }
    return std::nullopt;
}

bool DvbTFrameSearch::symbols_follow(std::span<const Complex> iq, std::size_t x) const {
    // A run that has started by the fourth window holds a symbol there and in the two windows after
    // it: the cheapest test that passes over noise and over symbols of another period (the sample
    // point may lie a quarter of a prefix off the top).
    for (std::size_t m = 3; m <= 5; ++m)
        if (dvb_t_gi_quality(iq, x + m * period_, cp_, 1) < near_symbol_threshold) return false;
    return true;
}

std::optional<std::size_t> DvbTFrameSearch::run_start(std::span<const Complex> iq, std::size_t x, float run_quality,
                                                      std::size_t step) const {
    // From the top of the peak, the earliest of the four windows from which every later one holds
    // a symbol (the windows before the run's first symbol hold whatever came before it).
    const std::size_t top = climb_to_peak(iq, cp_, x, run_quality, step);
    std::size_t first = 4;
    while (first > 0 && holds_symbol(iq, top + (first - 1) * period_)) --first;
    if (first == 4) return std::nullopt;
    for (std::size_t m = 4; m < first + min_run_symbols; ++m)
        if (!holds_symbol(iq, top + m * period_)) return std::nullopt;
    const std::size_t at = top + first * period_;
    // A prefix length of margin for a first window found late on its peak.
    return at > cp_ ? at - cp_ : 0;
}

bool DvbTFrameSearch::holds_symbol(std::span<const Complex> iq, std::size_t x) const {
    return dvb_t_gi_quality(iq, x, cp_, 1) >= symbol_threshold;
}

}  // namespace kavro
