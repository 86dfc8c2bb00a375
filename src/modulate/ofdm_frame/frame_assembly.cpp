#include "modulate/ofdm_frame/frame_assembly.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "core/internal_fault.hpp"
#include "fec/chain/tx_chain.hpp"
#include "modulate/ofdm.hpp"
#include "multicarrier/symbol_window.hpp"
#include "waveform/ofdm_frame/frame_header.hpp"

namespace kavro {

std::expected<OfdmFrameMod, waveform::FrameLinkError> OfdmFrameMod::create(const OfdmConfig& cfg,
                                                                           std::span<const fec::Mcs> entries,
                                                                           std::size_t num_repeats,
                                                                           std::size_t repeat_len,
                                                                           std::shared_ptr<fec::CodecCache> cache) {
    auto link = waveform::FrameLink::create(cfg, entries, num_repeats, repeat_len, std::move(cache));
    if (!link) return std::unexpected(link.error());
    if (cfg.cp_len() > cfg.n_fft()) {
        waveform::FrameLinkError error{waveform::FrameLinkError::Kind::CpLongerThanFft};
        error.a = cfg.cp_len();
        error.b = cfg.n_fft();
        return std::unexpected(error);
    }
    const PreambleParams preamble{num_repeats, repeat_len, TrainingShape{cfg.n_fft(), cfg.cp_len()}};
    return OfdmFrameMod(std::move(*link), preamble);
}

OfdmFrameMod::OfdmFrameMod(waveform::FrameLink link, PreambleParams preamble)
    : link_(std::move(link)), preamble_(preamble) {
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
        auto built = OfdmMod::create(waveform::symbol_config(link_.cfg, constellation));
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

std::expected<std::vector<Complex>, waveform::FrameLinkError> OfdmFrameMod::modulate_frame(
    const waveform::FramePacket& frame, std::uint32_t per_frame_seed) const {
    const OfdmConfig& cfg = link_.cfg;
    fec::CodecCache& cache = *link_.cache;
    if (frame.payload.size() > waveform::max_frame_payload_bytes) {
        waveform::FrameLinkError error{waveform::FrameLinkError::Kind::PayloadTooLong};
        error.a = frame.payload.size();
        return std::unexpected(error);
    }
    if (frame.mcs_index >= link_.entries.size())
        return std::unexpected(waveform::FrameLinkError{waveform::FrameLinkError::Kind::McsIndexOutsideTable});
    const fec::Mcs& entry = link_.entries[frame.mcs_index];

    std::vector<std::uint8_t> header_bits;
    if (cfg.header_format() == fec::HeaderFormat::Native)
        header_bits = waveform::encode_header(waveform::FrameHeader::of(frame, per_frame_seed).serialize(),
                                              cfg.header_crc(), cache);
    const fec::EncodedStages payload =
        fec::encode_chain_stages(frame.payload, waveform::payload_chain_settings(cfg, entry), per_frame_seed, cache);

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
