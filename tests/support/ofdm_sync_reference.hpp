#pragma once

// The preamble search written out literally, shared by the search's tests (which require the
// library to agree with it bit for bit) and its benchmark (which times the from-scratch scan the
// library avoids), and the 64-point configuration both run it on.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/phasor_nco.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "multicarrier/symbol_fft.hpp"
#include "sync/ofdm_sync.hpp"
#include "core/pseudo_random.hpp"

namespace kavro::test {

// Data on -26..26 without DC (52 carriers), no pilots; or 48 data carriers and 4 pilots.
inline OfdmConfig sync_test_config(float fs, bool with_pilots = false, float gain = 1.0f) {
    std::vector<std::int32_t> data, pilot_indices;
    std::vector<Complex> pilot_values;
    for (std::int32_t k = -26; k <= 26; ++k) {
        if (k == 0) continue;
        if (with_pilots && (k == -21 || k == -7 || k == 7 || k == 21)) {
            pilot_indices.push_back(k);
            pilot_values.push_back({1, 0});
        } else {
            data.push_back(k);
        }
    }
    return *OfdmConfig::create(64, 16, std::span<const std::int32_t>(data), std::span<const std::int32_t>(pilot_indices),
                               std::span<const Complex>(pilot_values), fs, 0.0f, gain, "qpsk", std::nullopt);
}

struct RepeatSums {
    float pre, pim, e;  // Re and Im of the sum of conj(a)·b, and the sum of |b|^2
};

// The sums over the `repeats` - 1 pairs of adjacent `r`-sample segments from offset d (a earlier,
// b later), in single precision and in sample order: per pair, then across pairs.
inline RepeatSums literal_repeat_sums(std::span<const Complex> iq, std::size_t d, std::size_t r, std::size_t repeats) {
    float pre = 0.0f, pim = 0.0f, e = 0.0f;
    for (std::size_t m = 0; m + 1 < repeats; ++m) {
        float sr = 0.0f, si = 0.0f, se = 0.0f;
        for (std::size_t n = 0; n < r; ++n) {
            const Complex a = iq[d + m * r + n], b = iq[d + (m + 1) * r + n];
            sr = sr + (a.re * b.re + a.im * b.im);
            si = si + (a.re * b.im - a.im * b.re);
            se = se + (b.re * b.re + b.im * b.im);
        }
        pre = pre + sr;
        pim = pim + si;
        e = e + se;
    }
    return {pre, pim, e};
}

// Every offset recomputed from scratch, as the search is defined; the library reuses segment sums
// and must agree bit for bit.
inline std::vector<OfdmSyncResult> literal_ofdm_sync(std::span<const Complex> iq, const PreambleParams& p,
                                                     std::size_t search_start, std::size_t search_end, float rate) {
    const std::size_t r = p.repeat_len, repeats = p.num_repeats;
    if (!(rate > 0.0f) || r == 0 || repeats <= 1) return {};
    const std::optional<std::size_t> needed = p.total_len();
    if (!needed) return {};
    const std::size_t last = std::min(iq.size() >= *needed ? iq.size() - *needed : 0, search_end);
    const float divisor = (static_cast<float>(r) * 6.2831855f) / rate;

    struct Cand {
        std::size_t d;
        float cfo, metric, e;
    };
    std::vector<Cand> cands;
    for (std::size_t d = search_start; d < last; ++d) {
        const auto [pre, pim, e] = literal_repeat_sums(iq, d, r, repeats);
        if (!(e > 0.0f)) continue;
        const float den = e * e;
        const float ratio = std::isinf(den)
                                ? static_cast<float>((static_cast<double>(pre) * pre + static_cast<double>(pim) * pim) /
                                                     (static_cast<double>(e) * e))
                                : (pre * pre + pim * pim) / den;
        if (std::isnan(ratio)) continue;
        cands.push_back({d, std::atan2(pim, pre) / divisor, std::min(ratio, 1.0f), e});
    }
    float e_max = 0.0f;
    for (const Cand& c : cands)
        if (std::isfinite(c.e)) e_max = std::max(e_max, c.e);
    if (cands.empty() || !(e_max > 0.0f)) return {};

    std::vector<OfdmSyncResult> out;
    for (const Cand& c : cands) out.push_back({c.d, c.cfo, 0, c.metric * std::min(c.e / e_max, 1.0f)});
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.score > b.score; });

    if (!p.training || p.training->n_fft == 0) return out;
    const std::size_t n_t = p.training->n_fft, cp_t = p.training->cp_len;
    const std::vector<Complex> x = pseudo_random_unit_sequence(n_t, training_seed);
    for (std::size_t i = 0; i < std::min<std::size_t>(5, out.size()); ++i) {
        const std::size_t s0 = out[i].start_sample + repeats * r;
        PhasorNco nco(-static_cast<double>(out[i].cfo_hz), rate);
        std::vector<Complex> block(n_t + cp_t);
        for (std::size_t k = 0; k < block.size(); ++k) block[k] = iq[s0 + k] * nco.next();
        SymbolFft sfft(n_t, cp_t);
        const std::vector<Complex> y(sfft.process_symbol(block)->begin(), sfft.process_symbol(block)->end());
        const auto n = static_cast<std::int64_t>(n_t);
        float best = -1.0f;
        for (std::int64_t s = -n / 2; s <= n / 2; ++s) {
            Complex c{};
            for (std::int64_t k = 0; k < n; ++k) c = c + y[static_cast<std::size_t>(((k + s) % n + n) % n)] * conj(x[static_cast<std::size_t>(k)]);
            if (c.re * c.re + c.im * c.im > best) {
                best = c.re * c.re + c.im * c.im;
                out[i].integer_cfo_bins = static_cast<std::int32_t>(s);
            }
        }
    }
    return out;
}

}  // namespace kavro::test
