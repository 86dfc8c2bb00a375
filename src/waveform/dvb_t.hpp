#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/carrier_plan.hpp"
#include "fec/chain/codec_cache.hpp"
#include "waveform/dvb_t_params.hpp"

// The DVB-T 2K carrier layout: 1705 active carriers k = 0..1704 on a 2048-point FFT (carrier k in
// bin (k - 852) mod 2048), 45 continual pilots, 17 TPS carriers and scattered pilots at
// k = 3p + 12m in symbol phase p = 0..3; the other 1512 carriers carry data. Pilots are real,
// +4/3 or -4/3 by the reference bit w_k of the carrier.

namespace kavro::waveform {

inline constexpr std::size_t dvb_t_n_fft = 2048;
inline constexpr std::size_t dvb_t_active_carriers = 1705;
inline constexpr std::size_t dvb_t_data_carriers = 1512;
inline constexpr std::size_t dvb_t_centre_carrier = 852;  // the carrier at DC
inline constexpr std::size_t dvb_t_phases = 4;

// The sample rate every hertz value of the receive path assumes, whatever rate the samples were
// taken at: the "1mhz" narrowband mode's 2048000000 / 1705, in single precision. One bin is
// dvb_t_sample_rate_hz / 2048 = 586.51025 Hz.
inline constexpr float dvb_t_sample_rate_hz = 1201173.0f;

inline constexpr std::array<std::uint16_t, 45> dvb_t_continual_pilots{
    0,    48,   54,   87,   141,  156,  192,  201,  255,  279,  282,  333,  432,  450,  483,
    525,  531,  618,  636,  714,  759,  765,  780,  804,  873,  888,  918,  939,  942,  969,
    984,  1050, 1101, 1107, 1110, 1137, 1140, 1146, 1206, 1269, 1323, 1377, 1491, 1683, 1704};

inline constexpr std::array<std::uint16_t, 17> dvb_t_tps_carriers{
    34, 50, 209, 346, 413, 569, 595, 688, 790, 901, 1073, 1219, 1262, 1286, 1469, 1594, 1687};

// The FFT bin of active carrier k.
constexpr std::size_t dvb_t_carrier_bin(std::size_t k) {
    return (k + dvb_t_n_fft - dvb_t_centre_carrier) % dvb_t_n_fft;
}

inline constexpr std::array<std::size_t, 17> dvb_t_tps_bins = [] {
    std::array<std::size_t, 17> bins{};
    for (std::size_t i = 0; i < bins.size(); ++i) bins[i] = dvb_t_carrier_bin(dvb_t_tps_carriers[i]);
    return bins;
}();

// Cyclic-prefix length of guard index 0..3 ("1/32", "1/16", "1/8", "1/4"): 64, 128, 256, 512.
constexpr std::size_t dvb_t_guard_cp_len(std::uint8_t guard) { return dvb_t_n_fft >> (5 - (guard & 3u)); }

// The pilot reference bits w_0..w_1704 (one per byte): the PRBS X^11 + X^2 + 1 from an all-ones
// register, w_k = w_(k-2) XOR w_(k-11).
std::vector<std::uint8_t> wk_prbs();

// The value a pilot on carrier k carries: (0.5 - w_k) x 8/3 in single precision.
Complex dvb_t_pilot_value(std::uint8_t wk);

// The four plans of phases 0..3: data carriers ascending as k - 852, pilots (continual,
// scattered of the phase and TPS, each once) ascending with their values, the guard's prefix.
std::array<CarrierPlan, dvb_t_phases> dvb_t_2k_plans(std::uint8_t guard);

// The grids of the four phases, their pilot lists without the TPS bins (what a receiver
// estimates the channel from), and the phase of the next symbol.
struct ScatteredGridCycle {
    std::array<CarrierGrid, dvb_t_phases> grids;
    std::array<std::vector<GridPilot>, dvb_t_phases> pilots_without_tps;
    std::size_t phase = 0;

    explicit ScatteredGridCycle(std::uint8_t guard);
};

// Places one symbol's data cells and pilots on the grid of the cycle's current phase.
class ScatteredPilotMapper {
public:
    // Starts at phase 0 from a copy of the guard's cycle, which is built once per process.
    explicit ScatteredPilotMapper(std::uint8_t guard);

    // cells: exactly 1512 data cells, out: exactly 2048 bins (other sizes are an internal fault).
    // Clears out, writes cell i to the i-th data bin and every pilot of the phase (TPS bins
    // included) to its bin, then steps the phase to (phase + 1) mod 4.
    void map_symbol(std::span<const Complex> cells, std::span<Complex> out);

    const ScatteredGridCycle& cycle() const { return cycle_; }
    std::size_t phase() const { return cycle_.phase; }

private:
    ScatteredGridCycle cycle_;
};

// How many packets a frame of n_symbols symbols carries: counting up from start_packets, the
// last count m whose coded length still fits the capacity (coded(m + 1) exceeds it). The start
// must itself fit. Lengths in bits.
struct DvbTFillPlan {
    std::size_t packets = 0;
    std::size_t coded_bits = 0;
    std::size_t capacity_bits = 0;

    friend constexpr bool operator==(const DvbTFillPlan&, const DvbTFillPlan&) = default;
};

DvbTFillPlan dvb_t_frame_fill_with(const DvbTFrameParams& params, std::size_t start_packets, std::size_t n_symbols,
                                   fec::CodecCache& cache);

}  // namespace kavro::waveform
