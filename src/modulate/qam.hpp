#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

// Square Gray-coded QAM, log2(order) bits per symbol (trailing bits ignored), carried to rf_hz.
class QamMod {
public:
    static std::expected<QamMod, QamOrderError> create(std::uint32_t order, double fs, double rf_hz, float gain);

    std::vector<Complex> process(std::span<const std::uint8_t> bits);
    void set_gain(float gain) { gain_ = gain; }

private:
    QamMod(QamOrder order, double fs, double rf_hz, float gain)
        : order_(order), table_(order), gain_(gain), nco_(rf_hz, fs) {}

    QamOrder order_;
    QamGrayLevels table_;
    float gain_;
    PhasorNco nco_;
};

}  // namespace kavro
