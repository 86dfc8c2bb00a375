#include "demodulate/dvb_t_stream.hpp"

#include <algorithm>
#include <string>

#include "core/checked_math.hpp"
#include "core/head_buffer.hpp"
#include "sync/dvb_t_gi_sync.hpp"
#include "sync/dvb_t_integer_cfo.hpp"
#include "waveform/dvb_t.hpp"
#include "waveform/dvb_t_tps.hpp"
#include "waveform/dvb_t_tps_decoder.hpp"

namespace kavro {

namespace {

// Bits s1..s22 of every sent TPS block: a sync word, then the length indicator 011111.
constexpr std::size_t sync_pattern_bits = 22;

// Symbols at the end of a decoded frame among which the next frame is always looked for: a frame
// cut short still decodes when its payload and TPS word survive.
constexpr std::size_t kept_symbols = 3;
constexpr std::size_t block_symbols = waveform::tps_word_bits;

// Quality of four prefix windows above which they are taken for symbols rather than noise (noise
// reaches it with a probability of about e^-23 with 64-sample windows, less with longer ones), the
// single-window quality that counts a window at the top of its peak as one of those symbols, and
// the one that a window near the top must reach to be looked at more closely.
constexpr float run_quality = 0.3f;
constexpr float symbol_quality = 0.25f;
constexpr float near_symbol_quality = 0.2f;
// Single-window quality below which a decoded frame's symbol no longer carries a prefix on the
// frame's grid (noise reaches it with a probability of about e^-16).
constexpr float grid_quality = 0.5f;

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

// Climbs from x (whose four-window quality is q) to the top of its prefix peak, in steps halved
// down to one sample. Prefix peaks of DVB-T symbols are steep on their late side, so the windows
// are judged at the top only.
std::size_t climb_to_peak(std::span<const Complex> iq, std::size_t cp, std::size_t x, float q, std::size_t step) {
    std::size_t top = x;
    float best = q;
    for (std::size_t s = step; s > 0; s /= 2) {
        for (bool moved = true; moved;) {
            moved = false;
            for (const std::size_t y : {top - std::min(s, top), top + s}) {
                const float qy = dvb_t_gi_quality(iq, y, cp, 4);
                if (qy > best) {
                    best = qy;
                    top = y;
                    moved = true;
                }
            }
        }
    }
    return top;
}

}  // namespace

std::string error_message(const DvbTStreamSetupError& error) {
    if (error.kind == DvbTStreamSetupError::Kind::NoSymbols) return "DvbTFrameStreamDemod: n_symbols must be at least 1";
    return "DvbTFrameStreamDemod: n_symbols (" + std::to_string(error.n_symbols) + ") is too large";
}

std::expected<DvbTFrameStreamDemod, DvbTStreamSetupError> DvbTFrameStreamDemod::create(
    const waveform::DvbTFrameParams& params, std::uint64_t n_symbols, std::uint64_t payload_len,
    bool integer_cfo_correction, std::size_t rx_window_backoff) {
    if (n_symbols == 0) return std::unexpected(DvbTStreamSetupError{DvbTStreamSetupError::Kind::NoSymbols, 0});
    if (!checked_mul(n_symbols + 1, static_cast<std::uint64_t>(params.samples_per_symbol())) || n_symbols + 1 == 0)
        return std::unexpected(DvbTStreamSetupError{DvbTStreamSetupError::Kind::TooManySymbols, n_symbols});
    auto demod = DvbTFrameDemod(params)
                     .with_integer_cfo_correction(integer_cfo_correction)
                     .with_rx_window_backoff(rx_window_backoff);
    return DvbTFrameStreamDemod(std::move(demod), n_symbols, payload_len);
}

DvbTFrameStreamDemod::DvbTFrameStreamDemod(DvbTFrameDemod demod, std::uint64_t n_symbols, std::uint64_t payload_len)
    : demod_(std::move(demod)),
      n_symbols_(n_symbols),
      payload_len_(payload_len),
      period_(demod_.params().samples_per_symbol()),
      cp_(demod_.params().cp_len()),
      frame_len_(static_cast<std::size_t>(n_symbols) * period_),
      tps_fft_(waveform::dvb_t_n_fft, cp_),
      symbol_(period_) {
    tps_fft_.set_backoff(demod_.rx_window_backoff());
}

std::vector<DvbTFrameStreamDemod::Outcome> DvbTFrameStreamDemod::feed(std::span<const Complex> iq) {
    samples_.insert(samples_.end(), iq.begin(), iq.end());
    return drain();
}

void DvbTFrameStreamDemod::clear() {
    samples_.clear();
    head_ = 0;
    kept_ = 0;
}

std::vector<DvbTFrameStreamDemod::Outcome> DvbTFrameStreamDemod::drain() {
    std::vector<Outcome> outcomes;
    // One symbol period of slack beyond the frame, for both the placing search and the decode.
    const std::size_t window = frame_len_ + period_;
    while (buffered() >= window) {
        if (kept_ > 0) {
            const std::span<const Complex> view = std::span<const Complex>(samples_).subspan(head_, kept_ + window);
            drop_front(samples_, head_, resume_point(view));
            kept_ = 0;
            continue;
        }
        const std::span<const Complex> buffer = std::span<const Complex>(samples_).subspan(head_);
        const auto sync = dvb_t_gi_sync(buffer.first(window), cp_, period_);
        if (!sync) break;
        const std::size_t t = sync->timing;
        if (buffer.size() - t < window) break;
        const std::span<const Complex> slice = buffer.subspan(t, window);
        auto outcome = demod_.decode(slice, n_symbols_, payload_len_);
        const Consumed consumed = outcome ? frame_consumed(slice, outcome->tps_bits, outcome->cfo_hz)
                                          : consumed_after(slice, outcome.error());
        drop_front(samples_, head_, t + consumed.count - consumed.kept);
        kept_ = consumed.kept;
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

bool DvbTFrameStreamDemod::aligned_but_damaged(const DvbTRxFailure& failure) const {
    // The frame's own block 0 signalled this receiver's shape: the frame was placed right.
    const auto& params = demod_.params();
    return failure.error == DvbTRxError::PayloadDecode && failure.tps && failure.tps_block == 0 &&
           failure.tps_sync_ok && failure.tps->guard == params.guard &&
           failure.tps->constellation == params.constellation && failure.tps->code_rate == params.code_rate;
}

DvbTFrameStreamDemod::Consumed DvbTFrameStreamDemod::frame_consumed(std::span<const Complex> slice,
                                                                    std::span<const std::uint8_t> bits,
                                                                    std::optional<float> cfo_hz) {
    // The next frame may start among this frame's symbols if the frame was cut short: at any
    // symbol j (not one of the frame's own block starts) whose following bits read as the start of
    // a sync pattern (they are then the next frame's TPS, which the BCH decode took for at most
    // two errors), or, off the grid, where the frame's last symbols stop carrying prefixes. One
    // symbol more is kept before the earliest, so that the next attempt can start half a symbol
    // early.
    const std::size_t n = bits.size();
    std::size_t first = n > kept_symbols ? n - kept_symbols : 0;
    for (std::size_t j = 1; j < first; ++j) {
        if (j % block_symbols == 0) continue;
        if (starts_sync_pattern(bits.subspan(j + 1, std::min(sync_pattern_bits, n - 1 - j)))) {
            first = j;
            break;
        }
    }
    while (first > 1 && dvb_t_gi_quality(slice, (first - 1) * period_, cp_, 1) < grid_quality) --first;
    if (first > 0) --first;
    kept_phase_ = first % block_symbols;
    kept_offset_bins_ = static_cast<double>(cfo_hz.value_or(0.0f)) / static_cast<double>(integer_cfo_bin_hz);
    return {frame_len_, std::min<std::size_t>(n - first, n_symbols_) * period_};
}

DvbTFrameStreamDemod::Consumed DvbTFrameStreamDemod::consumed_after(std::span<const Complex> slice,
                                                                    const DvbTRxFailure& failure) {
    if (!failure.timing) return {frame_len_, 0};  // failed before any symbol was read
    const std::size_t start = *failure.timing;
    const std::span<const std::uint8_t> bits = failure.tps_bits;
    const std::size_t n = bits.size();

    // A block start at a later symbol j of the attempt's grid: the next attempt starts half a
    // symbol before it, so that a frame a little off the grid is still entered at its start.
    if (const auto j = block_start(bits, 1, n)) return {start + *j * period_ - period_ / 2, 0};
    if (aligned_but_damaged(failure)) return frame_consumed(slice, bits, failure.cfo_hz);

    // Keep the last 22 symbols: a frame starting among them on the grid is found by the next
    // attempt. A frame starting off the grid before them was not seen by this attempt (its TPS
    // bits read as noise), so the receiver stops short of its first symbol.
    const std::size_t skip = n > sync_pattern_bits + 1 ? n - sync_pattern_bits : 1;
    const std::size_t skipped = start + skip * period_;
    const auto run = off_grid_run(slice, start, start + period_, skipped);
    return {run ? std::min(*run, skipped) : skipped, 0};
}

std::size_t DvbTFrameStreamDemod::resume_point(std::span<const Complex> view) {
    // The view starts with the kept symbols of the decoded frame, on its symbol grid. The next
    // frame starts at the frame's end unless a TPS block starts among them (the frame was cut
    // short) or a run of symbols starts among them off the grid.
    const std::size_t kept_count = kept_ / period_;
    const std::span<const std::uint8_t> bits = tps_bits(view, kept_count + sync_pattern_bits);
    if (const auto j = block_start(bits, 1, kept_count - 1, kept_phase_)) return *j * period_ - period_ / 2;
    const auto run = off_grid_run(view, 0, 0, kept_);
    return run ? std::min(*run, kept_) : kept_;
}

std::span<const std::uint8_t> DvbTFrameStreamDemod::tps_bits(std::span<const Complex> grid, std::size_t count) {
    waveform::TpsDecoder decoder(count);
    for (std::size_t l = 0; l < count && grid.size() / period_ > l; ++l) {
        remove_carrier_offset(grid.subspan(l * period_, period_), kept_offset_bins_, l * period_, symbol_);
        decoder.push_symbol(*tps_fft_.process_symbol(symbol_));
    }
    bits_.assign(decoder.bits().begin(), decoder.bits().end());
    return bits_;
}

std::optional<std::size_t> DvbTFrameStreamDemod::off_grid_run(std::span<const Complex> iq, std::size_t origin,
                                                              std::size_t from, std::size_t to) const {
    // Sample points every cp/2 samples, the grid's own points among them: one lies within a
    // quarter of a prefix of every peak's top.
    const std::size_t step = std::max<std::size_t>(cp_ / 2, 1);
    const auto symbol_at = [&](std::size_t x) { return dvb_t_gi_quality(iq, x, cp_, 1) >= symbol_quality; };
    std::size_t grid_point = static_cast<std::size_t>(-1);
    float grid_quality = 0.0f;
    for (std::size_t x = from + (step - (from - origin) % step) % step; x < to; x += step) {
        const std::size_t phase = (x - origin) % period_;
        // A run that has started by the fourth window holds a symbol there and in the two windows
        // after it: the cheapest test that passes over noise and over symbols of another period
        // (the sample point may lie a quarter of a prefix off the top).
        const auto near_symbol = [&](std::size_t m) {
            return dvb_t_gi_quality(iq, x + m * period_, cp_, 1) >= near_symbol_quality;
        };
        if (phase == 0 || !near_symbol(3) || !near_symbol(4) || !near_symbol(5)) continue;
        const float q = dvb_t_gi_quality(iq, x, cp_, 4);
        if (q < run_quality) continue;
        // The shoulder of a grid symbol's own peak is no higher than the peak.
        if (std::min(phase, period_ - phase) <= cp_) {
            const std::size_t nearest = phase <= period_ / 2 ? x - phase : x + (period_ - phase);
            if (nearest != grid_point) {
                grid_point = nearest;
                grid_quality = dvb_t_gi_quality(iq, nearest, cp_, 4);
            }
            if (q <= grid_quality) continue;
        }
        // Off the grid: from the top of the peak, find the earliest of the four windows from which
        // every later one holds a symbol (the windows before the run's first symbol hold whatever
        // came before it).
        const std::size_t top = climb_to_peak(iq, cp_, x, q, step);
        std::size_t first = 4;
        while (first > 0 && symbol_at(top + (first - 1) * period_)) --first;
        if (first == 4) continue;
        // A run of this receiver's symbols goes on for seven symbols at least; symbols of another
        // period (another guard interval) drift off its grid.
        bool run = true;
        for (std::size_t m = 4; m < first + 7 && run; ++m) run = symbol_at(top + m * period_);
        if (!run) continue;
        const std::size_t at = top + first * period_;
        // A prefix length of margin for a first window found late on its peak.
        return at > cp_ ? at - cp_ : 0;
    }
    return std::nullopt;
}

}  // namespace kavro
