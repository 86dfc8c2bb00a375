#include "sync/ft4_sync.hpp"

#include "codec/ft4.hpp"

namespace kavro {

namespace {

constexpr auto ft4_cells = costas_cells<4, 4>(codec::ft4_costas, {1, 34, 67, 100});
constexpr auto ft4_data_symbols = data_symbol_list<87>(codec::ft4_layout);
constexpr auto ft4_zero_tones = zero_tone_masks<2>(codec::ft4_gray_map);

}  // namespace

const SearchMode ft4_search_mode{"ft4_sync",
                                 codec::ft4_frame.symbol_samples,
                                 codec::ft4_frame.spacing_hz,
                                 static_cast<std::int64_t>(codec::ft4_frame.symbols()),
                                 codec::ft4_frame.alphabet,
                                 5,
                                 ft4_cells,
                                 ft4_data_symbols,
                                 ft4_zero_tones};

std::vector<Candidate> find_ft4_candidates(const SubGrids& sub_grids, std::uint64_t max_cand) {
    return find_lattice_candidates(ft4_search_mode, sub_grids, max_cand);
}

std::expected<std::vector<Ft4SyncResult>, SyncSpanError> ft4_sync(std::span<const Complex> iq, float fs,
                                                                  float base_hz, float max_hz, std::int32_t t_min,
                                                                  std::int32_t t_max, std::uint64_t max_cand) {
    return run_sync(ft4_search_mode, iq, fs, base_hz, max_hz, t_min, t_max, max_cand);
}

}  // namespace kavro
