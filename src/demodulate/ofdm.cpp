#include "demodulate/ofdm.hpp"

#include <array>
#include <cstring>

#include "core/debug_quote.hpp"
#include "multicarrier/cyclic_prefix.hpp"
#include "multicarrier/ofdm_soft_demod.hpp"

namespace kavro {

namespace {

// The rank of the QAM level nearest v, equal to the number of thresholds strictly below v: an
// arithmetic estimate (the thresholds are the odd multiples of the level spacing, so the integer
// part of v / spacing + L/2 is the rank or, in single precision, one above it) corrected by
// comparing v with the threshold below; no float pattern lands below its rank. NaN ranks 0, as it
// exceeds no threshold.
template <unsigned BitsPerAxis>
inline unsigned qam_rank_estimated(const QamThresholds& table, float inverse_spacing, float v) {
    constexpr unsigned levels = 1u << BitsPerAxis;
    const float x = v * inverse_spacing + static_cast<float>(levels / 2);
    unsigned k = 0;
    if (x >= static_cast<float>(levels - 1)) k = levels - 1;
    else if (x >= 0.0f) k = static_cast<unsigned>(x);
    if (k > 0 && !(v > table.thresholds[k - 1])) --k;
    return k;
}

// The bits of the Gray axis index of each rank, most significant first, as bytes ready to store.
template <unsigned BitsPerAxis>
inline constexpr auto rank_bits = [] {
    std::array<std::array<std::uint8_t, BitsPerAxis>, (1u << BitsPerAxis)> table{};
    for (unsigned k = 0; k < table.size(); ++k) write_axis_bits<BitsPerAxis>(k, table[k].data());
    return table;
}();

}  // namespace

void hard_decide_cells(ConstellationOrder order, std::span<const Complex> cells, std::span<std::uint8_t> bits) {
    if (order == ConstellationOrder::Bpsk || order == ConstellationOrder::Qpsk) {
        slice_cells(order, cells, bits);
        return;
    }
    const auto qam = static_cast<QamOrder>(static_cast<unsigned>(order) - 2);
    const QamThresholds thresholds(qam);
    const float inverse_spacing = 1.0f / (2.0f * qam_scale[static_cast<unsigned>(qam)]);
    with_bits_per_axis(qam, [&](auto axis) {
        const auto& table = rank_bits<axis>;
        std::uint8_t* out = bits.data();
        for (const Complex& cell : cells) {
            std::memcpy(out, table[qam_rank_estimated<axis>(thresholds, inverse_spacing, cell.re)].data(), axis);
            std::memcpy(out + axis, table[qam_rank_estimated<axis>(thresholds, inverse_spacing, cell.im)].data(), axis);
            out += 2 * axis;
        }
    });
}

std::string error_message(const OfdmDemodError& error) {
    switch (error.kind) {
        case OfdmDemodError::Kind::UnknownEqualizer:
            return "OfdmDemod: unknown equalizer " + debug_quote(error.keyword) +
                   " (expected 'training_symbol' or 'pilot_interp')";
        case OfdmDemodError::Kind::DemodulateTooShort:
            return "OfdmDemod.demodulate: input too short (" + std::to_string(error.given) + " < " +
                   std::to_string(error.needed) + ")";
        case OfdmDemodError::Kind::EstimateTooShort: break;
    }
    return "OfdmDemod.estimate_channel: input too short (" + std::to_string(error.given) + " < " +
           std::to_string(error.needed) + ")";
}

std::expected<EqualizerMode, OfdmDemodError> parse_equalizer(std::string_view keyword) {
    if (keyword == "training_symbol") return EqualizerMode::TrainingSymbol;
    if (keyword == "pilot_interp") return EqualizerMode::PilotInterp;
    OfdmDemodError error;
    error.keyword = std::string(keyword);
    return std::unexpected(std::move(error));
}

std::expected<OfdmDemod, OfdmDemodError> OfdmDemod::create(const OfdmConfig& cfg,
                                                           std::optional<std::string_view> equalizer) {
    const std::expected<EqualizerMode, OfdmDemodError> mode = parse_equalizer(equalizer.value_or("training_symbol"));
    if (!mode) return std::unexpected(mode.error());
    return OfdmDemod(cfg, *mode);
}

OfdmDemod::OfdmDemod(const OfdmConfig& cfg, EqualizerMode mode)
    : cfg_(cfg),
      fft_(cfg.n_fft()),
      equalizer_(cfg, mode),
      extract_(CarrierGrid::from_plan(cfg.plan())),
      equalized_(cfg.n_fft()),
      cells_(extract_.cells()),
      samples_per_symbol_(cfg.samples_per_ofdm_symbol()),
      bits_per_symbol_(cfg.bits_per_ofdm_symbol()) {}

bool OfdmDemod::demodulate_cells(std::span<const Complex> iq) {
    if (remove_cyclic_prefix(iq, cfg_.n_fft(), cfg_.cp_len(), fft_.input()) != cfg_.n_fft()) return false;
    fft_.execute();
    equalizer_.process(fft_.output(), equalized_);
    extract_.gather(equalized_, cells_);
    return true;
}

std::vector<std::uint8_t> OfdmDemod::decide() const {
    std::vector<std::uint8_t> bits(bits_per_symbol_);
    hard_decide_cells(cfg_.constellation(), cells_, bits);
    return bits;
}

std::expected<std::vector<std::uint8_t>, OfdmDemodError> OfdmDemod::demodulate(std::span<const Complex> iq) {
    if (!demodulate_cells(iq)) {
        return std::unexpected(OfdmDemodError{OfdmDemodError::Kind::DemodulateTooShort, {}, iq.size(), samples_per_symbol_});
    }
    return decide();
}

std::expected<std::pair<std::vector<Complex>, std::vector<std::uint8_t>>, OfdmDemodError> OfdmDemod::demodulate_soft(
    std::span<const Complex> iq) {
    if (!demodulate_cells(iq)) {
        return std::unexpected(OfdmDemodError{OfdmDemodError::Kind::DemodulateTooShort, {}, iq.size(), samples_per_symbol_});
    }
    return std::pair{cells_, decide()};
}

std::expected<void, OfdmDemodError> OfdmDemod::estimate_channel(std::span<const Complex> training_iq) {
    if (remove_cyclic_prefix(training_iq, cfg_.n_fft(), cfg_.cp_len(), fft_.input()) != cfg_.n_fft()) {
        return std::unexpected(
            OfdmDemodError{OfdmDemodError::Kind::EstimateTooShort, {}, training_iq.size(), samples_per_symbol_});
    }
    fft_.execute();
    equalizer_.estimate_from_training_symbol(fft_.output());
    return {};
}

OfdmRxFrame build_ofdm_rx_frame(const OfdmConfig& cfg, std::span<const Complex> soft_symbols,
                                std::span<const std::uint8_t> bits) {
    const std::size_t data_carriers = cfg.plan().data_carriers.size();
    const std::size_t num_symbols = data_carriers == 0 ? 0 : soft_symbols.size() / data_carriers;
    const std::optional<float> evm = evm_db(cfg.constellation(), soft_symbols, bits, num_symbols);
    return OfdmRxFrame(std::vector<std::uint8_t>(bits.begin(), bits.end()), evm, num_symbols);
}

}  // namespace kavro
