#include "multicarrier/ofdm_config.hpp"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

namespace kavro {

namespace {

using Kind = OfdmConfigError::Kind;

OfdmConfigError config_error(Kind kind, std::uint64_t a = 0, std::uint64_t b = 0) {
    OfdmConfigError error{kind};
    error.a = a;
    error.b = b;
    return error;
}

OfdmConfigError keyword_error(fec::KeywordError keyword) {
    OfdmConfigError error{Kind::Keyword};
    error.keyword = std::move(keyword);
    return error;
}

// The exact product of the factors, compared with a limit and written in decimal, whatever its
// size: base-10^9 limbs multiplied with 128-bit carries.
struct ExactProduct {
    std::vector<std::uint32_t> limbs;  // little-endian, base 10^9

    explicit ExactProduct(std::initializer_list<std::uint64_t> factors) : limbs{1} {
        constexpr std::uint64_t base = 1'000'000'000;
        for (const std::uint64_t f : factors) {
            unsigned __int128 carry = 0;
            for (std::uint32_t& limb : limbs) {
                const unsigned __int128 v = static_cast<unsigned __int128>(limb) * f + carry;
                limb = static_cast<std::uint32_t>(v % base);
                carry = v / base;
            }
            while (carry != 0) {
                limbs.push_back(static_cast<std::uint32_t>(carry % base));
                carry /= base;
            }
            while (limbs.size() > 1 && limbs.back() == 0) limbs.pop_back();
        }
    }

    bool exceeds(std::uint64_t limit) const {
        if (limbs.size() > 3) return true;
        unsigned __int128 v = 0;
        for (auto it = limbs.rbegin(); it != limbs.rend(); ++it) v = v * 1'000'000'000u + *it;
        return v > limit;
    }

    std::string decimal() const {
        std::string text = std::to_string(limbs.back());
        for (auto it = limbs.rbegin() + 1; it != limbs.rend(); ++it) {
            const std::string part = std::to_string(*it);
            text += std::string(9 - part.size(), '0') + part;
        }
        return text;
    }
};

}  // namespace

std::string error_message(const OfdmConfigError& error) {
    switch (error.kind) {
        case Kind::ArrayNotContiguous: return "The given array is not contiguous or is misaligned.";
        case Kind::PilotLengthMismatch:
            return "OfdmConfig: pilot_carrier_indices (" + std::to_string(error.a) + ") and pilot_carrier_values (" +
                   std::to_string(error.b) + ") must have the same length";
        case Kind::EdgeGuardWithData:
            return "OfdmConfig: pass an empty data_carriers array when edge_guard is set (the contiguous span is "
                   "generated automatically)";
        case Kind::NFftTooLarge:
            return "OfdmConfig: n_fft " + std::to_string(error.a) + " is too large (max 16777216)";
        case Kind::NFftZero: return "OfdmConfig: n_fft must be at least 1";
        case Kind::Plan: return error_message(error.plan);
        case Kind::Keyword: return error_message(error.keyword);
        case Kind::InterleaverTooLarge:
            return "with_interleaver: rows x cols must not exceed 16777216 bits (got " + error.got + ")";
        case Kind::ConvInterleaverTooLarge:
            return "with_conv_interleaver: (branches - 1) x branches x depth must not exceed 16777216 bytes (got " +
                   error.got + ")";
        case Kind::TxLowpassLimit: return error_message(error.tx_lowpass);
        case Kind::PerFrameSeedNeedsHeader:
            return "per-frame-random scrambler seed requires a header (header_format != NoHeader)";
        case Kind::InterleaverZeroSize: return "block interleaver dimensions must be nonzero";
        case Kind::BchZeroT: return "BCH outer code requires t >= 1";
        case Kind::ReedSolomonParameters:
            return "Reed\u2013Solomon requires 0 < n_parity < n <= 255 with n_parity even";
    }
    return "OfdmConfig: invalid configuration";
}

bool is_type_error(const OfdmConfigError& error) { return error.kind == Kind::ArrayNotContiguous; }

std::string error_message(const OfdmModError& error) {
    return "OfdmMod: cp_len (" + std::to_string(error.cp_len) + ") must not exceed n_fft (" +
           std::to_string(error.n_fft) + ")";
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::create(
    std::size_t n_fft, std::size_t cp_len, ArrayArg<std::int32_t> data_carriers,
    ArrayArg<std::int32_t> pilot_carrier_indices, ArrayArg<Complex> pilot_carrier_values, float fs, float rf_hz,
    float gain, std::string_view constellation, std::optional<std::size_t> edge_guard) {
    if (!pilot_carrier_indices.contiguous || !pilot_carrier_values.contiguous) {
        return std::unexpected(config_error(Kind::ArrayNotContiguous));
    }
    const std::span<const std::int32_t> pilot_indices = pilot_carrier_indices.items;
    const std::span<const Complex> pilot_values = pilot_carrier_values.items;
    if (pilot_indices.size() != pilot_values.size()) {
        return std::unexpected(config_error(Kind::PilotLengthMismatch, pilot_indices.size(), pilot_values.size()));
    }
    const auto order = fec::parse_constellation(constellation);
    if (!order) return std::unexpected(keyword_error(order.error()));
    if (!data_carriers.contiguous) return std::unexpected(config_error(Kind::ArrayNotContiguous));
    if (edge_guard && !data_carriers.items.empty()) return std::unexpected(config_error(Kind::EdgeGuardWithData));
    if (n_fft > max_n_fft) return std::unexpected(config_error(Kind::NFftTooLarge, n_fft));

    std::vector<PilotCarrier> pilots(pilot_indices.size());
    for (std::size_t i = 0; i < pilots.size(); ++i) pilots[i] = {pilot_indices[i], pilot_values[i]};

    CarrierPlan plan;
    plan.n_fft = n_fft;
    plan.cp_len = cp_len;
    if (edge_guard) {
        plan.with_pilot_carriers(pilots).with_contiguous_data(*edge_guard);
    } else {
        plan.data_carriers.assign(data_carriers.items.begin(), data_carriers.items.end());
        plan.with_pilot_carriers(pilots);
    }
    return from_plan(std::move(plan), fs, rf_hz, gain, *order);
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::from_plan(CarrierPlan plan, float fs, float rf_hz, float gain,
                                                                 ConstellationOrder constellation) {
    if (plan.n_fft > max_n_fft) return std::unexpected(config_error(Kind::NFftTooLarge, plan.n_fft));
    if (auto valid = plan.validate(); !valid) {
        OfdmConfigError error{Kind::Plan};
        error.plan = valid.error();
        return std::unexpected(error);
    }
    if (plan.n_fft == 0) return std::unexpected(config_error(Kind::NFftZero));
    return OfdmConfig(std::move(plan), fs, rf_hz, gain, constellation);
}

template <class Owner, class Field, class Parsed>
std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_parsed(
    Field Owner::*field, const std::expected<Parsed, fec::KeywordError>& parsed) const {
    if (!parsed) return std::unexpected(keyword_error(parsed.error()));
    OfdmConfig copy = *this;
    if constexpr (std::is_same_v<Owner, fec::ChainSettings>) {
        copy.chain_.*field = *parsed;
    } else {
        copy.*field = *parsed;
    }
    return copy;
}

fec::InterleaverKind& OfdmConfig::interleaver(fec::InterleaverStage stage) {
    return stage == fec::InterleaverStage::Outer ? chain_.outer_interleaver : chain_.inner_interleaver;
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_inner_fec(std::string_view kind,
                                                                      std::string_view code) const {
    return with_parsed(&fec::ChainSettings::inner, fec::parse_inner_fec(kind, code));
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_outer_fec(std::string_view kind, std::size_t a,
                                                                      std::size_t b) const {
    return with_parsed(&fec::ChainSettings::outer, fec::parse_outer_fec(kind, a, b));
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_scrambler(std::uint32_t poly, std::uint8_t width,
                                                                      std::uint32_t seed, bool per_frame_random,
                                                                      std::string_view position) const {
    auto copy = with_parsed(&fec::ChainSettings::position, fec::parse_scrambler_position(position));
    if (!copy) return copy;
    if (poly == 0) {
        copy->chain_.scrambler = fec::ScramblerKind::none();
    } else {
        const auto scrambler_seed = per_frame_random ? fec::ScramblerSeed::per_frame() : fec::ScramblerSeed::fixed(seed);
        copy->chain_.scrambler = fec::ScramblerKind::lfsr(poly, width, scrambler_seed);
    }
    return copy;
}

OfdmConfig OfdmConfig::with_dvb_t_scrambler() const {
    OfdmConfig copy = *this;
    copy.chain_.scrambler = fec::ScramblerKind::dvb_t();
    copy.chain_.position = fec::ScramblerPosition::BeforeOuter;
    return copy;
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_stage_interleaver(
    std::string_view stage, fec::InterleaverKind kind, std::initializer_list<std::uint64_t> size_factors,
    OfdmConfigError::Kind too_large) const {
    const auto parsed_stage = fec::parse_interleaver_stage(stage);
    if (!parsed_stage) return std::unexpected(keyword_error(parsed_stage.error()));
    if (kind.kind != fec::InterleaverKind::Kind::None) {
        const ExactProduct size(size_factors);
        if (size.exceeds(max_interleaver_size)) {
            OfdmConfigError error{too_large};
            error.got = size.decimal();
            return std::unexpected(error);
        }
    }
    OfdmConfig copy = *this;
    copy.interleaver(*parsed_stage) = kind;
    return copy;
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_interleaver(std::string_view stage, std::size_t rows,
                                                                        std::size_t cols) const {
    const bool none = rows == 0 || cols == 0;
    return with_stage_interleaver(stage, none ? fec::InterleaverKind::none() : fec::InterleaverKind::block(rows, cols),
                                  {rows, cols}, Kind::InterleaverTooLarge);
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_conv_interleaver(std::string_view stage,
                                                                             std::size_t branches,
                                                                             std::size_t depth) const {
    // The size bounded is the flush, (branches - 1) x branches x depth bytes.
    const bool none = branches == 0 || depth == 0;
    return with_stage_interleaver(
        stage, none ? fec::InterleaverKind::none() : fec::InterleaverKind::convolutional(branches, depth),
        {branches - 1, branches, depth}, Kind::ConvInterleaverTooLarge);
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_payload_crc(std::string_view kind) const {
    return with_parsed(&fec::ChainSettings::crc, fec::parse_crc(kind));
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_header_crc(std::string_view kind) const {
    return with_parsed(&OfdmConfig::header_crc_, fec::parse_crc(kind));
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_ldpc_decode_rule(std::string_view kind,
                                                                             float scale) const {
    return with_parsed(&fec::ChainSettings::ldpc_rule, fec::parse_ldpc_decode_rule(kind, scale));
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_header_format(std::string_view kind) const {
    return with_parsed(&OfdmConfig::header_format_, fec::parse_header_format(kind));
}

OfdmConfig OfdmConfig::with_symbol_window(std::size_t roll_off) const {
    OfdmConfig copy = *this;
    copy.plan_.roll_off = roll_off;
    return copy;
}

OfdmConfig OfdmConfig::with_rx_window_backoff(std::size_t backoff) const {
    OfdmConfig copy = *this;
    copy.rx_window_backoff_ = backoff;
    return copy;
}

std::expected<OfdmConfig, OfdmConfigError> OfdmConfig::with_tx_lowpass(std::size_t num_taps, float stopband_db) const {
    if (const auto limits = check_tx_lowpass_limits(num_taps, stopband_db); !limits) {
        OfdmConfigError error{Kind::TxLowpassLimit};
        error.tx_lowpass = limits.error();
        return std::unexpected(error);
    }
    OfdmConfig copy = *this;
    const float cutoff = tx_lowpass_cutoff(num_taps, stopband_db, occupied_half_carriers(), plan_.n_fft);
    copy.tx_lowpass_ = TxLowpass{num_taps, cutoff, stopband_db};
    return copy;
}

std::uint64_t OfdmConfig::tx_lowpass_suggested_taps(float stopband_db) const {
    return kavro::tx_lowpass_suggested_taps(stopband_db, occupied_half_carriers(), plan_.n_fft);
}

std::size_t OfdmConfig::tx_lowpass_group_delay(std::size_t num_taps) const {
    return kavro::tx_lowpass_group_delay(num_taps);
}

bool OfdmConfig::tx_lowpass_fits_guard(std::size_t num_taps, std::size_t roll_off,
                                       std::optional<std::size_t> backoff) const {
    return kavro::tx_lowpass_fits_guard(num_taps, roll_off, plan_.cp_len, backoff);
}

std::expected<void, OfdmConfigError> OfdmConfig::validate_frame() const {
    const fec::ScramblerKind& scrambler = chain_.scrambler;
    if (scrambler.kind == fec::ScramblerKind::Kind::Lfsr && scrambler.seed.kind == fec::ScramblerSeed::Kind::PerFrame &&
        header_format_ != fec::HeaderFormat::Native) {
        return std::unexpected(config_error(Kind::PerFrameSeedNeedsHeader));
    }
    for (const fec::InterleaverKind* stage : {&chain_.outer_interleaver, &chain_.inner_interleaver}) {
        const bool zero_block = stage->kind == fec::InterleaverKind::Kind::Block && (stage->rows == 0 || stage->cols == 0);
        const bool zero_conv = stage->kind == fec::InterleaverKind::Kind::Convolutional &&
                               (stage->branches == 0 || stage->depth == 0);
        if (zero_block || zero_conv) return std::unexpected(config_error(Kind::InterleaverZeroSize));
    }
    const fec::OuterFec& outer = chain_.outer;
    if (outer.kind == fec::OuterFec::Kind::Bch && outer.t == 0) {
        return std::unexpected(config_error(Kind::BchZeroT));
    }
    if (outer.kind == fec::OuterFec::Kind::ReedSolomon) {
        const std::size_t n = outer.n;
        const std::size_t parity = outer.n_parity;
        if (!(parity > 0 && parity < n && n <= 255 && parity % 2 == 0)) {
            return std::unexpected(config_error(Kind::ReedSolomonParameters));
        }
    }
    return {};
}

std::size_t OfdmConfig::bits_per_ofdm_symbol() const {
    return bits_per_cell(constellation_) * plan_.data_carriers.size();
}

std::size_t OfdmConfig::samples_per_ofdm_symbol() const {
    const std::size_t n = plan_.n_fft;
    return plan_.cp_len > SIZE_MAX - n ? SIZE_MAX : n + plan_.cp_len;
}

std::uint32_t OfdmConfig::occupied_half_carriers() const {
    auto magnitude = [](std::int32_t k) {
        return k < 0 ? std::uint32_t{0} - static_cast<std::uint32_t>(k) : static_cast<std::uint32_t>(k);
    };
    std::uint32_t largest = 0;
    for (const std::int32_t k : plan_.data_carriers) largest = std::max(largest, magnitude(k));
    for (const PilotCarrier& p : plan_.pilot_carriers) largest = std::max(largest, magnitude(p.index));
    return largest;
}

}  // namespace kavro
