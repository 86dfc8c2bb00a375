#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/constellation.hpp"
#include "fec/code_kinds.hpp"

// The transmission parameters of a DVB-T 2K frame and of a super-frame of four, the keywords that
// name them, and the fixed numerology the module exposes (prefix lengths, narrowband sample rates,
// receive-window ceiling, transmit low-pass sizing against the 852-of-2048 band edge).

namespace kavro::waveform {

struct DvbTKeywordError {
    enum class Kind : std::uint8_t { Guard, Constellation, CodeRate, NbBandwidth, NotDvbTConstellation };
    Kind kind = Kind::Guard;
    std::string given;                                     // the refused keyword
    ConstellationOrder order = ConstellationOrder::Bpsk;  // NotDvbTConstellation
};

// The ValueError text, the refused keyword written as a quoted string literal.
std::string error_message(const DvbTKeywordError& error);

std::expected<std::uint8_t, DvbTKeywordError> parse_guard(std::string_view keyword);
std::expected<ConstellationOrder, DvbTKeywordError> parse_dvb_t_constellation(std::string_view keyword);
std::expected<std::uint8_t, DvbTKeywordError> parse_rate(std::string_view keyword);
std::expected<std::uint8_t, DvbTKeywordError> parse_nb_bandwidth(std::string_view keyword);

// Keywords back from the indices (indices are taken modulo their table, which valid records
// never need).
std::string_view guard_str(std::uint8_t guard);
std::string_view rate_str(std::uint8_t code_rate);
std::expected<std::string_view, DvbTKeywordError> constellation_str(ConstellationOrder order);

struct DvbTFrameParams {
    std::uint8_t guard = 0;                                // 0..3: "1/32", "1/16", "1/8", "1/4"
    ConstellationOrder constellation = ConstellationOrder::Qpsk;  // Qpsk, Qam16 or Qam64
    std::uint8_t code_rate = 0;                            // 0..4: "1/2" .. "7/8"
    std::uint8_t frame_number = 0;                         // the whole byte; two bits are signalled
    std::uint8_t cell_id = 0;

    // Parses guard, then constellation, then code rate; the first refused keyword wins.
    static std::expected<DvbTFrameParams, DvbTKeywordError> create(std::string_view guard,
                                                                   std::string_view constellation,
                                                                   std::string_view code_rate,
                                                                   std::uint8_t frame_number = 0,
                                                                   std::uint8_t cell_id = 0);

    std::size_t cp_len() const;
    std::size_t samples_per_symbol() const { return 2048 + cp_len(); }
    unsigned bits_per_cell() const { return kavro::bits_per_cell(constellation); }
    fec::PunctureRate puncture_rate() const { return static_cast<fec::PunctureRate>(code_rate); }

    friend constexpr bool operator==(const DvbTFrameParams&, const DvbTFrameParams&) = default;
};

// DvbTFrameParams(guard="1/8", constellation="qpsk", code_rate="1/2", frame_number=0, cell_id=0)
std::string repr(const DvbTFrameParams& params);

// Four consecutive frames carrying one payload and a 16-bit cell id: frame i has frame number i
// and the cell id's high byte (frames 0 and 2) or low byte (frames 1 and 3).
inline constexpr std::size_t super_frame_frames = 4;

struct DvbTSuperFrameParams {
    std::uint16_t cell_id = 0;
    std::uint8_t guard = 0;
    ConstellationOrder constellation = ConstellationOrder::Qpsk;
    std::uint8_t code_rate = 0;

    // Parses guard, then constellation, then code rate, like DvbTFrameParams.
    static std::expected<DvbTSuperFrameParams, DvbTKeywordError> create(std::string_view guard,
                                                                        std::string_view constellation,
                                                                        std::string_view code_rate,
                                                                        std::uint16_t cell_id = 0);

    // The parameters of frame i (0..3).
    DvbTFrameParams frame_params(std::size_t i) const;

    friend constexpr bool operator==(const DvbTSuperFrameParams&, const DvbTSuperFrameParams&) = default;
};

// Module functions.
std::expected<std::size_t, DvbTKeywordError> dvb_t_cp_len(std::string_view guard);
std::expected<float, DvbTKeywordError> nb_bandwidth_fs(std::string_view mode);
std::expected<double, DvbTKeywordError> nb_bandwidth_occupied_hz(std::string_view mode);

// The largest FFT-window back-off a receiver may use: the scattered pilots sample the channel
// every 12 carriers, so a phase ramp steeper than 2048 / (2 x 12) samples would alias.
inline constexpr std::size_t dvb_t_max_rx_window_backoff_samples = 85;
std::size_t dvb_t_max_rx_window_backoff();

// Half the occupied band, in carriers: the transmit low-pass edge sits at 852 of 2048 bins.
inline constexpr std::uint32_t dvb_t_occupied_half_carriers = 852;

std::uint64_t dvb_t_tx_lowpass_suggested_taps(float stopband_db);
std::size_t dvb_t_tx_lowpass_group_delay(std::size_t num_taps);
std::expected<bool, DvbTKeywordError> dvb_t_tx_lowpass_fits_guard(std::string_view guard, std::size_t num_taps,
                                                                  std::size_t roll_off, std::size_t backoff);

}  // namespace kavro::waveform
