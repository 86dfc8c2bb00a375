#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "sync/costas.hpp"

// The FT4 candidate search: the lattice search of sync/costas with FT4's frame (four 4-symbol
// Costas arrays, 87 data symbols of 2 bits, rows of 576 samples, bins of 20.833334 Hz).

namespace kavro {

extern const SearchMode ft4_search_mode;

std::vector<Candidate> find_ft4_candidates(const SubGrids& sub_grids, std::uint64_t max_cand);

std::expected<std::vector<Ft4SyncResult>, SyncSpanError> ft4_sync(std::span<const Complex> iq, float fs,
                                                                  float base_hz, float max_hz, std::int32_t t_min,
                                                                  std::int32_t t_max, std::uint64_t max_cand);

}  // namespace kavro
