#include "demodulate/ofdm_frame/frame_attempt.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "core/internal_fault.hpp"
#include "core/pseudo_random.hpp"
#include "demodulate/ofdm_frame/preamble_search.hpp"

namespace kavro {

namespace {

// Mean power of the transmitted repeated segment, the reference for an attempt's scale.
float preamble_segment_power(const OfdmConfig& cfg, const PreambleParams& preamble) {
    const std::vector<Complex> segment = band_limited_repeat_base(cfg, preamble.repeat_len);
    double sum = 0.0;
    for (const Complex& x : segment) sum += static_cast<double>(norm(x));
    const float gain = cfg.gain();
    const auto power = static_cast<float>(sum / static_cast<double>(segment.size()) * gain * gain);
    return std::isnormal(power) ? power : 1.0f;
}

}  // namespace

// The whole-bin search matches the products of neighbouring bins (k, k+1) with w[k], the conjugate
// of their product in the transmitted training symbol where both bins carry it (0 elsewhere): at a
// shift s it forms Σ_k w[k]·products[k + s], a circular correlation, which is 1/N times the inverse
// transform of conj(U)·F, F the products' spectrum and U that of conj(w). This returns conj(U).
std::vector<Complex> FrameAttemptDecoder::training_pair_spectrum(const OfdmConfig& cfg) {
    const std::size_t n = cfg.n_fft();
    std::vector<bool> used(n, false);
    for (const std::int32_t k : cfg.plan().data_carriers) used[carrier_bin(k, n)] = true;
    for (const PilotCarrier& p : cfg.plan().pilot_carriers) used[carrier_bin(p.index, n)] = true;
    const std::vector<Complex> x = pseudo_random_unit_sequence(n, training_seed);
    FftBlock fft(n);
    const std::span<Complex> conj_w = fft.input();
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t next = k + 1 == n ? 0 : k + 1;
        conj_w[k] = n > 1 && used[k] && used[next] ? x[k] * conj(x[next]) : Complex{};
    }
    fft.execute();
    std::vector<Complex> spectrum(n);
    for (std::size_t k = 0; k < n; ++k) spectrum[k] = conj(fft.output()[k]);
    return spectrum;
}

FrameAttemptDecoder::FrameAttemptDecoder(waveform::FrameLink link, const PreambleParams& preamble)
    : body_(std::move(link)),
      preamble_(preamble),
      fs_(body_.link().cfg.fs()),
      n_fft_(body_.link().cfg.n_fft()),
      cp_len_(body_.link().cfg.cp_len()),
      preamble_len_(std::uint64_t{preamble.num_repeats} * preamble.repeat_len),
      span_(preamble_len_ + n_fft_ + cp_len_),
      segment_power_(preamble_searchable(fs_, preamble_) ? preamble_segment_power(body_.link().cfg, preamble_) : 1.0f),
      cfo_divisor_((static_cast<float>(preamble.repeat_len) * two_pi_f32) / fs_),
      pair_spectrum_(training_pair_spectrum(body_.link().cfg)),
      fft_(n_fft_),
      ifft_(n_fft_) {}

FrameAttempt FrameAttemptDecoder::open(std::uint64_t start, const OffsetRecord& record,
                                       std::span<const Complex> samples) {
    const float cfo_hz = std::atan2(record.p_im, record.p_re) / cfo_divisor_;
    const float scale = attempt_scale(record);
    const std::int32_t bins = whole_bin_offset(samples, cfo_hz, scale);
    const float coarse_hz = cfo_hz + (fs_ / static_cast<float>(n_fft_)) * static_cast<float>(bins);
    const float total_hz = refine_offset(samples, record, coarse_hz, scale);
    return FrameAttempt{start, PhasorNco(-static_cast<double>(total_hz), static_cast<double>(fs_)), scale,
                        std::nullopt};
}

float FrameAttemptDecoder::attempt_scale(const OffsetRecord& record) const {
    const auto segments = static_cast<double>((preamble_.num_repeats - 1) * preamble_.repeat_len);
    const double ratio = (record.true_energy() / segments) / segment_power_;
    if (!std::isfinite(ratio) || !(ratio > 0.0)) return 1.0f;
    const long exponent = std::lround(0.5 * std::log2(ratio));
    return std::ldexp(1.0f, static_cast<int>(-std::clamp(exponent, -120L, 120L)));
}

std::int32_t FrameAttemptDecoder::whole_bin_offset(std::span<const Complex> samples, float cfo_hz, float scale) {
    // The training symbol with the fractional offset removed and its prefix dropped, transformed.
    PhasorNco nco(-static_cast<double>(cfo_hz), static_cast<double>(fs_));
    const Complex* symbol = samples.data() + preamble_len_;
    for (std::uint64_t i = 0; i < cp_len_; ++i) nco.next();
    const std::span<Complex> input = fft_.input();
    for (std::uint64_t i = 0; i < n_fft_; ++i) input[i] = (symbol[cp_len_ + i] * nco.next()) * scale;
    fft_.execute();
    const std::span<const Complex> y = fft_.output();

    // The whole-bin offset is the circular shift of the spectrum that best matches the reference.
    // Matching products of neighbouring bins rather than the bins themselves makes the match
    // indifferent to where the window sits in the cyclic prefix: a window t samples early turns
    // bin k by 2πkt/N, which would spread a direct correlation over all shifts but turns every
    // neighbour product by the same 2πt/N. The match at every shift comes from two transforms.
    const std::span<Complex> products = ifft_.input();
    for (std::size_t a = 0; a < n_fft_; ++a) products[a] = y[a] * conj(y[a + 1 == n_fft_ ? 0 : a + 1]);
    std::copy(products.begin(), products.end(), fft_.input().begin());
    fft_.execute();
    for (std::size_t k = 0; k < n_fft_; ++k) products[k] = fft_.output()[k] * pair_spectrum_[k];
    ifft_.execute();
    const std::span<const Complex> match = ifft_.unscaled_output();

    const auto n = static_cast<std::int64_t>(n_fft_);
    const std::int64_t h = n / 2;
    float best = -1.0f;
    std::int64_t best_shift = 0;
    for (std::int64_t shift = -h; shift <= h; ++shift) {
        const Complex acc = match[static_cast<std::size_t>(((shift % n) + n) % n)];
        const float power = acc.re * acc.re + acc.im * acc.im;
        if (power > best) {
            best = power;
            best_shift = shift;
        }
    }
    return static_cast<std::int32_t>(best_shift);
}

float FrameAttemptDecoder::refine_offset(std::span<const Complex> samples, const OffsetRecord& record,
                                         float coarse_hz, float scale) const {
    // The training symbol's prefix against its copy one FFT length later: a lag N/R times the
    // segments' measures the offset that much more finely, within half a bin of the coarse one.
    // Each estimate's phase variance is about σ²·E/|c|²; converted to frequency and weighed by
    // its inverse, the two combine without knowing σ².
    const Complex* symbol = samples.data() + preamble_len_;
    double c_re = 0.0, c_im = 0.0, c_energy = 0.0;
    for (std::uint64_t n = 0; n < cp_len_; ++n) {
        const Complex a = symbol[n] * scale;
        const Complex b = symbol[n + n_fft_] * scale;
        c_re += static_cast<double>(a.re) * b.re + static_cast<double>(a.im) * b.im;
        c_im += static_cast<double>(a.re) * b.im - static_cast<double>(a.im) * b.re;
        c_energy += static_cast<double>(norm(b));
    }
    const double two_pi = 2.0 * std::numbers::pi;
    const double fs = fs_;
    const double lag = static_cast<double>(n_fft_);
    double residual = std::atan2(c_im, c_re) - two_pi * static_cast<double>(coarse_hz) * lag / fs;
    residual = std::remainder(residual, two_pi);
    const double fine_info = (c_re * c_re + c_im * c_im) / c_energy * lag * lag;
    const double r = static_cast<double>(preamble_.repeat_len);
    const double e = record.true_energy() * scale * scale;
    const double p_re = std::ldexp(static_cast<double>(record.p_re), record.exponent) * scale * scale;
    const double p_im = std::ldexp(static_cast<double>(record.p_im), record.exponent) * scale * scale;
    const double p2 = p_re * p_re + p_im * p_im;
    const double coarse_info = p2 / e * r * r;
    const double weight = fine_info / (fine_info + coarse_info);
    if (!std::isfinite(residual) || !std::isfinite(weight)) return coarse_hz;
    return static_cast<float>(static_cast<double>(coarse_hz) + weight * residual * fs / (two_pi * lag));
}

void FrameAttemptDecoder::derotate_to(FrameAttempt& attempt, std::vector<Complex>& derotated, std::uint64_t count,
                                      std::span<const Complex> samples) {
    const std::uint64_t from = derotated.size();
    if (count <= from) return;
    samples_derotated_ += count - from;
    derotated.resize(count);
    const Complex* in = samples.data() + from;
    Complex* out = derotated.data() + from;
    const float scale = attempt.scale;
    for (std::uint64_t i = 0; i < count - from; ++i) out[i] = (in[i] * attempt.nco.next()) * scale;
}

// The training symbol's FFT window, moved back into its prefix by the receive back-off. The bins
// are transformed again for the payload rather than kept with the attempt: one transform costs
// less than a buffer per attempt, and another attempt may use the transform in between.
std::span<const Complex> FrameAttemptDecoder::training_bins(std::span<const Complex> derotated) {
    const std::uint64_t window = preamble_len_ + cp_len_ - equalized_window_backoff(link().cfg);
    std::copy_n(derotated.begin() + static_cast<std::ptrdiff_t>(window), n_fft_, fft_.input().begin());
    fft_.execute();
    return fft_.output();
}

std::optional<fec::RxError> FrameAttemptDecoder::advance_header(FrameAttempt& attempt, std::vector<Complex>& derotated,
                                                                std::span<const Complex> samples) {
    const OfdmConfig& cfg = link().cfg;
    if (cfg.header_format() != fec::HeaderFormat::Native) return fec::RxError::MalformedHeader;
    const std::uint64_t needed = span_ + (n_fft_ + cp_len_) * body_.header_symbols();
    if (samples.size() < needed) return std::nullopt;
    try {
        derotate_to(attempt, derotated, needed, samples);
        ++headers_decoded_;
        const std::span<const Complex> body = std::span<const Complex>(derotated).subspan(span_);
        auto stage = body_.decode_header(body, training_bins(derotated));
        if (!stage) return rx_error(stage.error());
        attempt.stage = std::move(*stage);
        return std::nullopt;
    } catch (const InternalFault&) {
        return fec::RxError::MalformedHeader;
    }
}

FrameAttemptDecoder::Outcome FrameAttemptDecoder::decode_payload(FrameAttempt& attempt,
                                                                 std::vector<Complex>& derotated,
                                                                 std::span<const Complex> samples) {
    try {
        derotate_to(attempt, derotated, span_ + attempt.stage->body_samples, samples);
        const std::span<const Complex> body = std::span<const Complex>(derotated).subspan(span_);
        auto frame = body_.decode_payload(*attempt.stage, body, training_bins(derotated));
        if (!frame) return std::unexpected(rx_error(frame.error()));
        return std::move(*frame);
    } catch (const InternalFault&) {
        return std::unexpected(fec::RxError::MalformedHeader);
    }
}

}  // namespace kavro
