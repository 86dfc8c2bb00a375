#include "sync/ofdm_sync.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "core/checked_math.hpp"
#include "core/phasor_nco.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/ifft_block.hpp"
#include "multicarrier/symbol_fft.hpp"
#include "sync/correlation_sums.hpp"
#include "core/pseudo_random.hpp"

namespace kavro {

namespace {

inline constexpr std::size_t max_samples = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(Complex);

// How many of the best candidates get the whole-bin offset search.
inline constexpr std::size_t integer_search_candidates = 5;

// The correlation scan works on the split samples and column rows of one chunk of offsets.
struct SumRows {
    std::vector<float> re, im, energy;

    void resize(std::size_t n) {
        re.resize(n);
        im.resize(n);
        energy.resize(n);
    }
};

// The scan's columns, one entry per examined offset; an offset that yields no candidate has a
// NaN metric.
struct OffsetColumns {
    // Every entry is written by the scan before it is read, so the columns start uninitialised.
    std::unique_ptr<float[]> cfo_hz, metric, energy;

    explicit OffsetColumns(std::size_t offsets)
        : cfo_hz(new float[offsets]), metric(new float[offsets]), energy(new float[offsets]) {}
};

struct ScanSummary {
    std::size_t candidates = 0;
    float e_max = 0.0f;  // the largest finite energy of a candidate
};

ScanSummary scan_offsets(std::span<const Complex> iq, std::size_t r, std::size_t repeats, std::size_t first,
                         std::size_t count, float cfo_divisor, OffsetColumns& out) {
    ScanSummary summary;
    const std::size_t pairs = repeats - 1;
    const std::size_t span_of_pairs = (pairs - 1) * r;  // distance from the first to the last pair's T
    const std::size_t chunk = std::min(count, std::max<std::size_t>(16384, span_of_pairs));

    std::vector<float> re(chunk + span_of_pairs + 2 * r), im(chunk + span_of_pairs + 2 * r);
    SumRows t, totals;
    t.resize(chunk + span_of_pairs);
    totals.resize(chunk);
    std::vector<float> ratio(chunk);

    for (std::size_t done = 0; done < count; done += chunk) {
        const std::size_t n = std::min(chunk, count - done);
        const std::size_t d0 = first + done;
        const std::size_t sums = n + span_of_pairs;
        const std::size_t samples = sums + 2 * r - 1;
        for (std::size_t i = 0; i < samples; ++i) {
            re[i] = iq[d0 + i].re;
            im[i] = iq[d0 + i].im;
        }
        segment_sums(re.data(), im.data(), r, sums, t.re.data(), t.im.data(), t.energy.data());
        pair_totals(t.re.data(), t.im.data(), t.energy.data(), r, pairs, n, totals.re.data(), totals.im.data(),
                    totals.energy.data(), ratio.data());

        for (std::size_t j = 0; j < n; ++j) {
            const float energy = totals.energy[j];
            const float metric = correlation_metric(totals.re[j], totals.im[j], energy, ratio[j]);
            out.metric[done + j] = metric;
            if (std::isnan(metric)) continue;
            out.energy[done + j] = energy;
            out.cfo_hz[done + j] = std::atan2(totals.im[j], totals.re[j]) / cfo_divisor;
            ++summary.candidates;
            if (energy > summary.e_max && std::isfinite(energy)) summary.e_max = energy;
        }
    }
    return summary;
}

// Scores lie in [0, 1] and are never NaN, so their bit patterns order as their values do, within
// 30 bits: one_bits - bits ascending is score descending.
inline constexpr std::uint32_t one_bits = 0x3F800000u;
inline constexpr unsigned offset_bits = 34;
inline constexpr std::uint64_t offset_mask = (std::uint64_t{1} << offset_bits) - 1;

// A candidate as it is sorted: one word with its score's key above its offset from the search
// start, and its frequency offset carried along, so that the sort moves twelve bytes per
// candidate and the sorted list is read in order, with no lookups.
struct __attribute__((packed)) RankedOffset {
    std::uint64_t word;
    float cfo_hz;

    static RankedOffset of(float score, std::size_t offset, float cfo_hz) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &score, sizeof bits);
        return {(static_cast<std::uint64_t>(one_bits - bits) << offset_bits) | offset, cfo_hz};
    }
    std::size_t offset() const { return static_cast<std::size_t>(word & offset_mask); }
    float score() const {
        const auto bits = static_cast<std::uint32_t>(one_bits - static_cast<std::uint32_t>(word >> offset_bits));
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
};

// Sorts by score, descending, keeping the given order among equal scores: a stable
// least-significant-digit radix sort on the three 10-bit digits of the key. spare has room for
// n items; the result lies in whichever of the two buffers is returned.
RankedOffset* sort_by_score(RankedOffset* items, RankedOffset* spare, std::size_t n) {
    constexpr unsigned digit_bits = 10;
    constexpr std::size_t buckets = std::size_t{1} << digit_bits;
    constexpr unsigned digits = 3;
    std::vector<std::size_t> counts(digits * buckets, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (unsigned d = 0; d < digits; ++d)
            ++counts[d * buckets + ((items[i].word >> (offset_bits + d * digit_bits)) & (buckets - 1))];
    for (unsigned d = 0; d < digits; ++d) {
        std::size_t* count = &counts[d * buckets];
        if (*std::max_element(count, count + buckets) == n) continue;  // one bucket: order unchanged
        std::size_t sum = 0;
        for (std::size_t b = 0; b < buckets; ++b) sum += std::exchange(count[b], sum);
        const unsigned shift = offset_bits + d * digit_bits;
        for (std::size_t i = 0; i < n; ++i) spare[count[(items[i].word >> shift) & (buckets - 1)]++] = items[i];
        std::swap(items, spare);
    }
    return items;
}

// The whole-bin offset of one candidate: the circular shift of the training symbol's spectrum,
// after removing the fractional offset, that best matches the reference.
std::int32_t integer_cfo(std::span<const Complex> iq, std::size_t s0, float cfo_hz, float fs, SymbolFft& fft,
                         std::span<const Complex> reference, std::vector<Complex>& block) {
    PhasorNco nco(-static_cast<double>(cfo_hz), static_cast<double>(fs));
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = iq[s0 + i] * nco.next();
    const std::optional<std::span<const Complex>> bins = fft.process_symbol(block);
    if (!bins) return 0;
    const std::span<const Complex> y = *bins;

    const std::size_t n = reference.size();
    const auto h = static_cast<std::int64_t>(n / 2);
    float best = -1.0f;
    std::int64_t best_shift = 0;
    for (std::int64_t s = -h; s <= h; ++s) {
        const auto n_signed = static_cast<std::int64_t>(n);
        std::size_t idx = static_cast<std::size_t>(((s % n_signed) + n_signed) % n_signed);
        Complex acc{};
        for (std::size_t k = 0; k < n; ++k) {
            acc = acc + y[idx] * conj(reference[k]);
            if (++idx == n) idx = 0;
        }
        const float power = acc.re * acc.re + acc.im * acc.im;
        if (power > best) {
            best = power;
            best_shift = s;
        }
    }
    return static_cast<std::int32_t>(best_shift);
}

}  // namespace

PreambleParams PreambleParams::from_parts(std::size_t num_repeats, std::size_t repeat_len,
                                          std::optional<std::size_t> training_n_fft,
                                          std::optional<std::size_t> training_cp_len) {
    PreambleParams params{num_repeats, repeat_len, std::nullopt};
    if (training_n_fft && training_cp_len) params.training = TrainingShape{*training_n_fft, *training_cp_len};
    return params;
}

std::optional<std::size_t> PreambleParams::total_len() const {
    std::optional<std::size_t> len = checked_mul(num_repeats, repeat_len);
    if (len && training) len = checked_add(*len, training->n_fft);
    if (len && training) len = checked_add(*len, training->cp_len);
    return len;
}

std::string error_message(const PreambleError& error) {
    switch (error.kind) {
        case PreambleError::Kind::TrainingPrefixTooLong:
            return "generate_ofdm_preamble: training_cp_len (" + std::to_string(error.training_cp_len) +
                   ") must not exceed training_n_fft (" + std::to_string(error.training_n_fft) + ")";
        case PreambleError::Kind::TrainingTooLarge:
            return "generate_ofdm_preamble: training_n_fft (" + std::to_string(error.training_n_fft) +
                   ") exceeds the largest FFT size (" + std::to_string(max_training_n_fft) + ")";
        case PreambleError::Kind::TooLong: break;
    }
    return "generate_ofdm_preamble: preamble too long (num_repeats " + std::to_string(error.num_repeats) +
           " x repeat_len " + std::to_string(error.repeat_len) + " + training " +
           std::to_string(error.training_n_fft) + " + " + std::to_string(error.training_cp_len) + ")";
}

std::vector<Complex> band_limited_repeat_base(const OfdmConfig& cfg, std::size_t repeat_len) {
    const std::size_t n = cfg.n_fft();
    const std::size_t r = repeat_len;
    const std::size_t k_max = cfg.occupied_half_carriers();

    std::vector<std::size_t> bins;
    if (n != 0 && r != 0 && k_max != 0 && n % r == 0) {
        const std::size_t m = n / r;
        for (std::size_t k = m; k <= k_max && k < n; k += m) {
            bins.push_back(k);
            bins.push_back(n - k);
        }
    }
    if (bins.empty()) return pseudo_random_unit_sequence(r, preamble_seed);

    const std::vector<Complex> values = pseudo_random_unit_sequence(bins.size(), preamble_seed);
    std::vector<Complex> spectrum(n);
    for (std::size_t i = 0; i < bins.size(); ++i) spectrum[bins[i]] = values[i];
    IfftBlock ifft(n);
    std::vector<Complex> time(n);
    ifft.process(spectrum, time);
    time.resize(r);  // one period: only every m-th bin is occupied

    float sum = 0.0f;
    for (const Complex& s : time) sum = sum + (s.re * s.re + s.im * s.im);
    const float power = sum / static_cast<float>(r);
    if (power > 0.0f) {
        // Mean power 4·n_data/N²: twice the amplitude of a data symbol with unit-power cells.
        const float root_data = std::sqrt(static_cast<float>(cfg.plan().data_carriers.size()));
        const float g = ((root_data + root_data) / static_cast<float>(n)) / std::sqrt(power);
        for (Complex& s : time) s = s * g;
    }
    return time;
}

std::expected<std::vector<Complex>, PreambleError> generate_ofdm_preamble(const OfdmConfig& cfg,
                                                                          const PreambleParams& params) {
    PreambleError error{PreambleError::Kind::TooLong, params.num_repeats, params.repeat_len, 0, 0};
    if (params.training) {
        error.training_n_fft = params.training->n_fft;
        error.training_cp_len = params.training->cp_len;
        if (params.training->cp_len > params.training->n_fft) {
            error.kind = PreambleError::Kind::TrainingPrefixTooLong;
            return std::unexpected(error);
        }
        if (params.training->n_fft > max_training_n_fft) {
            error.kind = PreambleError::Kind::TrainingTooLarge;
            return std::unexpected(error);
        }
    }
    const std::optional<std::size_t> total = params.total_len();
    if (!total || *total > max_samples) return std::unexpected(error);

    std::vector<Complex> out;
    out.reserve(*total);
    if (params.num_repeats > 0 && params.repeat_len > 0) {
        const std::vector<Complex> segment = band_limited_repeat_base(cfg, params.repeat_len);
        for (std::size_t i = 0; i < params.num_repeats; ++i) out.insert(out.end(), segment.begin(), segment.end());
    }

    if (params.training && params.training->n_fft > 0) {
        const std::size_t n_t = params.training->n_fft;
        const std::size_t cp_t = params.training->cp_len;
        const std::size_t n = cfg.n_fft();
        std::vector<bool> allowed(n, false);
        for (const std::int32_t k : cfg.plan().data_carriers) allowed[carrier_bin(k, n)] = true;
        for (const PilotCarrier& p : cfg.plan().pilot_carriers) allowed[carrier_bin(p.index, n)] = true;

        std::vector<Complex> x = pseudo_random_unit_sequence(n_t, training_seed);
        for (std::size_t i = 0; i < n_t; ++i)
            if (i >= n || !allowed[i]) x[i] = Complex{};
        IfftBlock ifft(n_t);
        std::vector<Complex> time(n_t);
        ifft.process(x, time);
        out.insert(out.end(), time.end() - static_cast<std::ptrdiff_t>(cp_t), time.end());
        out.insert(out.end(), time.begin(), time.end());
    }

    if (cfg.gain() != 1.0f) {
        const float gain = cfg.gain();
        for (Complex& s : out) s = s * gain;
    }
    return out;
}

std::vector<OfdmSyncResult> ofdm_sync(std::span<const Complex> iq, const PreambleParams& params,
                                      std::size_t search_start, std::size_t search_end, float fs) {
    const std::size_t r = params.repeat_len;
    const std::size_t repeats = params.num_repeats;
    if (!(fs > 0.0f) || r == 0 || repeats <= 1) return {};
    const std::optional<std::size_t> preamble_len = checked_mul(repeats, r);
    const std::optional<std::size_t> needed = params.total_len();
    if (!preamble_len || !needed) return {};

    // The offset len - needed itself is not examined.
    const std::size_t room = iq.size() >= *needed ? iq.size() - *needed : 0;
    const std::size_t last = std::min(room, search_end);
    if (last <= search_start) return {};

    const float cfo_divisor = (static_cast<float>(r) * two_pi_f32) / fs;
    const std::size_t offsets = last - search_start;
    // Offsets are packed beside the score key; a search wider than that could not be held in
    // memory anyway.
    if (offsets > offset_mask) throw std::bad_alloc();
    OffsetColumns columns(offsets);
    const ScanSummary summary = scan_offsets(iq, r, repeats, search_start, offsets, cfo_divisor, columns);
    const std::size_t count = summary.candidates;
    const float e_max = summary.e_max;
    if (count == 0 || !(e_max > 0.0f)) return {};

    // E / E_max is at most 1 for every finite E; an infinite E counts as the maximum.
    std::unique_ptr<RankedOffset[]> ranked(new RankedOffset[count]), spare(new RankedOffset[count]);
    std::size_t filled = 0;
    for (std::size_t j = 0; j < offsets; ++j) {
        if (std::isnan(columns.metric[j])) continue;
        const float share = columns.energy[j] / e_max;
        ranked[filled++] = RankedOffset::of(columns.metric[j] * std::min(share, 1.0f), j, columns.cfo_hz[j]);
    }
    const RankedOffset* sorted = sort_by_score(ranked.get(), spare.get(), count);

    std::vector<OfdmSyncResult> results;
    results.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        results.push_back({search_start + sorted[i].offset(), sorted[i].cfo_hz, 0, sorted[i].score()});

    if (params.training && params.training->n_fft > 0 && params.training->n_fft <= max_training_n_fft) {
        const std::size_t n_t = params.training->n_fft;
        const std::size_t cp_t = params.training->cp_len;
        const std::vector<Complex> reference = pseudo_random_unit_sequence(n_t, training_seed);
        SymbolFft fft(n_t, cp_t);
        std::vector<Complex> block(n_t + cp_t);
        const std::size_t searched = std::min(integer_search_candidates, results.size());
        for (std::size_t i = 0; i < searched; ++i) {
            const std::size_t s0 = results[i].start_sample + *preamble_len;
            if (s0 > iq.size() || iq.size() - s0 < block.size()) continue;
            results[i].integer_cfo_bins = integer_cfo(iq, s0, results[i].cfo_hz, fs, fft, reference, block);
        }
    }
    return results;
}

std::expected<std::vector<Complex>, PreambleError> generate_ofdm_preamble_call(
    const OfdmConfig& cfg, std::size_t num_repeats, std::size_t repeat_len, std::optional<std::size_t> training_n_fft,
    std::optional<std::size_t> training_cp_len) {
    return generate_ofdm_preamble(cfg, PreambleParams::from_parts(num_repeats, repeat_len, training_n_fft, training_cp_len));
}

std::vector<OfdmSyncResult> ofdm_sync_call(std::span<const Complex> iq, float fs, std::size_t num_repeats,
                                           std::size_t repeat_len, std::size_t search_start, std::size_t search_end,
                                           std::optional<std::size_t> training_n_fft,
                                           std::optional<std::size_t> training_cp_len) {
    return ofdm_sync(iq, PreambleParams::from_parts(num_repeats, repeat_len, training_n_fft, training_cp_len),
                     search_start, search_end, fs);
}

}  // namespace kavro
