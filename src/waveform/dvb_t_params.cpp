#include "waveform/dvb_t_params.hpp"

#include <array>
#include <utility>

#include "core/debug_quote.hpp"
#include "multicarrier/tx_lowpass.hpp"
#include "waveform/dvb_t.hpp"

namespace kavro::waveform {

namespace {

using Kind = DvbTKeywordError::Kind;

constexpr std::array<std::string_view, 4> guard_keywords{"1/32", "1/16", "1/8", "1/4"};
constexpr std::array<std::string_view, 5> rate_keywords{"1/2", "2/3", "3/4", "5/6", "7/8"};

struct NbMode {
    std::string_view long_keyword;
    std::string_view short_keyword;
    double occupied_hz;
    float fs_numerator;  // occupied bandwidth x 2048
};

constexpr std::array<NbMode, 3> nb_modes{{
    {"333khz", "333k", 333000.0, 681984000.0f},
    {"1mhz", "1m", 1000000.0, 2048000000.0f},
    {"2mhz", "2m", 2000000.0, 4096000000.0f},
}};
// The receive path's hertz values assume the "1mhz" mode's rate.
static_assert(nb_modes[1].fs_numerator / static_cast<float>(dvb_t_active_carriers) == dvb_t_sample_rate_hz);

template <std::size_t N>
std::expected<std::uint8_t, DvbTKeywordError> index_of(const std::array<std::string_view, N>& table,
                                                       std::string_view keyword, Kind kind) {
    for (std::size_t i = 0; i < N; ++i)
        if (table[i] == keyword) return static_cast<std::uint8_t>(i);
    return std::unexpected(DvbTKeywordError{kind, std::string(keyword)});
}

std::string_view variant_name(ConstellationOrder order) {
    switch (order) {
        case ConstellationOrder::Bpsk: return "Bpsk";
        case ConstellationOrder::Qpsk: return "Qpsk";
        case ConstellationOrder::Qam16: return "Qam16";
        case ConstellationOrder::Qam64: return "Qam64";
        case ConstellationOrder::Qam256: return "Qam256";
    }
    return "Unknown";
}

}  // namespace

std::string error_message(const DvbTKeywordError& error) {
    const std::string quoted = debug_quote(error.given);
    switch (error.kind) {
        case Kind::Guard: return "unknown guard interval " + quoted + " (expected 1/32, 1/16, 1/8, 1/4)";
        case Kind::Constellation: return "unknown DVB-T constellation " + quoted + " (expected qpsk, qam16, qam64)";
        case Kind::CodeRate: return "unknown code rate " + quoted + " (expected 1/2, 2/3, 3/4, 5/6, 7/8)";
        case Kind::NbBandwidth: return "unknown NB bandwidth " + quoted + " (expected 333khz, 1mhz, 2mhz)";
        case Kind::NotDvbTConstellation: return std::string(variant_name(error.order)) + " is not a DVB-T constellation";
    }
    return "invalid DVB-T keyword";
}

std::expected<std::uint8_t, DvbTKeywordError> parse_guard(std::string_view keyword) {
    return index_of(guard_keywords, keyword, Kind::Guard);
}

std::expected<ConstellationOrder, DvbTKeywordError> parse_dvb_t_constellation(std::string_view keyword) {
    if (keyword == "qpsk") return ConstellationOrder::Qpsk;
    if (keyword == "qam16") return ConstellationOrder::Qam16;
    if (keyword == "qam64") return ConstellationOrder::Qam64;
    return std::unexpected(DvbTKeywordError{Kind::Constellation, std::string(keyword)});
}

std::expected<std::uint8_t, DvbTKeywordError> parse_rate(std::string_view keyword) {
    return index_of(rate_keywords, keyword, Kind::CodeRate);
}

std::expected<std::uint8_t, DvbTKeywordError> parse_nb_bandwidth(std::string_view keyword) {
    for (std::size_t i = 0; i < nb_modes.size(); ++i)
        if (nb_modes[i].long_keyword == keyword || nb_modes[i].short_keyword == keyword) return static_cast<std::uint8_t>(i);
    return std::unexpected(DvbTKeywordError{Kind::NbBandwidth, std::string(keyword)});
}

std::string_view guard_str(std::uint8_t guard) { return guard_keywords[guard % guard_keywords.size()]; }

std::string_view rate_str(std::uint8_t code_rate) { return rate_keywords[code_rate % rate_keywords.size()]; }

std::expected<std::string_view, DvbTKeywordError> constellation_str(ConstellationOrder order) {
    switch (order) {
        case ConstellationOrder::Qpsk: return "qpsk";
        case ConstellationOrder::Qam16: return "qam16";
        case ConstellationOrder::Qam64: return "qam64";
        case ConstellationOrder::Bpsk:
        case ConstellationOrder::Qam256: break;
    }
    DvbTKeywordError error{Kind::NotDvbTConstellation, {}};
    error.order = order;
    return std::unexpected(std::move(error));
}

std::expected<DvbTFrameParams, DvbTKeywordError> DvbTFrameParams::create(std::string_view guard,
                                                                         std::string_view constellation,
                                                                         std::string_view code_rate,
                                                                         std::uint8_t frame_number,
                                                                         std::uint8_t cell_id) {
    const auto g = parse_guard(guard);
    if (!g) return std::unexpected(g.error());
    const auto c = parse_dvb_t_constellation(constellation);
    if (!c) return std::unexpected(c.error());
    const auto r = parse_rate(code_rate);
    if (!r) return std::unexpected(r.error());
    return DvbTFrameParams{*g, *c, *r, frame_number, cell_id};
}

std::size_t DvbTFrameParams::cp_len() const { return dvb_t_guard_cp_len(guard); }

std::string repr(const DvbTFrameParams& params) {
    const std::string_view constellation = constellation_str(params.constellation).value_or("?");
    return "DvbTFrameParams(guard=" + debug_quote(guard_str(params.guard)) +
           ", constellation=" + debug_quote(constellation) + ", code_rate=" + debug_quote(rate_str(params.code_rate)) +
           ", frame_number=" + std::to_string(params.frame_number) + ", cell_id=" + std::to_string(params.cell_id) + ")";
}

std::expected<DvbTSuperFrameParams, DvbTKeywordError> DvbTSuperFrameParams::create(
    std::string_view guard, std::string_view constellation, std::string_view code_rate, std::uint16_t cell_id) {
    const auto frame = DvbTFrameParams::create(guard, constellation, code_rate);
    if (!frame) return std::unexpected(frame.error());
    return DvbTSuperFrameParams{cell_id, frame->guard, frame->constellation, frame->code_rate};
}

DvbTFrameParams DvbTSuperFrameParams::frame_params(std::size_t i) const {
    const auto cell_byte = static_cast<std::uint8_t>(i % 2 == 0 ? cell_id >> 8 : cell_id & 0xFFu);
    return {guard, constellation, code_rate, static_cast<std::uint8_t>(i), cell_byte};
}

std::expected<std::size_t, DvbTKeywordError> dvb_t_cp_len(std::string_view guard) {
    const auto g = parse_guard(guard);
    if (!g) return std::unexpected(g.error());
    return dvb_t_guard_cp_len(*g);
}

std::expected<float, DvbTKeywordError> nb_bandwidth_fs(std::string_view mode) {
    const auto m = parse_nb_bandwidth(mode);
    if (!m) return std::unexpected(m.error());
    return nb_modes[*m].fs_numerator / static_cast<float>(dvb_t_active_carriers);
}

std::expected<double, DvbTKeywordError> nb_bandwidth_occupied_hz(std::string_view mode) {
    const auto m = parse_nb_bandwidth(mode);
    if (!m) return std::unexpected(m.error());
    return nb_modes[*m].occupied_hz;
}

std::size_t dvb_t_max_rx_window_backoff() { return dvb_t_max_rx_window_backoff_samples; }

std::uint64_t dvb_t_tx_lowpass_suggested_taps(float stopband_db) {
    return tx_lowpass_suggested_taps(stopband_db, dvb_t_occupied_half_carriers, dvb_t_n_fft);
}

std::size_t dvb_t_tx_lowpass_group_delay(std::size_t num_taps) { return tx_lowpass_group_delay(num_taps); }

std::expected<bool, DvbTKeywordError> dvb_t_tx_lowpass_fits_guard(std::string_view guard, std::size_t num_taps,
                                                                  std::size_t roll_off, std::size_t backoff) {
    const auto cp = dvb_t_cp_len(guard);
    if (!cp) return std::unexpected(cp.error());
    return tx_lowpass_fits_guard(num_taps, roll_off, *cp, backoff);
}

}  // namespace kavro::waveform
