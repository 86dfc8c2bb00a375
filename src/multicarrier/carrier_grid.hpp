#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/complex.hpp"
#include "multicarrier/carrier_plan.hpp"

// A validated carrier plan resolved to FFT bins: one role per bin, the data bins in the order
// data cells are placed, and the pilot bins with their values.

namespace kavro {

enum class CarrierRole : std::uint8_t { Data = 0, Pilot = 1, Null = 2 };

struct GridPilot {
    std::size_t bin = 0;
    Complex value{};

    friend constexpr bool operator==(const GridPilot&, const GridPilot&) = default;
};

struct CarrierGrid {
    std::vector<CarrierRole> roles;       // n_fft entries
    std::vector<std::size_t> data_bins;   // in the plan's data-carrier order
    std::vector<GridPilot> pilots;        // in the plan's pilot order
    std::size_t n_fft = 0;

    // The plan must already have passed validation and have n_fft >= 1; anything else is an
    // internal fault.
    static CarrierGrid from_plan(const CarrierPlan& plan);
};

}  // namespace kavro
