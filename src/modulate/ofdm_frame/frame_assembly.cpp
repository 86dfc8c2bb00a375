#include "modulate/ofdm_frame/frame_assembly.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <utility>

#include "core/checked_math.hpp"
#include "core/internal_fault.hpp"
#include "modulate/ofdm.hpp"
#include "modulate/ofdm_frame/frame_header.hpp"
#include "fec/chain/tx_chain.hpp"
#include "multicarrier/symbol_window.hpp"

namespace kavro {

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

std::expected<FrameLink, FrameLinkError> FrameLink::create(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                           std::size_t num_repeats, std::size_t repeat_len,
                                                           std::shared_ptr<CodecCache> cache) {
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

    const fec::ScramblerKind& scrambler = cfg.chain_settings().scrambler;
    if (scrambler.kind == fec::ScramblerKind::Kind::Lfsr) {
        const auto lfsr = fec::PnScrambler::create(scrambler.poly, scrambler.width, 0);
        if (!lfsr) {
            FrameLinkError error = error_of(K::Lfsr);
            error.lfsr = lfsr.error();
            return std::unexpected(error);
        }
    }
    const ChainSettings& chain = cfg.chain_settings();
    if (interleaver_has_zero_size(chain.outer_interleaver) || interleaver_has_zero_size(chain.inner_interleaver))
        return std::unexpected(error_of(K::InterleaverZeroSize));

    if (!cache) cache = std::make_shared<CodecCache>();
    return FrameLink{cfg, std::vector<Mcs>(entries.begin(), entries.end()), std::move(cache)};
}

OfdmConfig symbol_config(const OfdmConfig& cfg, ConstellationOrder constellation) {
    auto section = OfdmConfig::from_plan(cfg.plan(), cfg.fs(), cfg.rf_hz(), cfg.gain(), constellation);
    if (!section) internal_fault("symbol_config: the link's own plan was refused: " + error_message(section.error()));
    return section->with_rx_window_backoff(cfg.rx_window_backoff());
}

ChainSettings payload_chain_settings(const OfdmConfig& cfg, const Mcs& entry) {
    ChainSettings chain = cfg.chain_settings();
    chain.outer = entry.outer;
    chain.inner = entry.inner;
    return chain;
}

std::expected<OfdmFrameMod, FrameLinkError> OfdmFrameMod::create(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                                 std::size_t num_repeats, std::size_t repeat_len,
                                                                 std::shared_ptr<CodecCache> cache) {
    auto link = FrameLink::create(cfg, entries, num_repeats, repeat_len, std::move(cache));
    if (!link) return std::unexpected(link.error());
    if (cfg.cp_len() > cfg.n_fft()) {
        FrameLinkError error = error_of(FrameLinkError::Kind::CpLongerThanFft);
        error.a = cfg.cp_len();
        error.b = cfg.n_fft();
        return std::unexpected(error);
    }
    const PreambleParams preamble{num_repeats, repeat_len, TrainingShape{cfg.n_fft(), cfg.cp_len()}};
    return OfdmFrameMod(std::move(*link), preamble);
}

OfdmFrameMod::OfdmFrameMod(FrameLink link, PreambleParams preamble) : link_(std::move(link)), preamble_(preamble) {
    const OfdmConfig& cfg = link_.cfg;
    auto samples = generate_ofdm_preamble(cfg, preamble_);
    if (!samples) internal_fault("frame preamble: " + error_message(samples.error()));
    preamble_samples_ = std::move(*samples);
    const std::size_t s = cfg.samples_per_ofdm_symbol();
    if (cfg.plan().roll_off != 0) taper_ = symbol_taper(std::min(cfg.plan().roll_off, s / 2));
}

OfdmMod& OfdmFrameMod::modulator(ConstellationOrder constellation) const {
    std::optional<OfdmMod>& slot = modulators_[static_cast<std::size_t>(constellation)];
    if (!slot) {
        auto built = OfdmMod::create(symbol_config(link_.cfg, constellation));
        if (!built) internal_fault("frame modulator: " + error_message(built.error()));
        slot.emplace(std::move(*built));
    }
    return *slot;
}

// Appends the OFDM symbols of `bits` mapped with `constellation` (gain applied by the modulator).
void OfdmFrameMod::append_symbols(std::vector<Complex>& out, ConstellationOrder constellation,
                                  std::span<const std::uint8_t> bits) const {
    const std::vector<Complex> samples = modulator(constellation).modulate(bits);
    out.insert(out.end(), samples.begin(), samples.end());
}

std::expected<std::vector<Complex>, FrameLinkError> OfdmFrameMod::modulate_frame(const FramePacket& frame,
                                                                                std::uint32_t per_frame_seed) const {
    const OfdmConfig& cfg = link_.cfg;
    CodecCache& cache = *link_.cache;
    if (frame.payload.size() > max_frame_payload_bytes) {
        FrameLinkError error = error_of(FrameLinkError::Kind::PayloadTooLong);
        error.a = frame.payload.size();
        return std::unexpected(error);
    }
    if (frame.mcs_index >= link_.entries.size()) return std::unexpected(error_of(FrameLinkError::Kind::McsIndexOutsideTable));
    const Mcs& entry = link_.entries[frame.mcs_index];

    std::vector<std::uint8_t> header_bits;
    if (cfg.header_format() == fec::HeaderFormat::Native)
        header_bits = encode_header(FrameHeader::of(frame, per_frame_seed).serialize(), cfg.header_crc(), cache);
    const EncodedStages payload =
        encode_chain_stages(frame.payload, payload_chain_settings(cfg, entry), per_frame_seed, cache);

    // The whole frame is allocated once: P + S·(1 + H + M) samples.
    const std::size_t d = cfg.plan().data_carriers.size();
    const std::size_t s = cfg.samples_per_ofdm_symbol();
    const std::size_t payload_bits_per_symbol = d * bits_per_cell(entry.constellation);
    std::vector<Complex> out;
    out.reserve(preamble_samples_.size() + s * ((header_bits.size() + d - 1) / d) +
                s * ((payload.coded.size() + payload_bits_per_symbol - 1) / payload_bits_per_symbol));
    out.insert(out.end(), preamble_samples_.begin(), preamble_samples_.end());
    if (!header_bits.empty()) append_symbols(out, ConstellationOrder::Bpsk, header_bits);
    append_symbols(out, entry.constellation, payload.coded);

    if (!taper_.empty()) {
        const std::size_t first = preamble_.num_repeats * preamble_.repeat_len;
        for (std::size_t at = first; s != 0 && out.size() - at >= s; at += s)
            apply_symbol_taper(std::span<Complex>(out).subspan(at, s), taper_);
    }
    if (cfg.tx_lowpass()) cfg.tx_lowpass()->apply(out);
    return out;
}

}  // namespace kavro
