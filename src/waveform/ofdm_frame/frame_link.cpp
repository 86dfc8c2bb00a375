#include "waveform/ofdm_frame/frame_link.hpp"

#include <charconv>
#include <cmath>
#include <optional>
#include <utility>

#include "core/checked_math.hpp"
#include "core/internal_fault.hpp"
#include "waveform/ofdm_frame/frame_header.hpp"

namespace kavro::waveform {

namespace {

// Plain decimal, the shortest digits that read back to the same single-precision value, no
// exponent ("1000", "0.1", "-2.5").
std::string plain_decimal(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    return std::string(text, result.ptr);
}

bool interleaver_has_zero_size(const fec::InterleaverKind& kind) {
    switch (kind.kind) {
        case fec::InterleaverKind::Kind::None: return false;
        case fec::InterleaverKind::Kind::Block: return kind.rows == 0 || kind.cols == 0;
        case fec::InterleaverKind::Kind::Convolutional: return kind.branches == 0 || kind.depth == 0;
    }
    return false;
}

FrameLinkError error_of(FrameLinkError::Kind kind) { return FrameLinkError{kind}; }

}  // namespace

std::string error_message(const FrameLinkError& error) {
    using K = FrameLinkError::Kind;
    switch (error.kind) {
        case K::EmptyTable: return "McsTable must have at least one entry";
        case K::NotBaseband:
            return "OFDM frame assembly is baseband-only: got rf_hz = " + plain_decimal(error.rf_hz) +
                   " Hz. Modulate at rf_hz = 0.0 and upconvert the whole burst with one continuous Rotator.";
        case K::CpLongerThanFft: return error_message(OfdmModError{error.a, error.b});
        case K::PreambleTooLong:
            return "frame preamble span num_repeats (" + std::to_string(error.a) + ") x repeat_len (" +
                   std::to_string(error.b) + ") + n_fft (" + std::to_string(error.c) + ") + cp_len (" +
                   std::to_string(error.d) + ") must not exceed " + std::to_string(max_preamble_span) + " samples";
        case K::Lfsr: return fec::error_message(error.lfsr);
        case K::InterleaverZeroSize: return "block interleaver dimensions must be nonzero";
        case K::McsIndexOutsideTable: return "mcs_index must be in the MCS table";
        case K::PayloadTooLong:
            return "modulate_frame: payload of " + std::to_string(error.a) + " bytes exceeds the limit of " +
                   std::to_string(max_frame_payload_bytes) + " bytes";
    }
    return "invalid frame link setting";
}

std::expected<FrameLink, FrameLinkError> FrameLink::create(const OfdmConfig& cfg, std::span<const fec::Mcs> entries,
                                                           std::size_t num_repeats, std::size_t repeat_len,
                                                           std::shared_ptr<fec::CodecCache> cache) {
    using K = FrameLinkError::Kind;
    if (entries.empty()) return std::unexpected(error_of(K::EmptyTable));
    if (cfg.rf_hz() != 0.0f) {
        FrameLinkError error = error_of(K::NotBaseband);
        error.rf_hz = cfg.rf_hz();
        return std::unexpected(error);
    }

    // Every offset and length the receivers derive from the layout stays far from overflow.
    const std::optional<std::uint64_t> span =
        checked_mul(std::uint64_t{num_repeats}, std::uint64_t{repeat_len})
            .and_then([&](std::uint64_t s) { return checked_add(s, std::uint64_t{cfg.n_fft()}); })
            .and_then([&](std::uint64_t s) { return checked_add(s, std::uint64_t{cfg.cp_len()}); });
    if (!span || *span > max_preamble_span) {
        FrameLinkError error = error_of(K::PreambleTooLong);
        error.a = num_repeats;
        error.b = repeat_len;
        error.c = cfg.n_fft();
        error.d = cfg.cp_len();
        return std::unexpected(error);
    }

    const fec::ChainSettings& chain = cfg.chain_settings();
    const fec::ScramblerKind& scrambler = chain.scrambler;
    if (scrambler.kind == fec::ScramblerKind::Kind::Lfsr) {
        const auto lfsr = fec::PnScrambler::create(scrambler.poly, scrambler.width, 0);
        if (!lfsr) {
            FrameLinkError error = error_of(K::Lfsr);
            error.lfsr = lfsr.error();
            return std::unexpected(error);
        }
    }
    if (interleaver_has_zero_size(chain.outer_interleaver) || interleaver_has_zero_size(chain.inner_interleaver))
        return std::unexpected(error_of(K::InterleaverZeroSize));

    if (!cache) cache = std::make_shared<fec::CodecCache>();
    return FrameLink{cfg, std::vector<fec::Mcs>(entries.begin(), entries.end()), std::move(cache)};
}

OfdmConfig symbol_config(const OfdmConfig& cfg, ConstellationOrder constellation) {
    auto section = OfdmConfig::from_plan(cfg.plan(), cfg.fs(), cfg.rf_hz(), cfg.gain(), constellation);
    if (!section) internal_fault("symbol_config: the link's own plan was refused: " + error_message(section.error()));
    return section->with_rx_window_backoff(cfg.rx_window_backoff());
}

fec::ChainSettings payload_chain_settings(const OfdmConfig& cfg, const fec::Mcs& entry) {
    fec::ChainSettings chain = cfg.chain_settings();
    chain.outer = entry.outer;
    chain.inner = entry.inner;
    return chain;
}

}  // namespace kavro::waveform
