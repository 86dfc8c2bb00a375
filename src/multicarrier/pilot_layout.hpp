#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "multicarrier/carrier_grid.hpp"

// The interpolation plan of one carrier grid: its pilots sorted by FFT bin and, for every data
// bin, the pilots on either side of it and the linear weight between them. Interpolation runs in
// bin order, so data bins below the lowest pilot bin or above the highest take that pilot's
// estimate, and the bins between the highest positive-frequency pilot and the most negative one
// (the band edges, which meet in bin order) are interpolated between those two.

namespace kavro {

struct PilotLayoutEntry {
    std::size_t data_bin = 0;
    std::size_t left_bin = 0;
    std::size_t right_bin = 0;   // left_bin when there is no pilot to the right
    float weight = 0.0f;         // (data - left) / (right - left); 0 without a right pilot

    friend constexpr bool operator==(const PilotLayoutEntry&, const PilotLayoutEntry&) = default;
};

struct PilotLayout {
    std::vector<GridPilot> pilots;          // by bin, stable among equal bins
    std::vector<PilotLayoutEntry> entries;  // one per data bin, ascending

    // Both lists in any order. No pilots: no entries either.
    static PilotLayout build(std::span<const GridPilot> pilots, std::span<const std::size_t> data_bins);

    // True when every bin the layout touches lies below n_fft.
    bool fits(std::size_t n_fft) const;
};

}  // namespace kavro
