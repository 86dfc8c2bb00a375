#include "demodulate/dvb_t_stream.hpp"

#include <algorithm>
#include <string>

#include "core/head_buffer.hpp"
#include "sync/dvb_t_gi_sync.hpp"
#include "waveform/dvb_t.hpp"
#include "waveform/dvb_t_tps.hpp"

namespace kavro {

namespace {

// Bits s1..s22 of every sent TPS block: a sync word, then the length indicator 011111.
constexpr std::size_t sync_pattern_bits = 22;

bool reads_sync_pattern(std::span<const std::uint8_t> s1_to_s22) {
    unsigned sync = 0, length = 0;
    for (std::size_t i = 0; i < 16; ++i) sync = (sync << 1) | s1_to_s22[i];
    for (std::size_t i = 16; i < sync_pattern_bits; ++i) length = (length << 1) | s1_to_s22[i];
    return (sync == waveform::tps_sync_even || sync == waveform::tps_sync_odd) && length == 0b011111u;
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
    std::uint64_t span = 0;
    if (__builtin_mul_overflow(n_symbols + 1, static_cast<std::uint64_t>(params.samples_per_symbol()), &span) ||
        n_symbols + 1 == 0)
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
      frame_len_(static_cast<std::size_t>(n_symbols) * period_) {}

std::vector<DvbTFrameStreamDemod::Outcome> DvbTFrameStreamDemod::feed(std::span<const Complex> iq) {
    samples_.insert(samples_.end(), iq.begin(), iq.end());
    return drain();
}

void DvbTFrameStreamDemod::clear() {
    samples_.clear();
    head_ = 0;
}

std::vector<DvbTFrameStreamDemod::Outcome> DvbTFrameStreamDemod::drain() {
    std::vector<Outcome> outcomes;
    const std::size_t cp = period_ - waveform::dvb_t_n_fft;
    // One symbol period of slack beyond the frame, for both the placing search and the decode.
    const std::size_t window = frame_len_ + period_;
    while (buffered() >= window) {
        const std::span<const Complex> buffer = std::span<const Complex>(samples_).subspan(head_);
        const auto sync = dvb_t_gi_sync(buffer.first(window), cp, period_);
        if (!sync) break;
        const std::size_t t = sync->timing;
        if (buffer.size() - t < window) break;
        auto outcome = demod_.decode(buffer.subspan(t, window), n_symbols_, payload_len_);
        const std::size_t consumed = t + (outcome ? frame_len_ : consumed_after(outcome.error()));
        drop_front(samples_, head_, consumed);
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

std::size_t DvbTFrameStreamDemod::consumed_after(const DvbTRxFailure& failure) const {
    if (!failure.timing) return frame_len_;  // failed before any symbol was read
    const std::size_t start = *failure.timing;
    const std::span<const std::uint8_t> bits = failure.tps_bits;
    const std::size_t n = bits.size();

    // A block start at a later symbol j: its s1..s22 are the bits of symbols j+1..j+22.
    for (std::size_t j = 1; j + sync_pattern_bits < n; ++j)
        if (reads_sync_pattern(bits.subspan(j + 1, sync_pattern_bits))) return start + j * period_;

    // Aligned but damaged: the frame's own block 0 signalled this receiver's shape.
    const auto& params = demod_.params();
    if (failure.error == DvbTRxError::PayloadDecode && failure.tps && failure.tps_block == 0 && failure.tps_sync_ok &&
        failure.tps->guard == params.guard && failure.tps->constellation == params.constellation &&
        failure.tps->code_rate == params.code_rate)
        return frame_len_;

    // Keep the last 22 symbols: a frame starting among them is found by the next attempt.
    const std::size_t skip = n > sync_pattern_bits + 1 ? n - sync_pattern_bits : 1;
    return start + skip * period_;
}

}  // namespace kavro
