#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "fec/chain/chain_settings.hpp"
#include "fec/code_kinds.hpp"
#include "fec/frame.hpp"
#include "fec/settings.hpp"
#include "fec/settings_parse.hpp"
#include "multicarrier/carrier_plan.hpp"
#include "multicarrier/tx_lowpass.hpp"

// The one description of an OFDM link: the waveform (carrier plan, sample rate, RF frequency,
// gain, constellation) and every setting of the frame link's coding chain, the optional transmit
// low-pass and the receiver's FFT-window back-off. Validated on construction and never changed
// afterwards: every with_ builder returns a new configuration and leaves its source as it was.

namespace kavro {

// An array argument as the caller handed it: its items, or the mark that it was not contiguous
// (or misaligned) and so cannot be read in place. Whether that matters is decided in the order
// of the construction checks.
template <class T>
struct ArrayArg {
    std::span<const T> items;
    bool contiguous = true;

    ArrayArg() = default;
    template <class Range>
        requires std::convertible_to<Range, std::span<const T>>
    ArrayArg(Range&& range) : items(std::forward<Range>(range)) {}
    static ArrayArg not_contiguous() {
        ArrayArg arg;
        arg.contiguous = false;
        return arg;
    }
};

struct OfdmConfigError {
    enum class Kind : std::uint8_t {
        ArrayNotContiguous,       // TypeError, the binding frame's text
        PilotLengthMismatch,      // a = indices, b = values
        EdgeGuardWithData,
        NFftTooLarge,             // a = n_fft
        NFftZero,
        Plan,                     // plan
        Keyword,                  // keyword
        InterleaverTooLarge,      // got = rows x cols
        ConvInterleaverTooLarge,  // got = (branches - 1) x branches x depth
        TxLowpassLimit,           // tx_lowpass
        PerFrameSeedNeedsHeader,
        InterleaverZeroSize,
        BchZeroT,
        ReedSolomonParameters,
    };
    explicit OfdmConfigError(Kind kind_) : kind(kind_) {}

    Kind kind;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    TxLowpassLimitError tx_lowpass{};
    std::string got;  // an exact decimal product that may not fit 64 bits
    CarrierPlanError plan{};
    fec::KeywordError keyword{};
};

// The exact user-visible text (ValueError, except ArrayNotContiguous).
std::string error_message(const OfdmConfigError& error);

// True for the one error the binding raises as TypeError rather than ValueError.
bool is_type_error(const OfdmConfigError& error);

// A cyclic prefix longer than the symbol, which a configuration may hold but the modulator and
// the frame link refuse.
struct OfdmModError {
    std::size_t cp_len = 0;
    std::size_t n_fft = 0;
};

std::string error_message(const OfdmModError& error);

class OfdmConfig {
public:
    static constexpr std::size_t max_n_fft = std::size_t{1} << 24;
    static constexpr std::uint64_t max_interleaver_size = std::uint64_t{1} << 24;

    // Checks, first failure wins: pilot-index then pilot-value array contiguous; equal pilot
    // lengths; constellation keyword; data array contiguous; no data carriers alongside an edge
    // guard; n_fft at most 2^24; the plan (pilots appended after the data, or pilots then the
    // contiguous span for the edge guard) validated; n_fft at least 1.
    static std::expected<OfdmConfig, OfdmConfigError> create(
        std::size_t n_fft, std::size_t cp_len, ArrayArg<std::int32_t> data_carriers,
        ArrayArg<std::int32_t> pilot_carrier_indices, ArrayArg<Complex> pilot_carrier_values, float fs,
        float rf_hz, float gain, std::string_view constellation, std::optional<std::size_t> edge_guard);

    // A configuration around an already built plan (its roll-off kept), every coding setting at
    // its default; the plan is checked like a constructed one.
    static std::expected<OfdmConfig, OfdmConfigError> from_plan(CarrierPlan plan, float fs, float rf_hz, float gain,
                                                                ConstellationOrder constellation);

    // Builders.
    std::expected<OfdmConfig, OfdmConfigError> with_inner_fec(std::string_view kind, std::string_view code = "") const;
    std::expected<OfdmConfig, OfdmConfigError> with_outer_fec(std::string_view kind, std::size_t a = 0,
                                                              std::size_t b = 0) const;
    std::expected<OfdmConfig, OfdmConfigError> with_scrambler(std::uint32_t poly, std::uint8_t width,
                                                              std::uint32_t seed = 1, bool per_frame_random = false,
                                                              std::string_view position = "before_outer") const;
    OfdmConfig with_dvb_t_scrambler() const;
    std::expected<OfdmConfig, OfdmConfigError> with_interleaver(std::string_view stage, std::size_t rows,
                                                                std::size_t cols) const;
    std::expected<OfdmConfig, OfdmConfigError> with_conv_interleaver(std::string_view stage,
                                                                     std::size_t branches = 12,
                                                                     std::size_t depth = 17) const;
    std::expected<OfdmConfig, OfdmConfigError> with_payload_crc(std::string_view kind) const;
    std::expected<OfdmConfig, OfdmConfigError> with_header_crc(std::string_view kind) const;
    std::expected<OfdmConfig, OfdmConfigError> with_ldpc_decode_rule(std::string_view kind, float scale = 0.75f) const;
    std::expected<OfdmConfig, OfdmConfigError> with_header_format(std::string_view kind) const;
    OfdmConfig with_symbol_window(std::size_t roll_off) const;
    OfdmConfig with_rx_window_backoff(std::size_t backoff) const;
    // Refuses more than 4095 taps and a stop band above 300 dB (+inf included); NaN and -inf
    // are kept and size the filter as 21 dB.
    std::expected<OfdmConfig, OfdmConfigError> with_tx_lowpass(std::size_t num_taps, float stopband_db = 60.0f) const;

    // Transmit low-pass sizing against this plan.
    std::uint64_t tx_lowpass_suggested_taps(float stopband_db = 60.0f) const;
    std::size_t tx_lowpass_group_delay(std::size_t num_taps) const;
    bool tx_lowpass_fits_guard(std::size_t num_taps, std::size_t roll_off = 0,
                               std::optional<std::size_t> backoff = std::nullopt) const;

    // The frame-layer consistency checks (seed versus header, interleaver sizes, BCH t,
    // Reed-Solomon sizes), first failure wins.
    std::expected<void, OfdmConfigError> validate_frame() const;

    // Properties.
    std::size_t bits_per_ofdm_symbol() const;
    std::size_t samples_per_ofdm_symbol() const;  // n_fft + cp_len, saturating
    std::uint32_t occupied_half_carriers() const;

    // Fields.
    const CarrierPlan& plan() const { return plan_; }
    std::size_t n_fft() const { return plan_.n_fft; }
    std::size_t cp_len() const { return plan_.cp_len; }
    float fs() const { return fs_; }
    float rf_hz() const { return rf_hz_; }
    float gain() const { return gain_; }
    ConstellationOrder constellation() const { return constellation_; }
    const std::optional<TxLowpass>& tx_lowpass() const { return tx_lowpass_; }
    std::size_t rx_window_backoff() const { return rx_window_backoff_; }
    // The payload's coding chain (its crc is the payload CRC); a frame's ladder entry brings the
    // outer and inner codes the frame is sent with.
    const fec::ChainSettings& chain_settings() const { return chain_; }
    fec::CrcKind header_crc() const { return header_crc_; }
    fec::HeaderFormat header_format() const { return header_format_; }

    // Every field compared; floats as floats, so a NaN anywhere makes configurations unequal.
    friend bool operator==(const OfdmConfig&, const OfdmConfig&) = default;

private:
    OfdmConfig(CarrierPlan plan, float fs, float rf_hz, float gain, ConstellationOrder constellation)
        : plan_(std::move(plan)), fs_(fs), rf_hz_(rf_hz), gain_(gain), constellation_(constellation) {}

    // The copy with one field, of the configuration or of its chain settings, set from a parsed
    // keyword, or the keyword's error.
    template <class Owner, class Field, class Parsed>
    std::expected<OfdmConfig, OfdmConfigError> with_parsed(Field Owner::*field,
                                                           const std::expected<Parsed, fec::KeywordError>& parsed) const;
    fec::InterleaverKind& interleaver(fec::InterleaverStage stage);
    // The copy with the interleaver of `stage` set to `kind`; unless `kind` is none, `too_large`
    // when the product of `size_factors` exceeds max_interleaver_size.
    std::expected<OfdmConfig, OfdmConfigError> with_stage_interleaver(std::string_view stage, fec::InterleaverKind kind,
                                                                      std::initializer_list<std::uint64_t> size_factors,
                                                                      OfdmConfigError::Kind too_large) const;

    CarrierPlan plan_;
    float fs_;
    float rf_hz_;
    float gain_;
    ConstellationOrder constellation_;
    std::optional<TxLowpass> tx_lowpass_;
    std::size_t rx_window_backoff_ = 0;
    fec::ChainSettings chain_{.crc = fec::CrcKind::Crc32};
    fec::CrcKind header_crc_ = fec::CrcKind::Crc16;
    fec::HeaderFormat header_format_ = fec::HeaderFormat::Native;
};

}  // namespace kavro
