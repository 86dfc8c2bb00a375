#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "core/complex.hpp"

// The transmit low-pass: a Kaiser-windowed linear-phase FIR designed against the occupied band
// edge and run without delay over a whole assembled transmission, and the sizing rules that keep
// its reach (the group delay) inside the part of each cyclic prefix a receiver discards.

namespace kavro {

struct TxLowpass {
    std::size_t num_taps = 0;  // as requested; made odd and at least 3 when designed
    float cutoff = 0.0f;       // cycles per sample
    float stopband_db = 0.0f;  // as requested

    // Designs the taps afresh and filters the buffer in place; its length does not change.
    void apply(std::span<Complex> samples) const;

    friend bool operator==(const TxLowpass&, const TxLowpass&) = default;
};

// The largest filter a with_tx_lowpass builder accepts: longer filters cost memory and time out of
// all proportion, and an infinite stop band turns the frame into NaN. NaN, -inf and anything
// below 21 dB stay allowed (they size the filter as 21 dB).
inline constexpr std::size_t max_tx_lowpass_taps = 4095;
inline constexpr float max_tx_lowpass_stopband_db = 300.0f;

struct TxLowpassLimitError {
    enum class Kind : std::uint8_t { TooManyTaps, StopbandTooHigh };
    Kind kind = Kind::TooManyTaps;
    std::size_t num_taps = 0;
    float stopband_db = 0.0f;

    friend bool operator==(const TxLowpassLimitError&, const TxLowpassLimitError&) = default;
};

// "with_tx_lowpass: num_taps must not exceed 4095 (got ...)" and the stop-band counterpart.
std::string error_message(const TxLowpassLimitError& error);

// Taps first, then the stop band (compared in single precision).
std::expected<void, TxLowpassLimitError> check_tx_lowpass_limits(std::size_t num_taps, float stopband_db);

// The cutoff for a band edge of occupied_half_carriers / max(n_fft, 1): the edge plus half the
// Kaiser transition width when the whole transition fits below half the sample rate, else
// halfway between the edge and half the sample rate. Sizing uses at least 21 dB (NaN gives 21).
float tx_lowpass_cutoff(std::size_t num_taps, float stopband_db, std::uint32_t occupied_half_carriers,
                        std::size_t n_fft);

// The odd tap count whose transition width fills the unoccupied band above the edge (at least 3;
// saturates at the largest integer instead of overflowing).
std::uint64_t tx_lowpass_suggested_taps(float stopband_db, std::uint32_t occupied_half_carriers, std::size_t n_fft);

// max(num_taps, 3) / 2: the filter's reach in samples on either side.
std::size_t tx_lowpass_group_delay(std::size_t num_taps);

// Whether roll_off + group delay fits in min(b, cp_len - b), the prefix samples a receiver with
// its FFT window b samples into the prefix discards on both sides (b defaults to cp_len / 2).
bool tx_lowpass_fits_guard(std::size_t num_taps, std::size_t roll_off, std::size_t cp_len,
                           std::optional<std::size_t> backoff);

}  // namespace kavro
