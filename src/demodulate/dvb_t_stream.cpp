#include "demodulate/dvb_t_stream.hpp"

#include <string>

#include "core/checked_math.hpp"
#include "core/head_buffer.hpp"
#include "sync/dvb_t_gi_sync.hpp"

namespace kavro {

namespace {

// The frame's own first TPS block signalled the receiver's shape: the frame was placed right, only
// its payload failed.
bool placed_right(const DvbTRxFailure& failure, const waveform::DvbTFrameParams& params) {
    return failure.error == DvbTRxError::PayloadDecode && failure.tps && failure.tps_block == 0 &&
           failure.tps_sync_ok && failure.tps->guard == params.guard &&
           failure.tps->constellation == params.constellation && failure.tps->code_rate == params.code_rate;
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
      window_(static_cast<std::size_t>(n_symbols + 1) * period_),
      search_(cp_, n_symbols, demod_.rx_window_backoff()) {}

std::vector<DvbTFrameStreamDemod::Outcome> DvbTFrameStreamDemod::feed(std::span<const Complex> iq) {
    samples_.insert(samples_.end(), iq.begin(), iq.end());
    return drain();
}

void DvbTFrameStreamDemod::clear() {
    samples_.clear();
    head_ = 0;
    search_.clear();
}

std::vector<DvbTFrameStreamDemod::Outcome> DvbTFrameStreamDemod::drain() {
    std::vector<Outcome> outcomes;
    while (buffered() >= window_) {
        const std::span<const Complex> buffer = std::span<const Complex>(samples_).subspan(head_);
        if (const std::size_t kept = search_.kept(); kept > 0) {
            drop_front(samples_, head_, search_.resume(buffer.first(kept + window_)));
            continue;
        }
        const auto sync = dvb_t_gi_sync(buffer.first(window_), cp_, period_);
        if (!sync) break;
        const std::size_t t = sync->timing;
        if (buffer.size() - t < window_) break;
        const std::span<const Complex> slice = buffer.subspan(t, window_);
        auto outcome = demod_.decode(slice, n_symbols_, payload_len_);
        drop_front(samples_, head_, t + advance(slice, outcome));
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

std::size_t DvbTFrameStreamDemod::advance(std::span<const Complex> slice, const Outcome& outcome) {
    if (outcome) return search_.after_frame(slice, outcome->tps_bits, outcome->cfo_hz.value_or(0.0f));
    const DvbTRxFailure& failure = outcome.error();
    return search_.after_failure(slice, {failure.timing, failure.tps_bits, placed_right(failure, demod_.params()),
                                         failure.cfo_hz.value_or(0.0f)});
}

}  // namespace kavro
