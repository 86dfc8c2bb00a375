#include "multicarrier/carrier_plan.hpp"

#include <algorithm>
#include <unordered_set>

#include "core/internal_fault.hpp"

namespace kavro {

namespace {

// Valid indices run from -(N/2) to (N-1)/2 with truncating division, so N = 0 allows only 0.
struct IndexRange {
    std::int64_t lo;
    std::int64_t hi;
};

IndexRange index_range(std::size_t n_fft) {
    const auto n = static_cast<std::int64_t>(std::min<std::size_t>(n_fft, INT64_MAX));
    return {-(n / 2), (n - 1) / 2};
}

}  // namespace

std::string error_message(const CarrierPlanError& error) {
    switch (error.kind) {
        case CarrierPlanError::Kind::OutOfRange:
            return "carrier index " + std::to_string(error.index) + " is out of range for n_fft=" +
                   std::to_string(error.n_fft) + " (valid: -(n_fft/2)..=((n_fft-1)/2))";
        case CarrierPlanError::Kind::Overlap:
            return "carrier index " + std::to_string(error.index) +
                   " is assigned more than one role (data/pilot overlap)";
        case CarrierPlanError::Kind::EmptyDataSet: break;
    }
    return "no data carriers specified";
}

std::string debug_string(const CarrierPlanError& error) {
    switch (error.kind) {
        case CarrierPlanError::Kind::OutOfRange:
            return "OutOfRange(" + std::to_string(error.index) + ", " + std::to_string(error.n_fft) + ")";
        case CarrierPlanError::Kind::Overlap: return "Overlap(" + std::to_string(error.index) + ")";
        case CarrierPlanError::Kind::EmptyDataSet: break;
    }
    return "EmptyDataSet";
}

CarrierPlan& CarrierPlan::with_pilot_carriers(std::span<const PilotCarrier> pilots) {
    pilot_carriers.insert(pilot_carriers.end(), pilots.begin(), pilots.end());
    return *this;
}

CarrierPlan& CarrierPlan::with_contiguous_data(std::uint64_t guard) {
    // A guard of N/2 or more leaves at most DC, which is skipped; returning early keeps the
    // span arithmetic below free of overflow for any guard.
    if (guard >= n_fft / 2) return *this;
    if (n_fft > static_cast<std::size_t>(INT32_MAX)) internal_fault("CarrierPlan::with_contiguous_data: n_fft beyond 32-bit indices");
    const auto n = static_cast<std::int64_t>(n_fft);
    const auto g = static_cast<std::int64_t>(guard);
    const std::int64_t lo = g - n / 2 + 1;
    const std::int64_t hi = (n - 1) / 2 - g;

    std::vector<std::int32_t> pilot_indices;
    pilot_indices.reserve(pilot_carriers.size());
    for (const PilotCarrier& p : pilot_carriers) pilot_indices.push_back(p.index);
    std::sort(pilot_indices.begin(), pilot_indices.end());

    for (std::int64_t k = lo; k <= hi; ++k) {
        const auto index = static_cast<std::int32_t>(k);
        if (index == 0 || std::binary_search(pilot_indices.begin(), pilot_indices.end(), index)) continue;
        data_carriers.push_back(index);
    }
    return *this;
}

std::expected<void, CarrierPlanError> CarrierPlan::validate() const {
    using Kind = CarrierPlanError::Kind;
    if (data_carriers.empty()) return std::unexpected(CarrierPlanError{Kind::EmptyDataSet, 0, 0});

    const IndexRange range = index_range(n_fft);
    auto out_of_range = [&](std::int32_t k) { return k < range.lo || k > range.hi; };
    for (const std::int32_t k : data_carriers) {
        if (out_of_range(k)) return std::unexpected(CarrierPlanError{Kind::OutOfRange, k, n_fft});
    }
    for (const PilotCarrier& p : pilot_carriers) {
        if (out_of_range(p.index)) return std::unexpected(CarrierPlanError{Kind::OutOfRange, p.index, n_fft});
    }

    std::unordered_set<std::int32_t> seen;
    seen.reserve(data_carriers.size() + pilot_carriers.size());
    for (const std::int32_t k : data_carriers) {
        if (!seen.insert(k).second) return std::unexpected(CarrierPlanError{Kind::Overlap, k, 0});
    }
    for (const PilotCarrier& p : pilot_carriers) {
        if (!seen.insert(p.index).second) return std::unexpected(CarrierPlanError{Kind::Overlap, p.index, 0});
    }
    return {};
}

std::size_t carrier_bin(std::int32_t index, std::size_t n_fft) {
    const auto n = static_cast<std::int64_t>(n_fft);
    const std::int64_t r = static_cast<std::int64_t>(index) % n;
    return static_cast<std::size_t>(r < 0 ? r + n : r);
}

}  // namespace kavro
