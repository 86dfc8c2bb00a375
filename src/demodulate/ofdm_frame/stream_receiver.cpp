#include "demodulate/ofdm_frame/stream_receiver.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <utility>

#include "core/head_buffer.hpp"
#include "core/internal_fault.hpp"
#include "sync/correlation_sums.hpp"
#include "sync/impulse_screen.hpp"
#include "core/pseudo_random.hpp"

namespace kavro {

namespace {


// Offsets judged at a time while no candidate is in sight: a choice stops judging one span past
// its first candidate.
constexpr std::uint64_t judge_step = 256;

// The neighbouring pairs (k, k+1) of bins that both carry the training sequence, each with
// conj(X[k])·X[k+1], the conjugate of the pair's product in the transmitted training symbol.
std::vector<OfdmFrameStreamDemod::BinPair> training_bin_pairs(const OfdmConfig& cfg) {
    const std::size_t n = cfg.n_fft();
    std::vector<bool> used(n, false);
    for (const std::int32_t k : cfg.plan().data_carriers) used[carrier_bin(k, n)] = true;
    for (const PilotCarrier& p : cfg.plan().pilot_carriers) used[carrier_bin(p.index, n)] = true;
    const std::vector<Complex> x = pseudo_random_unit_sequence(n, TRAINING_SEED);
    std::vector<OfdmFrameStreamDemod::BinPair> pairs;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t next = k + 1 == n ? 0 : k + 1;
        if (n > 1 && used[k] && used[next]) pairs.push_back({k, conj(x[k]) * x[next]});
    }
    return pairs;
}

// Mean power of the transmitted repeated segment, the reference for an attempt's scale.
float preamble_segment_power(const OfdmConfig& cfg, const PreambleParams& preamble) {
    const std::vector<Complex> segment = band_limited_repeat_base(cfg, preamble.repeat_len);
    double sum = 0.0;
    for (const Complex& x : segment) sum += static_cast<double>(norm(x));
    const float gain = cfg.gain();
    const auto power = static_cast<float>(sum / static_cast<double>(segment.size()) * gain * gain);
    return std::isnormal(power) ? power : 1.0f;
}

// Inside a pending frame's body a block of offsets is searched in full only when the metric at
// every half-segment step reaches this somewhere in it: a preamble start lies within half a segment
// of such a step, where the metric loses at most a sixth of its coherent terms (with the default
// four segments) and stays well above this at any SNR the frame could be decoded at.
constexpr double probe_threshold = 0.2;

// Offsets per block of the running energy maxima.
constexpr std::uint64_t energy_block = 32;

// An offset's energy as it enters a window's maximum: only candidates with a finite energy count.
double window_energy_of(const OfdmFrameStreamDemod::OffsetRecord& record) {
    return !std::isnan(record.metric) && std::isfinite(record.energy) ? record.true_energy() : 0.0;
}

// A sample whose power is more than this many times the combined power of the one segment of
// samples after it is an impulse, and the search leaves it out. Within a repeated segment the
// stretch after a sample holds that sample again one period later, so no sample there stands above
// it; noise stands that far above its next 16 samples with a probability of 3^-16. A frame sample
// left out (the odd peak of a body symbol) costs the search one term of its sums.
constexpr float impulse_ratio = 2.0f;
// Only powers from here up are judged: clear of the subnormal range, so that the judgement is
// exact, and at least 2^40 below the largest sample's, which the copy keeps within 2^±80 of 1.
constexpr float impulse_floor = 0x1p-120f;
// Each round of the screen removes the impulses it sees and scales again: the first round sees the
// impulse that set the scale, the next the samples that scale had pushed below the floor.
constexpr int impulse_rounds = 3;

// Copies count samples, split into re/im, for the search, with impulses and samples that are not
// finite made zero, followed by `after` samples more that only judge the last ones (and are not
// themselves judged). Impulses found are added to `blanked`. Samples whose largest component lies
// within 2^±40 are searched as they are: their sums cannot leave single precision. Others are scaled
// by a power of two (exactly) that brings the largest component near 1; the exponent is returned so
// that the sums can carry it back.
int copy_for_search(const Complex* in, std::size_t count, std::size_t after, float* re, float* im,
                    const std::vector<std::size_t>& blanked) {
    const auto finite = [](float v) { return (std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu) < 0x7F800000u; };
    for (std::size_t i = 0; i < count + after; ++i) {
        const bool kept = finite(in[i].re) && finite(in[i].im);
        re[i] = kept ? in[i].re : 0.0f;
        im[i] = kept ? in[i].im : 0.0f;
    }
    for (const std::size_t i : blanked) re[i] = im[i] = 0.0f;
    // The magnitude bits of a finite float order as its absolute value.
    std::uint32_t most = 0;
    for (std::size_t i = 0; i < count; ++i)
        most = std::max({most, std::bit_cast<std::uint32_t>(re[i]) & 0x7FFFFFFFu,
                         std::bit_cast<std::uint32_t>(im[i]) & 0x7FFFFFFFu});
    const float largest = std::bit_cast<float>(most);
    if (largest == 0.0f || (largest >= 0x1p-40f && largest <= 0x1p40f)) return 0;
    const int exponent = std::ilogb(largest);
    const float scale = std::ldexp(1.0f, -exponent);
    for (std::size_t i = 0; i < count + after; ++i) {
        re[i] *= scale;
        im[i] *= scale;
    }
    return exponent;
}

}  // namespace

int OfdmFrameStreamDemod::load_search_samples(std::uint64_t first, std::size_t count, float* re, float* im) {
    // The judgement reads the stream alone (the search reads no sample closer than N + C to its
    // end, so the samples after the last one have always arrived): every chunking leaves out the
    // same samples.
    const Complex* in = &sample_at(first);
    const std::size_t after = impulse_span_;
    impulse_power_.resize(count + after);
    blanked_.clear();
    int exponent = copy_for_search(in, count, after, re, im, blanked_);
    for (int round = 0; round < impulse_rounds; ++round) {
        if (count_impulses(re, im, count, after, impulse_ratio, impulse_floor, impulse_power_.data()) == 0) break;
        for (std::size_t x = 0; x < count; ++x) {
            if (is_impulse(impulse_power_.data(), x, after, impulse_ratio, impulse_floor)) blanked_.push_back(x);
        }
        exponent = copy_for_search(in, count, after, re, im, blanked_);
    }
    return exponent;
}

std::expected<OfdmFrameStreamDemod, FrameLinkError> OfdmFrameStreamDemod::create(const OfdmConfig& cfg,
                                                                                   std::span<const Mcs> entries,
                                                                                   std::size_t num_repeats,
                                                                                   std::size_t repeat_len,
                                                                                   std::shared_ptr<CodecCache> cache) {
    auto link = FrameLink::create(cfg, entries, num_repeats, repeat_len, std::move(cache));
    if (!link) return std::unexpected(link.error());
    const PreambleParams preamble{num_repeats, repeat_len, TrainingShape{cfg.n_fft(), cfg.cp_len()}};
    return OfdmFrameStreamDemod(std::move(*link), preamble);
}

OfdmFrameStreamDemod::OfdmFrameStreamDemod(FrameLink link, PreambleParams preamble)
    : link_(std::move(link)),
      preamble_(preamble),
      fs_(link_.cfg.fs()),
      n_fft_(link_.cfg.n_fft()),
      cp_len_(link_.cfg.cp_len()),
      preamble_len_(std::uint64_t{preamble.num_repeats} * preamble.repeat_len),
      span_(preamble_len_ + n_fft_ + cp_len_),
      reach_(n_fft_ + cp_len_),
      impulse_span_(static_cast<std::size_t>(std::min<std::uint64_t>(preamble.repeat_len, reach_))),
      degenerate_(!(fs_ > 0.0f) || preamble.repeat_len == 0 || preamble.num_repeats <= 1),
      segment_power_(degenerate_ ? 1.0f : preamble_segment_power(link_.cfg, preamble_)),
      cfo_divisor_((static_cast<float>(preamble.repeat_len) * two_pi_f32) / fs_),
      scan_block_(std::max<std::uint64_t>(512, 4 * preamble_len_)),
      sparse_stride_(preamble.repeat_len % 2 == 0 && preamble.repeat_len >= 4 ? preamble.repeat_len / 2 : 1),
      training_pairs_(training_bin_pairs(link_.cfg)),
      neighbour_products_(2 * n_fft_),
      fft_(n_fft_) {}

std::vector<OfdmFrameStreamDemod::Attempt> OfdmFrameStreamDemod::feed(std::span<const Complex> iq) {
    samples_.insert(samples_.end(), iq.begin(), iq.end());
    return pass(false);
}

std::vector<OfdmFrameStreamDemod::Attempt> OfdmFrameStreamDemod::flush() { return pass(true); }

void OfdmFrameStreamDemod::clear() {
    samples_.clear();
    head_ = 0;
    base_ = 0;
    records_.clear();
    record_head_ = 0;
    record_base_ = 0;
    computed_end_ = judged_end_ = search_from_ = floor_ = 0;
    block_max_.clear();
    block_head_ = 0;
    block_base_ = 0;
    attempt_.reset();
    probe_.reset();
    deferred_.clear();
    derotated_.clear();
    probe_derotated_.clear();
}

std::vector<OfdmFrameStreamDemod::Attempt> OfdmFrameStreamDemod::pass(bool end_of_stream) {
    std::vector<Attempt> results;
    for (;;) {
        if (attempt_) {
            if (!advance_attempt(end_of_stream, results)) break;
            continue;
        }
        if (buffered() < span_ + n_fft_ + cp_len_) break;
        const std::optional<std::uint64_t> start = choose(end_of_stream);
        if (!start) break;
        try {
            attempt_ = open_attempt(*start);
            derotated_.clear();
        } catch (const InternalFault&) {
            // A fault inside one attempt fails that frame only; the stream goes on.
            attempt_.reset();
            consume_to(std::min(stream_end(), *start + span_));
            results.push_back(std::unexpected(fec::RxError::MalformedHeader));
        }
    }
    return results;
}

bool OfdmFrameStreamDemod::advance_attempt(bool end_of_stream, std::vector<Attempt>& results) {
    PendingAttempt& attempt = *attempt_;
    if (!attempt.stage) {
        const std::optional<fec::RxError> failure = advance_header(attempt, derotated_);
        if (failure) {
            finish_attempt(std::unexpected(*failure), results);
            return true;
        }
        if (!attempt.stage) return false;  // the header's symbols are still arriving
        search_from_ = std::max(search_from_, attempt.start + span_);
    }

    const std::uint64_t frame_end = attempt.start + span_ + attempt.stage->body_samples;
    if (stream_end() >= frame_end) {
        finish_attempt(decode_payload(attempt), results);
        return true;
    }
    if (end_of_stream) {
        // The stream ends inside the body: the frame is given up and what follows is searched.
        finish_attempt(std::unexpected(fec::RxError::PayloadCrcMismatch), results);
        return true;
    }
    return probe(frame_end, results);
}

bool OfdmFrameStreamDemod::probe(std::uint64_t frame_end, std::vector<Attempt>& results) {
    if (!probe_) {
        const std::optional<std::uint64_t> start = choose(false);
        if (!start) return false;
        try {
            probe_ = open_attempt(*start);
            probe_derotated_.clear();
        } catch (const InternalFault&) {
            probe_.reset();
            deferred_.push_back(fec::RxError::MalformedHeader);
            search_from_ = std::max(search_from_, *start + span_);
            return true;
        }
    }
    const std::optional<fec::RxError> failure = advance_header(*probe_, probe_derotated_);
    if (failure) {
        // Reported only if the pending frame fails: otherwise the candidate lay inside its body.
        deferred_.push_back(*failure);
        search_from_ = std::max(search_from_, probe_->start + span_);
        probe_.reset();
        return true;
    }
    if (!probe_->stage || probe_->start >= frame_end) return false;

    // A frame whose header decodes inside the pending frame's announced body: the pending frame
    // was cut short or its header was false; give it up and receive the new one.
    PendingAttempt next = std::move(*probe_);
    probe_.reset();
    const std::uint64_t start = next.start;
    results.push_back(std::unexpected(fec::RxError::PayloadCrcMismatch));
    for (const fec::RxError error : deferred_) results.push_back(std::unexpected(error));
    deferred_.clear();
    attempt_.reset();
    consume_to(start);
    attempt_ = std::move(next);
    std::swap(derotated_, probe_derotated_);
    search_from_ = std::max(search_from_, start + span_);
    return true;
}

void OfdmFrameStreamDemod::finish_attempt(Attempt outcome, std::vector<Attempt>& results) {
    const std::uint64_t start = attempt_->start;
    const std::uint64_t consumed = outcome ? start + span_ + outcome->consumed_samples
                                           : std::min(stream_end(), start + span_);
    attempt_.reset();
    results.push_back(std::move(outcome));
    if (!results.back()) {
        for (const fec::RxError error : deferred_) results.push_back(std::unexpected(error));
    }
    deferred_.clear();
    // A candidate whose header is still arriving stays, unless the decoded frame covered it.
    if (probe_ && probe_->start >= consumed) {
        attempt_ = std::move(probe_);
        std::swap(derotated_, probe_derotated_);
    }
    probe_.reset();
    consume_to(consumed);
}

bool OfdmFrameStreamDemod::block_may_hold_preamble(std::uint64_t first, std::size_t count) {
    const std::size_t r = preamble_.repeat_len;
    const std::size_t pairs = preamble_.num_repeats - 1;
    const std::size_t stride = sparse_stride_;
    const std::size_t step = r / stride;  // grid points per segment
    const std::size_t offsets = (count - 1) / stride + 1;
    const std::size_t points = offsets + (pairs - 1) * step;
    // Segment sums at the grid points, each the sum of two half-segment sums (the stride is half
    // a segment), so every half is formed once.
    const std::size_t samples = (points + 1) * stride + r;
    const std::size_t copied = samples + impulse_span_;
    sparse_work_.resize(2 * copied + 3 * (points + 1) + 3 * points);
    float* s_re = sparse_work_.data();
    float* s_im = s_re + copied;
    float* h_re = s_im + copied;
    float* h_im = h_re + points + 1;
    float* h_energy = h_im + points + 1;
    float* t_re = h_energy + points + 1;
    float* t_im = t_re + points;
    float* t_energy = t_im + points;
    load_search_samples(first, samples, s_re, s_im);
    for (std::size_t k = 0; k <= points; ++k) {
        const float* a_re = s_re + k * stride;
        const float* a_im = s_im + k * stride;
        float re = 0.0f, im = 0.0f, energy = 0.0f;
        for (std::size_t n = 0; n < stride; ++n) {
            const float xr = a_re[n], xi = a_im[n], yr = a_re[n + r], yi = a_im[n + r];
            re = re + (xr * yr + xi * yi);
            im = im + (xr * yi - xi * yr);
            energy = energy + (yr * yr + yi * yi);
        }
        h_re[k] = re;
        h_im[k] = im;
        h_energy[k] = energy;
    }
    for (std::size_t k = 0; k < points; ++k) {
        t_re[k] = h_re[k] + h_re[k + 1];
        t_im[k] = h_im[k] + h_im[k + 1];
        t_energy[k] = h_energy[k] + h_energy[k + 1];
    }
    for (std::size_t j = 0; j < offsets; ++j) {
        double re = 0.0, im = 0.0, energy = 0.0;
        for (std::size_t m = 0; m < pairs; ++m) {
            re += t_re[j + m * step];
            im += t_im[j + m * step];
            energy += t_energy[j + m * step];
        }
        // Sums beyond single precision cannot be judged here: such a block is searched in full.
        if (!std::isfinite(energy) || (energy > 0.0 && re * re + im * im >= probe_threshold * energy * energy)) return true;
    }
    return false;
}

void OfdmFrameStreamDemod::compute_offsets(std::uint64_t end, bool sparse) {
    const std::size_t r = preamble_.repeat_len;
    const std::size_t pairs = preamble_.num_repeats - 1;
    const std::size_t shared = (pairs - 1) * r;  // segment sums beyond a block's last offset
    while (computed_end_ < end) {
        const std::uint64_t first = computed_end_;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(scan_block_, end - first));
        work_.offsets_searched += count;
        if (sparse && sparse_stride_ > 1 && !block_may_hold_preamble(first, count)) {
            // No offset of the block comes near a preamble: its records hold no candidate.
            records_.resize(records_.size() + count, OffsetRecord{0.0f, 0.0f, 0.0f, NAN, NAN, 0});
            const std::uint64_t blocks = (first + count - 1) / energy_block + 1 - block_base_;
            block_max_.resize(std::max(block_max_.size(), block_head_ + static_cast<std::size_t>(blocks)), 0.0);
            computed_end_ = first + count;
            continue;
        }
        const std::size_t sums = count + shared;
        const std::size_t samples = sums + 2 * r - 1;
        const std::size_t copied = samples + impulse_span_;
        scan_work_.resize(2 * copied + 3 * sums + 4 * count);
        float* re = scan_work_.data();
        float* im = re + copied;
        float* t_re = im + copied;
        float* t_im = t_re + sums;
        float* t_energy = t_im + sums;
        float* p_re = t_energy + sums;
        float* p_im = p_re + count;
        float* energy = p_im + count;
        float* ratio = energy + count;
        const int exponent = load_search_samples(first, samples, re, im);
        segment_sums(re, im, r, sums, t_re, t_im, t_energy);
        pair_totals(t_re, t_im, t_energy, r, pairs, count, p_re, p_im, energy, ratio);
        const std::size_t at = records_.size();
        records_.resize(at + count);
        OffsetRecord* out = records_.data() + at;
        for (std::size_t j = 0; j < count; ++j)
            out[j] = {p_re[j], p_im[j], energy[j], correlation_metric(p_re[j], p_im[j], energy[j], ratio[j]), NAN,
                      2 * exponent};
        const std::uint64_t last_block = (first + count - 1) / energy_block;
        block_max_.resize(std::max(block_max_.size(), block_head_ + static_cast<std::size_t>(last_block + 1 - block_base_)),
                          0.0);
        // All records of this scan share one exponent: each energy block's maximum is found on the
        // held values and scaled once.
        for (std::size_t j = 0; j < count;) {
            const std::uint64_t block = (first + j) / energy_block;
            const std::size_t block_end = static_cast<std::size_t>(std::min<std::uint64_t>((block + 1) * energy_block - first, count));
            float held = 0.0f;
            for (; j < block_end; ++j) {
                if (!std::isnan(out[j].metric) && std::isfinite(out[j].energy)) held = std::max(held, out[j].energy);
            }
            double& most = block_max_[block_head_ + static_cast<std::size_t>(block - block_base_)];
            most = std::max(most, std::ldexp(static_cast<double>(held), 2 * exponent));
        }
        computed_end_ = first + count;
    }
}

float OfdmFrameStreamDemod::score_of(const OffsetRecord& record, double e_max) const {
    // An infinite energy counts as the window's maximum.
    const float share =
        e_max > 0.0 ? std::min(static_cast<float>(record.true_energy() / e_max), 1.0f) : 1.0f;
    return record.metric * share;
}

bool OfdmFrameStreamDemod::empty_block_at(std::uint64_t d) const {
    // A block without candidate energy holds no candidate: no offset in it can score.
    return d % energy_block == 0 && d >= record_base_ &&
           block_max_[block_head_ + static_cast<std::size_t>(d / energy_block - block_base_)] == 0.0;
}

double OfdmFrameStreamDemod::window_energy(std::uint64_t lo, std::uint64_t hi) const {
    double most = 0.0;
    const std::uint64_t lo_block = lo / energy_block;
    const std::uint64_t hi_block = hi / energy_block;
    const auto scan = [&](std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t d = from; d <= to; ++d) most = std::max(most, window_energy_of(record_at(d)));
    };
    if (lo_block == hi_block) {
        scan(lo, hi);
        return most;
    }
    scan(lo, (lo_block + 1) * energy_block - 1);
    for (std::uint64_t b = lo_block + 1; b < hi_block; ++b)
        most = std::max(most, block_max_[block_head_ + static_cast<std::size_t>(b - block_base_)]);
    scan(hi_block * energy_block, hi);
    return most;
}

void OfdmFrameStreamDemod::judge_offset(std::uint64_t d) {
    // An offset below the threshold cannot score above it: its score stays unset (NaN), which no
    // choice takes.
    OffsetRecord& record = record_at(d);
    if (!(record.metric >= sync_threshold)) return;
    const std::uint64_t lo = std::max({d >= span_ ? d - span_ : 0, floor_, record_base_});
    const std::uint64_t hi = std::min(d + reach_, computed_end_ - 1);
    record.score = score_of(record, window_energy(lo, hi));
}

void OfdmFrameStreamDemod::judge_offsets(bool end_of_stream, std::uint64_t until) {
    // An offset is judged once its window has arrived (at the end of the stream, on what there is).
    std::uint64_t stop = std::min(computed_end_, until);
    if (!end_of_stream) stop = std::min(stop, computed_end_ > reach_ ? computed_end_ - reach_ : 0);
    if (stop <= judged_end_) return;
    for (std::uint64_t d = judged_end_; d < stop;) {
        if (empty_block_at(d) && d + energy_block <= stop) {
            d += energy_block;
            continue;
        }
        if (record_at(d).metric >= sync_threshold) judge_offset(d);
        ++d;
    }
    judged_end_ = stop;
}

std::optional<std::uint64_t> OfdmFrameStreamDemod::choose(bool end_of_stream) {
    const std::uint64_t end = stream_end();
    // A preamble can start no earlier than this and still leave room for one more symbol.
    const std::uint64_t tail = end - std::min<std::uint64_t>(end, span_ + n_fft_ + cp_len_ - 1);
    if (degenerate_) {
        drop_before(std::max(tail, base_));
        return std::nullopt;
    }
    // Offset d can be examined once its preamble span has arrived. Offsets are examined a block at
    // a time and only as far as a choice needs: the body of a frame chosen ahead of them is
    // consumed before they are reached, and is never searched.
    const std::uint64_t limit = end >= span_ ? end - span_ + 1 : 0;
    const std::uint64_t from = std::max(search_from_, base_);
    std::uint64_t looked = from;  // offsets below this were judged and fell short of the threshold
    std::optional<std::uint64_t> first;
    for (;;) {
        const bool complete = computed_end_ >= limit;
        const std::uint64_t judged_before = judged_end_;
        judge_offsets(end_of_stream && complete, first ? *first + span_ : judged_end_ + judge_step);
        while (!first && looked < judged_end_) {
            if (empty_block_at(looked) && looked + energy_block <= judged_end_) {
                looked += energy_block;
                continue;
            }
            if (record_at(looked).score >= sync_threshold) first = looked;
            ++looked;
        }
        // The choice needs every offset within one span of the first to be judged.
        if (first && *first + span_ <= judged_end_) break;
        if (judged_end_ == judged_before) {
            if (complete) break;
            compute_offsets(std::min(limit, computed_end_ + scan_block_), attempt_.has_value());
        }
    }
    search_from_ = first ? *first : std::max(from, judged_end_);
    if (!first) {
        drop_before(std::max(std::min(judged_end_, tail), base_));
        return std::nullopt;
    }
    if (*first + span_ > judged_end_ && !end_of_stream) return std::nullopt;

    std::uint64_t best = *first;
    const std::uint64_t last = std::min(*first + span_, judged_end_);
    for (std::uint64_t d = *first + 1; d < last; ++d) {
        if (record_at(d).score > record_at(best).score) best = d;
    }
    return best;
}

float OfdmFrameStreamDemod::attempt_scale(const OffsetRecord& record) const {
    const auto segments = static_cast<double>((preamble_.num_repeats - 1) * preamble_.repeat_len);
    const double ratio = (record.true_energy() / segments) / segment_power_;
    if (!std::isfinite(ratio) || !(ratio > 0.0)) return 1.0f;
    const long exponent = std::lround(0.5 * std::log2(ratio));
    return std::ldexp(1.0f, static_cast<int>(-std::clamp(exponent, -120L, 120L)));
}

std::int32_t OfdmFrameStreamDemod::whole_bin_offset(std::uint64_t start, float cfo_hz, float scale) {
    // The training symbol with the fractional offset removed and its prefix dropped, transformed.
    PhasorNco nco(-static_cast<double>(cfo_hz), static_cast<double>(fs_));
    const std::uint64_t first = start + preamble_len_;
    for (std::uint64_t i = 0; i < cp_len_; ++i) nco.next();
    const std::span<Complex> input = fft_.input();
    for (std::uint64_t i = 0; i < n_fft_; ++i) input[i] = (sample_at(first + cp_len_ + i) * nco.next()) * scale;
    fft_.execute();
    const std::span<const Complex> y = fft_.output();

    // The whole-bin offset is the circular shift of the spectrum that best matches the reference.
    // Matching products of neighbouring bins rather than the bins themselves makes the match
    // indifferent to where the window sits in the cyclic prefix: a window t samples early turns
    // bin k by 2πkt/N, which would spread a direct correlation over all shifts but turns every
    // neighbour product by the same 2πt/N.
    // The neighbour products, twice over so that a shifted index needs no wrap.
    Complex* products = neighbour_products_.data();
    for (std::size_t a = 0; a < n_fft_; ++a) {
        products[a] = y[a] * conj(y[a + 1 == n_fft_ ? 0 : a + 1]);
        products[a + n_fft_] = products[a];
    }
    const auto n = static_cast<std::int64_t>(n_fft_);
    const std::int64_t h = n / 2;
    float best = -1.0f;
    std::int64_t best_shift = 0;
    for (std::int64_t shift = -h; shift <= h; ++shift) {
        const Complex* shifted = products + ((shift % n) + n) % n;
        Complex acc{};
        for (const BinPair& pair : training_pairs_) acc = acc + shifted[pair.bin] * pair.weight;
        const float power = acc.re * acc.re + acc.im * acc.im;
        if (power > best) {
            best = power;
            best_shift = shift;
        }
    }
    return static_cast<std::int32_t>(best_shift);
}

float OfdmFrameStreamDemod::refine_offset(std::uint64_t start, const OffsetRecord& record, float coarse_hz,
                                          float scale) const {
    // The training symbol's prefix against its copy one FFT length later: a lag N/R times the
    // segments' measures the offset that much more finely, within half a bin of the coarse one.
    // Each estimate's phase variance is about σ²·E/|c|²; converted to frequency and weighed by
    // its inverse, the two combine without knowing σ².
    const std::uint64_t first = start + preamble_len_;
    double c_re = 0.0, c_im = 0.0, c_energy = 0.0;
    for (std::uint64_t n = 0; n < cp_len_; ++n) {
        const Complex a = sample_at(first + n) * scale;
        const Complex b = sample_at(first + n + n_fft_) * scale;
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

OfdmFrameStreamDemod::PendingAttempt OfdmFrameStreamDemod::open_attempt(std::uint64_t start) {
    const OffsetRecord& record = record_at(start);
    const float cfo_hz = std::atan2(record.p_im, record.p_re) / cfo_divisor_;
    const float scale = attempt_scale(record);
    const std::int32_t bins = whole_bin_offset(start, cfo_hz, scale);
    const float coarse_hz = cfo_hz + (fs_ / static_cast<float>(n_fft_)) * static_cast<float>(bins);
    const float total_hz = refine_offset(start, record, coarse_hz, scale);
    return PendingAttempt{start, PhasorNco(-static_cast<double>(total_hz), static_cast<double>(fs_)), scale, {},
                          std::nullopt};
}

void OfdmFrameStreamDemod::derotate_to(PendingAttempt& attempt, std::vector<Complex>& derotated, std::uint64_t count) {
    const std::uint64_t from = derotated.size();
    if (count <= from) return;
    work_.samples_derotated += count - from;
    derotated.resize(count);
    const Complex* in = &sample_at(attempt.start + from);
    Complex* out = derotated.data() + from;
    const float scale = attempt.scale;
    for (std::uint64_t i = 0; i < count - from; ++i) out[i] = (in[i] * attempt.nco.next()) * scale;
}

std::optional<fec::RxError> OfdmFrameStreamDemod::advance_header(PendingAttempt& attempt,
                                                                 std::vector<Complex>& derotated) {
    const OfdmConfig& cfg = link_.cfg;
    if (cfg.header_format() != fec::HeaderFormat::Native) return fec::RxError::MalformedHeader;
    const std::uint64_t d = cfg.plan().data_carriers.size();
    const std::uint64_t coded = header_block_plan(cfg.header_crc(), *link_.cache).coded_bits;
    const std::uint64_t needed = span_ + (n_fft_ + cp_len_) * ((coded + d - 1) / d);
    if (stream_end() - attempt.start < needed) return std::nullopt;
    try {
        derotate_to(attempt, derotated, needed);

        // The training symbol's FFT window, moved back into its prefix by the receive back-off.
        const std::uint64_t backoff = body_window_backoff(cfg, true);
        const std::uint64_t window = preamble_len_ + cp_len_ - backoff;
        std::copy_n(derotated.begin() + static_cast<std::ptrdiff_t>(window), n_fft_, fft_.input().begin());
        fft_.execute();
        attempt.training_bins.assign(fft_.output().begin(), fft_.output().end());

        ++work_.headers_decoded;
        const std::span<const Complex> body = std::span<const Complex>(derotated).subspan(span_);
        auto stage = decode_frame_header(cfg, link_.entries, body, attempt.training_bins, *link_.cache, scratch_);
        if (!stage) return stage.error().error();
        attempt.stage = std::move(*stage);
        return std::nullopt;
    } catch (const InternalFault&) {
        return fec::RxError::MalformedHeader;
    }
}

OfdmFrameStreamDemod::Attempt OfdmFrameStreamDemod::decode_payload(PendingAttempt& attempt) {
    try {
        derotate_to(attempt, derotated_, span_ + attempt.stage->body_samples);
        const std::span<const Complex> body = std::span<const Complex>(derotated_).subspan(span_);
        auto frame = decode_frame_payload(link_.cfg, *attempt.stage, body, attempt.training_bins, *link_.cache, false,
                                          scratch_);
        if (!frame) return std::unexpected(frame.error().error());
        return std::move(*frame);
    } catch (const InternalFault&) {
        return std::unexpected(fec::RxError::MalformedHeader);
    }
}

void OfdmFrameStreamDemod::drop_before(std::uint64_t position, bool consumed) {
    // A pending frame keeps its samples and those before it (they go with the frame); the search
    // records ahead of it go as usual, except those the next offsets' windows still reach.
    const std::uint64_t kept = attempt_ ? base_ : position;
    if (kept > base_) {
        drop_front(samples_, head_, static_cast<std::size_t>(kept - base_));
        base_ = kept;
    }
    const std::uint64_t window_start = judged_end_ >= span_ ? judged_end_ - span_ : 0;
    const std::uint64_t records_to = std::min(consumed ? position : std::min(position, window_start), computed_end_);
    if (records_to > record_base_) {
        drop_front(records_, record_head_, static_cast<std::size_t>(records_to - record_base_));
        record_base_ = records_to;
        const std::uint64_t blocks = record_base_ / energy_block;
        if (blocks > block_base_) {
            drop_front(block_max_, block_head_, static_cast<std::size_t>(blocks - block_base_));
            block_base_ = blocks;
        }
    }
}

void OfdmFrameStreamDemod::consume_to(std::uint64_t position) {
    drop_before(position, true);
    floor_ = position;
    search_from_ = std::max(search_from_, position);
    if (position >= computed_end_) {
        // Nothing beyond the consumed samples was searched yet: start afresh there.
        records_.clear();
        record_head_ = 0;
        record_base_ = position;
        block_max_.clear();
        block_head_ = 0;
        block_base_ = position / energy_block;
        computed_end_ = judged_end_ = position;
        return;
    }
    judged_end_ = std::max(judged_end_, position);

    // Offsets judged before the consumption had windows reaching below it; judge them again
    // within the new stretch, as if they had been judged after it.
    const std::uint64_t rejudge_end = std::min(judged_end_, position + span_);
    for (std::uint64_t d = std::max(position, record_base_); d < rejudge_end; ++d) judge_offset(d);
}

}  // namespace kavro
