#include "multicarrier/pilot_layout.hpp"

#include <algorithm>

namespace kavro {

PilotLayout PilotLayout::build(std::span<const GridPilot> pilots, std::span<const std::size_t> data_bins) {
    PilotLayout layout;
    layout.pilots.assign(pilots.begin(), pilots.end());
    std::stable_sort(layout.pilots.begin(), layout.pilots.end(),
                     [](const GridPilot& a, const GridPilot& b) { return a.bin < b.bin; });
    if (layout.pilots.empty()) return layout;

    std::vector<std::size_t> data(data_bins.begin(), data_bins.end());
    std::sort(data.begin(), data.end());
    layout.entries.reserve(data.size());

    const std::vector<GridPilot>& p = layout.pilots;
    std::size_t left = 0;
    for (const std::size_t d : data) {
        while (left + 1 < p.size() && p[left + 1].bin <= d) ++left;
        PilotLayoutEntry entry{d, p[left].bin, p[left].bin, 0.0f};
        if (left + 1 < p.size() && d > entry.left_bin) {
            entry.right_bin = p[left + 1].bin;
            entry.weight = static_cast<float>(d - entry.left_bin) / static_cast<float>(entry.right_bin - entry.left_bin);
        }
        layout.entries.push_back(entry);
    }
    return layout;
}

bool PilotLayout::fits(std::size_t n_fft) const {
    for (const GridPilot& pilot : pilots)
        if (pilot.bin >= n_fft) return false;
    for (const PilotLayoutEntry& entry : entries)
        if (entry.data_bin >= n_fft) return false;
    return true;
}

}  // namespace kavro
