#include "sync/psk31_sync.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "sync/waterfall.hpp"
#include "waveform/psk31_receiver.hpp"

namespace kavro {

std::string error_message(const Psk31SyncError& error) {
    return "psk31_sync: waterfall of " + std::to_string(error.n_time) + " x " + std::to_string(error.n_bins) +
           " cells is too large (max 268435456)";
}

namespace {

// Numbers ascending, NaN after all of them: a strict weak order even on NaN.
bool number_before(float a, float b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

}  // namespace

std::optional<std::size_t> psk31_bin_count(float base_hz, float max_hz) {
    float span = max_hz - base_hz;
    if (!(span > 0.0f)) span = 0.0f;  // NaN counts as 0
    const float steps = std::ceil(span / psk31_bin_hz);
    if (steps >= 18446744073709551616.0f) return std::nullopt;
    const auto count = static_cast<std::uint64_t>(steps);
    if (count == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
    return count + 1;
}

std::vector<Psk31CarrierRun> psk31_carrier_runs(const Waterfall& w, std::size_t min_syms, float margin) {
    const std::size_t n_time = w.n_rows, n_bins = w.n_bins;
    std::vector<float> noise(n_bins);
    std::vector<float> column(n_time);
    for (std::size_t b = 0; b < n_bins; ++b) {
        for (std::size_t t = 0; t < n_time; ++t) column[t] = w.data[t * n_bins + b];
        noise[b] = median_f32(column);
    }
    const float floor = median_f32(noise);
    const float minus_inf = -std::numeric_limits<float>::infinity();

    std::vector<Psk31CarrierRun> runs;
    for (std::size_t b = 0; b < n_bins; ++b) {
        const bool loud_bin = noise[b] > floor + margin;
        bool in_run = false;
        std::size_t start = 0, count = 0;
        float sum = 0.0f;
        const auto close = [&] {
            if (in_run && count >= min_syms) runs.push_back({start, b, sum / static_cast<float>(count)});
            in_run = false;
        };
        for (std::size_t t = 0; t < n_time; ++t) {
            const float* row = &w.data[t * n_bins];
            const float v = row[b];
            const bool level = v > noise[b] + margin || loud_bin;
            const float right = b + 1 < n_bins ? row[b + 1] : minus_inf;
            const bool peak = (b == 0 || v >= row[b - 1]) && v >= right;
            if (level && peak) {
                if (in_run) {
                    ++count;
                    sum += v;
                } else {
                    in_run = true;
                    start = t;
                    count = 1;
                    sum = v;
                }
            } else {
                close();
            }
        }
        close();
    }
    return runs;
}

float median_f32(std::vector<float> values) {
    std::sort(values.begin(), values.end(), number_before);
    const std::size_t m = values.size();
    if (m % 2 == 1) return values[m / 2];
    return (values[m / 2 - 1] + values[m / 2]) * 0.5f;
}

void record_candidate(std::vector<Psk31SyncResult>& results, std::size_t time_sym, std::size_t freq_bin,
                      std::span<const Complex> iq, std::size_t n_bits, float base_hz, float score, float fs) {
    const std::size_t sps = waveform::psk31_samples_per_symbol(fs);
    if (sps == 0 || sps > waveform::psk31_max_samples_per_symbol) return;
    if (iq.empty() || time_sym > (iq.size() - 1) / sps) return;  // start at or past the end
    const std::size_t start = time_sym * sps;
    const float carrier = base_hz + static_cast<float>(freq_bin) * psk31_bin_hz;
    waveform::Psk31DemodState receiver(sps, fs, carrier, 1.0f);
    const std::size_t wanted = std::min(n_bits, (iq.size() - start) / sps);
    std::vector<float> soft(wanted + 2);
    const std::size_t count =
        waveform::psk31_receive<waveform::Psk31Mode::Bpsk31>(receiver, iq.subspan(start), soft, best_simd_level());
    soft.resize(std::min(wanted, count));
    results.push_back({std::move(soft), time_sym, freq_bin, carrier, score});
}

std::expected<std::vector<Psk31SyncResult>, Psk31SyncError> psk31_sync(std::span<const Complex> iq, float fs,
                                                                       float base_hz, float max_hz,
                                                                       std::size_t min_carrier_syms,
                                                                       float peak_margin_db, std::size_t n_bits,
                                                                       std::size_t max_cand) {
    const float margin = (peak_margin_db * 0.6931472f) / 3.0f;
    const std::uint64_t sps = waveform::psk31_samples_per_symbol(fs);
    const std::size_t n = iq.size();
    if (sps == 0 || sps > waveform::psk31_max_samples_per_symbol || n == 0 || sps > n) return {};
    const auto n_bins = psk31_bin_count(base_hz, max_hz);
    if (!n_bins) return {};
    const std::size_t n_time = n / sps;
    if (*n_bins > psk31_max_waterfall_cells / n_time) return std::unexpected(Psk31SyncError{n_time, *n_bins});

    const Waterfall w = compute_waterfall(iq, sps, n_time, *n_bins, 0, fs, base_hz, psk31_bin_hz);
    std::vector<Psk31CarrierRun> runs = psk31_carrier_runs(w, std::max<std::size_t>(min_carrier_syms, 1), margin);
    // Highest score first, NaN last.
    std::sort(runs.begin(), runs.end(), [](const Psk31CarrierRun& a, const Psk31CarrierRun& b) {
        return !std::isnan(a.score) && (std::isnan(b.score) || a.score > b.score);
    });
    if (runs.size() > max_cand) runs.resize(max_cand);

    std::vector<Psk31SyncResult> results;
    results.reserve(runs.size());
    for (const Psk31CarrierRun& r : runs) record_candidate(results, r.time_sym, r.freq_bin, iq, n_bits, base_hz, r.score, fs);
    return results;
}

std::optional<std::size_t> best_psk31_index(std::span<const Psk31SyncKey> keys, float carrier_hz, float baud) {
    const float window = baud + baud;
    std::optional<std::size_t> best;
    float best_distance = 0.0f;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const float distance = std::fabs(keys[i].carrier_hz - carrier_hz);
        if (!(distance <= window)) continue;
        if (!best || keys[i].time_sym < keys[*best].time_sym ||
            (keys[i].time_sym == keys[*best].time_sym && distance < best_distance)) {
            best = i;
            best_distance = distance;
        }
    }
    return best;
}

bool psk31_same_candidate(const Psk31SyncKey& chosen, const Psk31SyncKey& other) {
    return other.time_sym == chosen.time_sym && std::fabs(other.carrier_hz - chosen.carrier_hz) < 0.01f;
}

}  // namespace kavro
