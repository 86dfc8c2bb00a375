#include "multicarrier/carrier_grid.hpp"

#include "core/internal_fault.hpp"

namespace kavro {

CarrierGrid CarrierGrid::from_plan(const CarrierPlan& plan) {
    if (auto valid = plan.validate(); !valid) {
        internal_fault("CarrierGrid::from_plan: invalid CarrierPlan: " + debug_string(valid.error()));
    }
    if (plan.n_fft == 0) internal_fault("CarrierGrid::from_plan: n_fft must be at least 1");

    CarrierGrid grid;
    grid.n_fft = plan.n_fft;
    grid.roles.assign(plan.n_fft, CarrierRole::Null);
    grid.data_bins.reserve(plan.data_carriers.size());
    for (const std::int32_t k : plan.data_carriers) {
        const std::size_t bin = carrier_bin(k, plan.n_fft);
        grid.roles[bin] = CarrierRole::Data;
        grid.data_bins.push_back(bin);
    }
    grid.pilots.reserve(plan.pilot_carriers.size());
    for (const PilotCarrier& p : plan.pilot_carriers) {
        const std::size_t bin = carrier_bin(p.index, plan.n_fft);
        grid.roles[bin] = CarrierRole::Pilot;
        grid.pilots.push_back({bin, p.value});
    }
    return grid;
}

}  // namespace kavro
