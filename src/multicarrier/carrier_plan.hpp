#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"

// Which subcarriers of an OFDM symbol carry data and which carry pilots, in signed carrier
// indices around DC (0 is DC, negative indices lie below it), with the FFT size, the
// cyclic-prefix length and the symbol-window roll-off.

namespace kavro {

struct PilotCarrier {
    std::int32_t index = 0;
    Complex value{};

    friend constexpr bool operator==(const PilotCarrier&, const PilotCarrier&) = default;
};

struct CarrierPlanError {
    enum class Kind : std::uint8_t { OutOfRange, Overlap, EmptyDataSet };
    Kind kind = Kind::EmptyDataSet;
    std::int32_t index = 0;   // OutOfRange, Overlap
    std::size_t n_fft = 0;    // OutOfRange

    friend constexpr bool operator==(const CarrierPlanError&, const CarrierPlanError&) = default;
};

std::string error_message(const CarrierPlanError& error);

// "OutOfRange(40, 64)", "Overlap(5)", "EmptyDataSet".
std::string debug_string(const CarrierPlanError& error);

struct CarrierPlan {
    std::vector<std::int32_t> data_carriers;   // placement order of a symbol's data cells
    std::vector<PilotCarrier> pilot_carriers;
    std::size_t n_fft = 0;
    std::size_t cp_len = 0;
    std::size_t roll_off = 0;  // symbol-window taper length; 0 = no window

    // Appends the pilots after those already present. No validation.
    CarrierPlan& with_pilot_carriers(std::span<const PilotCarrier> pilots);

    // Appends every index from guard - N/2 + 1 up to (N-1)/2 - guard, ascending, skipping DC
    // and the indices of pilots already present (add pilots first). No validation.
    CarrierPlan& with_contiguous_data(std::uint64_t guard);

    // The first failing check: empty data set; an index outside -(N/2)..=(N-1)/2 (data first,
    // then pilots, in list order); an index given a second role or listed twice.
    std::expected<void, CarrierPlanError> validate() const;

    friend bool operator==(const CarrierPlan&, const CarrierPlan&) = default;
};

// The FFT bin of carrier index k: the Euclidean remainder of k by n_fft (n_fft >= 1).
std::size_t carrier_bin(std::int32_t index, std::size_t n_fft);

}  // namespace kavro
