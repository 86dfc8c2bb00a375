#include "waveform/dvb_t.hpp"

#include <algorithm>
#include <string>

#include "core/internal_fault.hpp"
#include "waveform/dvb_t_ts.hpp"

namespace kavro::waveform {

std::vector<std::uint8_t> wk_prbs() {
    std::vector<std::uint8_t> w(dvb_t_active_carriers);
    std::uint32_t r = 0x7FF;
    for (std::uint8_t& bit : w) {
        bit = static_cast<std::uint8_t>((r >> 10) & 1u);
        r = ((r & 0x3FFu) << 1) | (((r >> 10) ^ (r >> 1)) & 1u);
    }
    return w;
}

Complex dvb_t_pilot_value(std::uint8_t wk) {
    return {(0.5f - static_cast<float>(wk & 1u)) * 2.6666667f, 0.0f};
}

std::array<CarrierPlan, dvb_t_phases> dvb_t_2k_plans(std::uint8_t guard) {
    const std::vector<std::uint8_t> w = wk_prbs();
    const auto signed_index = [](std::size_t k) {
        return static_cast<std::int32_t>(k) - static_cast<std::int32_t>(dvb_t_centre_carrier);
    };
    std::array<CarrierPlan, dvb_t_phases> plans;
    for (std::size_t p = 0; p < dvb_t_phases; ++p) {
        // Continual and scattered positions coincide in places; the set keeps each carrier once.
        std::array<bool, dvb_t_active_carriers> pilot{};
        for (const std::uint16_t k : dvb_t_continual_pilots) pilot[k] = true;
        for (const std::uint16_t k : dvb_t_tps_carriers) pilot[k] = true;
        for (std::size_t k = 3 * p; k < dvb_t_active_carriers; k += 12) pilot[k] = true;

        CarrierPlan& plan = plans[p];
        plan.n_fft = dvb_t_n_fft;
        plan.cp_len = dvb_t_guard_cp_len(guard);
        plan.roll_off = 0;
        for (std::size_t k = 0; k < dvb_t_active_carriers; ++k) {
            if (pilot[k]) plan.pilot_carriers.push_back({signed_index(k), dvb_t_pilot_value(w[k])});
            else plan.data_carriers.push_back(signed_index(k));
        }
        if (plan.data_carriers.size() != dvb_t_data_carriers) {
            internal_fault("scattered plan phase " + std::to_string(p) + " must carry exactly " +
                           std::to_string(dvb_t_data_carriers) + " data carriers");
        }
    }
    return plans;
}

ScatteredGridCycle::ScatteredGridCycle(std::uint8_t guard) {
    const auto plans = dvb_t_2k_plans(guard);
    for (std::size_t p = 0; p < dvb_t_phases; ++p) {
        grids[p] = CarrierGrid::from_plan(plans[p]);
        for (const GridPilot& pilot : grids[p].pilots) {
            const bool tps = std::find(dvb_t_tps_bins.begin(), dvb_t_tps_bins.end(), pilot.bin) != dvb_t_tps_bins.end();
            if (!tps) pilots_without_tps[p].push_back(pilot);
        }
    }
}

ScatteredPilotMapper::ScatteredPilotMapper(std::uint8_t guard)
    : cycle_([guard]() -> const ScatteredGridCycle& {
          static const std::array<ScatteredGridCycle, 4> cycles{ScatteredGridCycle(0), ScatteredGridCycle(1),
                                                                 ScatteredGridCycle(2), ScatteredGridCycle(3)};
          return cycles[guard & 3u];
      }()) {}

void ScatteredPilotMapper::map_symbol(std::span<const Complex> cells, std::span<Complex> out) {
    if (cells.size() != dvb_t_data_carriers || out.size() != dvb_t_n_fft) {
        internal_fault("map_symbol needs " + std::to_string(dvb_t_data_carriers) + " cells and " +
                       std::to_string(dvb_t_n_fft) + " bins (got " + std::to_string(cells.size()) + " and " +
                       std::to_string(out.size()) + ")");
    }
    const CarrierGrid& grid = cycle_.grids[cycle_.phase];
    std::fill(out.begin(), out.end(), Complex{});
    const std::size_t* bins = grid.data_bins.data();
    for (std::size_t i = 0; i < dvb_t_data_carriers; ++i) out[bins[i]] = cells[i];
    for (const GridPilot& pilot : grid.pilots) out[pilot.bin] = pilot.value;
    cycle_.phase = (cycle_.phase + 1) % dvb_t_phases;
}

DvbTFillPlan dvb_t_frame_fill_with(const DvbTFrameParams& params, std::size_t start_packets, std::size_t n_symbols,
                                   fec::CodecCache& cache) {
    const fec::ChainSettings chain = dvb_t_chain_settings(params);
    DvbTFillPlan plan;
    plan.capacity_bits = n_symbols * params.bits_per_cell() * dvb_t_data_carriers;
    plan.packets = start_packets;
    plan.coded_bits = dvb_t_coded_bits(chain, start_packets, cache);
    for (;;) {
        const std::size_t next = dvb_t_coded_bits(chain, plan.packets + 1, cache);
        if (next > plan.capacity_bits) break;
        plan.packets += 1;
        plan.coded_bits = next;
    }
    return plan;
}

}  // namespace kavro::waveform
