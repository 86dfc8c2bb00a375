#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "core/simd_level.hpp"

namespace kavro {

// Hard square-QAM decisions against the unit-energy thresholds: the gain must bring the
// received amplitude to unit average energy.
class QamDemod {
public:
    static std::expected<QamDemod, QamOrderError> create(std::uint32_t order, float gain);

    std::vector<std::uint8_t> process(std::span<const Complex> iq) { return process_at(iq, best_simd_level()); }
    // `level` picks the build of the vector kernel; every level gives the same bits.
    std::vector<std::uint8_t> process_at(std::span<const Complex> iq, SimdLevel level);
    void set_gain(float gain) { gain_ = gain; }

private:
    QamDemod(QamOrder order, float gain) : order_(order), table_(order), gain_(gain) {}

    QamOrder order_;
    QamThresholds table_;
    float gain_;
};

}  // namespace kavro
