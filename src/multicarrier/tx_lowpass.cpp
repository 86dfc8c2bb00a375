#include "multicarrier/tx_lowpass.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "dsp/fir_design.hpp"
#include "dsp/fir_filter.hpp"

namespace kavro {

namespace {

// Kaiser's length estimate N ≈ (A - 8) / (14.36·Δf) solved for Δf (or N) with A >= 21 dB.
constexpr float kaiser_length_factor = 14.36f;

float sizing_attenuation(float stopband_db) { return stopband_db > 21.0f ? stopband_db : 21.0f; }

float band_edge(std::uint32_t occupied_half_carriers, std::size_t n_fft) {
    return static_cast<float>(occupied_half_carriers) / static_cast<float>(std::max<std::size_t>(n_fft, 1));
}

// Shortest text that reads back as the same float, in plain notation ("400", "300.5", "inf").
std::string float_text(float value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

}  // namespace

std::string error_message(const TxLowpassLimitError& error) {
    switch (error.kind) {
        case TxLowpassLimitError::Kind::TooManyTaps:
            return "with_tx_lowpass: num_taps must not exceed 4095 (got " + std::to_string(error.num_taps) + ")";
        case TxLowpassLimitError::Kind::StopbandTooHigh:
            return "with_tx_lowpass: stopband_db must not exceed 300 (got " + float_text(error.stopband_db) + ")";
    }
    return "with_tx_lowpass: invalid filter";
}

std::expected<void, TxLowpassLimitError> check_tx_lowpass_limits(std::size_t num_taps, float stopband_db) {
    if (num_taps > max_tx_lowpass_taps) return std::unexpected(TxLowpassLimitError{TxLowpassLimitError::Kind::TooManyTaps, num_taps, 0.0f});
    if (stopband_db > max_tx_lowpass_stopband_db)
        return std::unexpected(TxLowpassLimitError{TxLowpassLimitError::Kind::StopbandTooHigh, 0, stopband_db});
    return {};
}

void TxLowpass::apply(std::span<Complex> samples) const {
    const std::vector<float> taps = dsp::kaiser_lowpass(num_taps, cutoff, stopband_db);
    dsp::filter_centred_in_place(taps, samples);
}

float tx_lowpass_cutoff(std::size_t num_taps, float stopband_db, std::uint32_t occupied_half_carriers,
                        std::size_t n_fft) {
    const float a = sizing_attenuation(stopband_db);
    const auto taps = static_cast<float>(dsp::lowpass_tap_count(num_taps));
    const float transition = (a - 8.0f) / (kaiser_length_factor * taps);
    const float edge = band_edge(occupied_half_carriers, n_fft);
    if (edge + transition / 2.0f <= 0.5f - transition / 2.0f) return edge + transition / 2.0f;
    return (edge + 0.5f) / 2.0f;
}

std::uint64_t tx_lowpass_suggested_taps(float stopband_db, std::uint32_t occupied_half_carriers, std::size_t n_fft) {
    const float a = sizing_attenuation(stopband_db);
    const float gap = std::max(0.5f - band_edge(occupied_half_carriers, n_fft), 0.0001f);
    const float length = std::max(std::ceil((a - 8.0f) / (gap * kaiser_length_factor)), 3.0f);
    // 2^64 is exactly representable; anything at or above it (+inf included) saturates.
    constexpr float limit = 18446744073709551616.0f;
    const std::uint64_t taps =
        length >= limit ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(length);
    return taps | 1u;
}

std::size_t tx_lowpass_group_delay(std::size_t num_taps) { return dsp::lowpass_group_delay(num_taps); }

bool tx_lowpass_fits_guard(std::size_t num_taps, std::size_t roll_off, std::size_t cp_len,
                           std::optional<std::size_t> backoff) {
    const std::size_t b = backoff.value_or(cp_len >> 1);
    const std::size_t after = b > cp_len ? 0 : cp_len - b;
    const std::size_t slack = std::min(b, after);
    const std::size_t delay = dsp::lowpass_group_delay(num_taps);
    const std::size_t reach =
        roll_off > std::numeric_limits<std::size_t>::max() - delay ? std::numeric_limits<std::size_t>::max()
                                                                   : roll_off + delay;
    return reach <= slack;
}

}  // namespace kavro
