#include "sync/dvb_t_gi_sync.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <limits>
#include <vector>

#include "core/lanes.hpp"
#include "waveform/dvb_t.hpp"

namespace kavro {

namespace {

constexpr std::size_t lag = gi_sync_fft_len;
constexpr std::size_t max_symbols = 4;
constexpr float metric_weight = -0.95f;
constexpr float cfo_scale = -waveform::dvb_t_sample_rate_hz;
constexpr float two_pi_times_fft = 12867.964f;

using L = Lanes<8>;

std::size_t saturating_add(std::size_t a, std::size_t b) {
    const std::size_t sum = a + b;
    return sum < a ? std::numeric_limits<std::size_t>::max() : sum;
}

// Maps a float to an integer whose signed order is the IEEE-754 total order.
std::int32_t total_order_key(float v) {
    const auto bits = std::bit_cast<std::int32_t>(v);
    return bits < 0 ? bits ^ 0x7FFFFFFF : bits;
}

// min(num / den, 1) for a positive den; 0 when den is not positive or the quotient is not a
// number (a sum that overflowed), so that such a window scores as nothing.
float capped_quotient(float num, float den) {
    if (!(den > 0.0f)) return 0.0f;
    const float q = num / den;
    if (q < 1.0f) return q;
    return q >= 1.0f ? 1.0f : 0.0f;
}

struct WindowSum {
    float re = 0.0f;
    float im = 0.0f;
    float energy = 0.0f;
};

bool finite(float re, float im, float energy) {
    return std::isfinite(re) && std::isfinite(im) && std::isfinite(energy);
}

WindowSum one_window(std::span<const Complex> iq, std::size_t x, std::size_t cp_len) {
    WindowSum s;
    for (std::size_t n = 0; n < cp_len; ++n) {
        const Complex a = iq[x + n], b = iq[x + lag + n];
        s.re = s.re + (a.re * b.re + a.im * b.im);
        s.im = s.im + (a.im * b.re - a.re * b.im);
        s.energy = s.energy + (norm(a) + norm(b));
    }
    return s;
}

}  // namespace

// Eight offsets side by side, one per lane; each lane repeats the plain loop's operations in the
// same order, so the results are bit-identical to it.
void gi_window_sums(const float* re, const float* im, const float* power, std::size_t cp_len, std::size_t count,
                    float* out_re, float* out_im, float* out_energy, SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] {
        std::size_t x = 0;
        for (; x + L::count <= count; x += L::count) {
            L::Floats sr{}, si{}, se{};
            for (std::size_t n = 0; n < cp_len; ++n) {
                const L::Floats ar = L::load(re + x + n), ai = L::load(im + x + n);
                const L::Floats br = L::load(re + x + lag + n), bi = L::load(im + x + lag + n);
                sr = sr + (ar * br + ai * bi);
                si = si + (ai * br - ar * bi);
                se = se + (L::load(power + x + n) + L::load(power + x + lag + n));
            }
            L::store(out_re + x, sr);
            L::store(out_im + x, si);
            L::store(out_energy + x, se);
        }
        for (; x < count; ++x) {
            float sr = 0.0f, si = 0.0f, se = 0.0f;
            for (std::size_t n = 0; n < cp_len; ++n) {
                const float ar = re[x + n], ai = im[x + n], br = re[x + lag + n], bi = im[x + lag + n];
                sr = sr + (ar * br + ai * bi);
                si = si + (ai * br - ar * bi);
                se = se + (power[x + n] + power[x + lag + n]);
            }
            out_re[x] = sr;
            out_im[x] = si;
            out_energy[x] = se;
        }
    });
}

namespace {

// Per-offset records: correlation re, im, metric M (filled by best_offset), half energy P; and per
// offset the number of windows left out. A window holding a non-finite sample (or whose sums
// overflowed) is left out of its offset's sums.
struct OffsetTable {
    std::vector<float> records;
    std::vector<std::uint8_t> left_out;
};

OffsetTable window_sums_per_offset(std::span<const Complex> iq, std::size_t cp_len, std::size_t samples_per_symbol,
                                   std::size_t period) {
    // Only the samples that some offset's windows reach are split into re/im/power.
    const std::size_t reach = saturating_add(samples_per_symbol - 1, saturating_add(period, (max_symbols - 1) * period));
    const std::size_t span_len = std::min(iq.size(), reach);
    std::vector<float> re(span_len), im(span_len), power(span_len);
    for (std::size_t i = 0; i < span_len; ++i) {
        re[i] = iq[i].re;
        im[i] = iq[i].im;
        power[i] = norm(iq[i]);
    }
    OffsetTable table{std::vector<float>(4 * samples_per_symbol, 0.0f), std::vector<std::uint8_t>(samples_per_symbol, 0)};
    std::vector<float> w_re(samples_per_symbol), w_im(samples_per_symbol), w_energy(samples_per_symbol);
    for (std::size_t k = 0; k < max_symbols; ++k) {
        // Offsets whose symbol k fits: d + (k + 1)·L <= len, a prefix of the offsets.
        const std::size_t end = (k + 1) * period;  // period <= len, so no wrap for k < 4
        if (end > iq.size()) break;
        const std::size_t count = std::min(samples_per_symbol, iq.size() - end + 1);
        gi_window_sums(re.data() + k * period, im.data() + k * period, power.data() + k * period, cp_len, count,
                       w_re.data(), w_im.data(), w_energy.data());
        for (std::size_t d = 0; d < count; ++d) {
            if (!finite(w_re[d], w_im[d], w_energy[d])) {
                ++table.left_out[d];
                continue;
            }
            float* rec = &table.records[4 * d];
            rec[0] = rec[0] + w_re[d];
            rec[1] = rec[1] + w_im[d];
            rec[3] = rec[3] + w_energy[d];
        }
    }
    return table;
}

// The largest M wins, the later offset on ties. An offset that lost windows has its M scaled to
// the windows it would have had, so that it competes on the same footing; one that kept none has
// no metric. A metric that is not a number ranks below every number, whatever its sign bit (which
// the vector and plain builds need not agree on).
std::size_t best_offset(OffsetTable& table, std::size_t available, std::size_t period) {
    std::size_t best = 0;
    std::int32_t best_key = std::numeric_limits<std::int32_t>::min();
    for (std::size_t d = 0; d < table.left_out.size(); ++d) {
        float* rec = &table.records[4 * d];
        rec[3] = rec[3] * 0.5f;
        const float weighted = rec[3] * metric_weight;
        rec[2] = std::hypot(rec[0], rec[1]) + weighted;
        if (table.left_out[d] != 0) {
            const std::size_t fit = std::min(max_symbols, (available - d) / period);
            const std::size_t kept = fit - table.left_out[d];
            rec[2] = kept == 0 ? std::numeric_limits<float>::quiet_NaN()
                               : rec[2] * static_cast<float>(fit) / static_cast<float>(kept);
        }
        const std::int32_t key =
            std::isnan(rec[2]) ? std::numeric_limits<std::int32_t>::min() : total_order_key(rec[2]);
        if (key >= best_key) {
            best_key = key;
            best = d;
        }
    }
    return best;
}

}  // namespace

std::optional<GiSyncResult> dvb_t_gi_sync(std::span<const Complex> iq, std::size_t cp_len,
                                          std::size_t samples_per_symbol) {
    if (cp_len == 0 || samples_per_symbol == 0) return std::nullopt;
    const std::size_t period = saturating_add(cp_len, lag);
    if (iq.size() < saturating_add(samples_per_symbol - 1, period)) return std::nullopt;

    OffsetTable table = window_sums_per_offset(iq, cp_len, samples_per_symbol, period);
    const std::size_t best = best_offset(table, iq.size(), period);

    std::size_t timing = best;
    const std::size_t r = best % period;
    const std::size_t t0 = best - r;
    if (r != 0 && period - r <= cp_len - cp_len / 2) {
        const float at_boundary = dvb_t_gi_quality(iq, t0, cp_len, 1);
        const float at_peak = dvb_t_gi_quality(iq, best, cp_len, 1);
        if (at_boundary >= at_peak * 0.5f) timing = t0;
    }

    const float* rec = &table.records[4 * timing];
    GiSyncResult result;
    result.timing = timing;
    result.metric = capped_quotient(std::hypot(rec[0], rec[1]), rec[3]);
    result.cfo_hz = (std::atan2(rec[1], rec[0]) * cfo_scale) / two_pi_times_fft;
    return result;
}

float dvb_t_gi_quality(std::span<const Complex> iq, std::size_t t, std::size_t cp_len, std::size_t windows) {
    const std::size_t period = saturating_add(cp_len, lag);
    WindowSum total;
    for (std::size_t k = 0, x = t; k < windows; ++k, x = saturating_add(x, period)) {
        if (saturating_add(x, period) > iq.size()) break;
        const WindowSum s = one_window(iq, x, cp_len);
        if (!finite(s.re, s.im, s.energy)) continue;
        total.re = total.re + s.re;
        total.im = total.im + s.im;
        total.energy = total.energy + s.energy;
    }
    return capped_quotient(std::hypot(total.re, total.im), total.energy * 0.5f);
}

}  // namespace kavro
