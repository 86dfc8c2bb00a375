// Every build of every vector kernel and of every loop built on std::fma, run on the same inputs:
// random values mixed with 0, -0, NaN, ±inf and repeated values (ties), at every length from 0 to
// 67 and one long one. Each build this CPU supports must give the portable build's bits; the
// portable build runs on every machine.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/ft8.hpp"
#include "codec/ldpc.hpp"
#include "codec/psk31.hpp"
#include "core/simd_level.hpp"
#include "demodulate/am.hpp"
#include "demodulate/ft4.hpp"
#include "demodulate/ft8.hpp"
#include "demodulate/ofdm_frame/preamble_scan.hpp"
#include "demodulate/phase_step_detector.hpp"
#include "demodulate/psk31.hpp"
#include "demodulate/qam.hpp"
#include "demodulate/ssb.hpp"
#include "dsp/fir_filter.hpp"
#include "fec/conv.hpp"
#include "fec/ldpc_codes.hpp"
#include "modulate/psk31.hpp"
#include "modulate/ssb.hpp"
#include "multicarrier/vector_kernels.hpp"
#include "sync/correlation_sums.hpp"
#include "sync/dvb_t_gi_sync.hpp"
#include "sync/dvb_t_integer_cfo.hpp"
#include "sync/grid_lag_sums.hpp"
#include "sync/waterfall.hpp"
#include "waveform/dvb_t_soft_llr.hpp"

namespace kavro {
namespace {

constexpr std::size_t kLongLength = 5003;

std::vector<std::size_t> lengths() {
    std::vector<std::size_t> all;
    for (std::size_t n = 0; n <= 67; ++n) all.push_back(n);
    all.push_back(kLongLength);
    return all;
}

// Values in [-2, 2); from index `clean` on, one in four is a special value or one of a few
// repeated ones. Stateful blocks keep a clean prefix, since a NaN stays in their memories for good.
std::vector<float> mixed_floats(std::size_t count, std::uint64_t seed, std::size_t clean = 0) {
    const float inf = std::numeric_limits<float>::infinity();
    const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), inf, -inf,
                              1.0f, -1.0f, 0.5f, 1e-40f, 3e38f};
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i)
        values[i] = i >= clean && rng() % 4 == 0 ? specials[rng() % std::size(specials)] : uniform(rng);
    return values;
}

std::vector<Complex> mixed_complex(std::size_t count, std::uint64_t seed, std::size_t clean = 0) {
    const std::vector<float> parts = mixed_floats(2 * count, seed, 2 * clean);
    std::vector<Complex> samples(count);
    for (std::size_t i = 0; i < count; ++i) samples[i] = {parts[2 * i], parts[2 * i + 1]};
    return samples;
}

// The bit patterns of an output, so that signed zeros compare exactly.
using Bits = std::vector<std::uint32_t>;

Bits bits_of(std::span<const float> values) {
    Bits bits;
    for (const float v : values) bits.push_back(std::bit_cast<std::uint32_t>(v));
    return bits;
}

Bits bits_of(std::span<const Complex> values) {
    return bits_of(std::span<const float>(reinterpret_cast<const float*>(values.data()), 2 * values.size()));
}

Bits bits_of(std::span<const std::uint8_t> values) { return Bits(values.begin(), values.end()); }

void append(Bits& to, const Bits& more) { to.insert(to.end(), more.begin(), more.end()); }

// A kernel run at one build on the inputs of one length (for fixed-size kernels, of one seed).
struct KernelCase {
    const char* name;
    std::function<Bits(SimdLevel, std::size_t)> run;
};

// Streams run in two calls, so that the state a build leaves is what the next call reads.
template <class Input, class Process>
Bits in_two_calls(const std::vector<Input>& input, Process process) {
    const std::span<const Input> all(input);
    const auto first = process(all.first(input.size() / 3));
    const auto second = process(all.subspan(input.size() / 3));
    Bits out = bits_of(std::span(first));
    append(out, bits_of(std::span(second)));
    return out;
}

Bits copy_complex_bits(SimdLevel level, std::size_t n) {
    const auto in = mixed_complex(n, 11 + n);
    std::vector<Complex> out(n);
    detail::copy_complex(in.data(), n, out.data(), level);
    return bits_of(std::span<const Complex>(out));
}

Bits scale_complex_bits(SimdLevel level, std::size_t n) {
    const auto in = mixed_complex(n, 12 + n);
    std::vector<Complex> once(n), twice(n);
    detail::scale_complex(in.data(), n, -1.5f, once.data(), level);
    // The second factor takes many products below the normal range.
    detail::scale_complex_twice(in.data(), n, 3.0f, 1e-38f, twice.data(), level);
    Bits out = bits_of(std::span<const Complex>(once));
    append(out, bits_of(std::span<const Complex>(twice)));
    return out;
}

Bits fir_filter_bits(SimdLevel level, std::size_t n) {
    Bits out;
    for (const std::size_t taps : {1u, 3u, 9u, 33u}) {
        const auto h = mixed_floats(taps, 13 + taps, taps);
        auto samples = mixed_complex(n, 14 + n);
        dsp::filter_centred_in_place(h, samples, level);
        append(out, bits_of(std::span<const Complex>(samples)));
    }
    return out;
}

Bits am_bits(SimdLevel level, std::size_t n) {
    const auto iq = mixed_complex(n, 15 + n, 2 * n / 3);
    Bits out;
    for (const bool approx : {false, true}) {
        AmEnvelopeDemod demod(48000.0, 3000.0, approx);
        append(out, in_two_calls(iq, [&](std::span<const Complex> part) { return demod.process_at(part, level); }));
    }
    return out;
}

Bits ssb_demod_bits(SimdLevel level, std::size_t n) {
    SsbProductDemod demod(48000.0, 1700.0, 2800.0);
    return in_two_calls(mixed_complex(n, 16 + n, 2 * n / 3),
                        [&](std::span<const Complex> part) { return demod.process_at(part, level); });
}

Bits ssb_mod_bits(SimdLevel level, std::size_t n) {
    Bits out;
    for (const bool usb : {true, false}) {
        SsbPhasingMod mod(48000.0, 2800.0, 1500.0, 5000.0, usb);
        append(out, in_two_calls(mixed_floats(n, 17 + n, 2 * n / 3),
                                 [&](std::span<const float> part) { return mod.process_at(part, level); }));
    }
    return out;
}

Bits phase_step_bits(SimdLevel level, std::size_t n) {
    PhaseStepDetector detector(48000.0, 3000.0);
    return in_two_calls(mixed_complex(n, 18 + n, 2 * n / 3),
                        [&](std::span<const Complex> part) { return detector.process(part, 0.8f, level); });
}

Bits psk31_upmix_bits(SimdLevel level, std::size_t n) {
    Psk31ModCore core(8, 250.0f, 37.0f, 1.0f);
    auto samples = mixed_complex(n, 19 + n);
    const std::span<Complex> all(samples);
    core.upmix(all.first(n / 3), level);
    core.upmix(all.subspan(n / 3), level);
    return bits_of(std::span<const Complex>(samples));
}

// Both receivers, with and without the down-mix, fed in two calls.
Bits psk31_demod_bits(SimdLevel level, std::size_t n) {
    const auto iq = mixed_complex(n, 20 + n, 2 * n / 3);
    const std::span<const Complex> all(iq);
    Bits out;
    for (const float rf_hz : {0.0f, 30.0f}) {
        auto bpsk = *Bpsk31Demod::create(250.0f, rf_hz, 1.5f);
        auto qpsk = *Qpsk31Demod::create(250.0f, rf_hz, 1.5f);
        for (const auto part : {all.first(n / 3), all.subspan(n / 3)}) {
            std::vector<float> soft(n / 4 + 2), pairs(n / 2 + 4);
            soft.resize(bpsk.process_at(part, soft, level));
            pairs.resize(qpsk.process_at(part, pairs, level));
            append(out, bits_of(std::span<const float>(soft)));
            append(out, bits_of(std::span<const float>(pairs)));
        }
    }
    return out;
}

// A short frame of n-sample symbols: data symbols between two fixed ones, from 1 to 11 of them
// (groups of four and every remainder).
template <std::size_t Alphabet>
Bits tone_decision_bits(SimdLevel level, std::size_t n) {
    std::array<std::uint8_t, 13> layout;
    layout.fill(codec::data_symbol);
    const std::size_t data = 1 + n % 11;
    for (std::size_t s = data + 1; s < layout.size(); ++s) layout[s] = 1;
    layout[0] = 0;
    const std::span<const float> offsets =
        Alphabet == 8 ? std::span<const float>(ft8_tone_offsets_hz) : std::span<const float>(ft4_tone_offsets_hz);
    const codec::ToneFrame frame{Alphabet, 3, data, n, 6.25f, {}, {}, layout};
    const auto iq = mixed_complex(frame.frame_samples(), 21 + n);
    std::vector<std::uint8_t> tones(data);
    decide_data_tones(frame, offsets, 12000.0f, 1500.0f, iq, tones, level);
    return bits_of(std::span<const std::uint8_t>(tones));
}

// Soft values around a codeword (odd seeds) or pure noise (even seeds), with specials planted.
Bits ft8_ldpc_bits(SimdLevel level, std::size_t seed) {
    std::array<std::uint8_t, 12> message{};
    std::mt19937_64 rng(22 + seed);
    for (std::size_t i = 0; i < 11; ++i) message[i] = static_cast<std::uint8_t>(rng());
    message[11] = static_cast<std::uint8_t>(rng() & 0xE0);
    std::array<std::uint8_t, 22> codeword;
    codec::ldpc_encode(message, codeword);
    const auto noise = mixed_floats(codec::ldpc_n, 23 + seed);
    std::array<float, codec::ldpc_n> llr;
    for (std::size_t i = 0; i < codec::ldpc_n; ++i) {
        const bool one = (codeword[i / 8] >> (7 - i % 8)) & 1;
        llr[i] = (seed % 2 == 1 ? (one ? -2.0f : 2.0f) : 0.0f) + 2.0f * noise[i];
    }
    std::array<std::uint8_t, codec::ldpc_n> hard;
    const std::size_t failed = codec::ldpc_decode_soft(llr, hard, level);
    Bits out = bits_of(std::span<const std::uint8_t>(hard));
    out.push_back(static_cast<std::uint32_t>(failed));
    return out;
}

// Rows of n, n / 2 and no samples over 1 to 45 bins: single vectors, the partial last vector and
// the wide groups of five.
Bits waterfall_bits(SimdLevel level, std::size_t n) {
    const std::size_t n_bins = 1 + n % 45;
    const auto iq = mixed_complex(n, 24 + n);
    const auto steps = waterfall_steps(n_bins, 12000.0f, -917.0f, 6.25f);
    std::vector<float> cells(3 * n_bins, -1.0f);
    const std::vector<WaterfallRow> rows{{iq.data(), n, cells.data()},
                                         {iq.data() + n / 2, n - n / 2, cells.data() + n_bins},
                                         {iq.data(), 0, cells.data() + 2 * n_bins}};
    waterfall_rows(rows, steps.data(), n_bins, level);
    return bits_of(std::span<const float>(cells));
}

// Metrics and branch distances with ties (values on a half-unit grid) and specials.
Bits qpsk31_butterfly_bits(SimdLevel level, std::size_t seed) {
    const auto values = mixed_floats(20, 27 + seed);
    std::array<float, 16> m;
    std::array<float, 4> d;
    for (std::size_t i = 0; i < 16; ++i) m[i] = std::round(values[i] * 4.0f) * 0.5f;
    for (std::size_t i = 0; i < 4; ++i) d[i] = seed % 2 == 0 ? std::round(values[16 + i] * 2.0f) : values[16 + i];
    const std::uint16_t decisions = codec::qpsk31_butterflies(m, d, level);
    Bits out = bits_of(std::span<const float>(m));
    out.push_back(decisions);
    return out;
}

Bits qam_bits(SimdLevel level, std::size_t n) {
    Bits out;
    for (const std::uint32_t order : {16u, 64u, 256u}) {
        QamDemod demod = *QamDemod::create(order, 0.9f);
        append(out, bits_of(std::span<const std::uint8_t>(demod.process_at(mixed_complex(n, 25 + n), level))));
    }
    return out;
}

Bits ldpc_codes_bits(SimdLevel level, std::size_t seed) {
    using Rule = fec::LdpcDecodeRule;
    const fec::LdpcCode codes[] = {fec::LdpcCode::N512R12, fec::LdpcCode::N576R23, fec::LdpcCode::N512R34};
    const Rule rules[] = {{Rule::Kind::SumProduct}, {Rule::Kind::MinSum}, {Rule::Kind::ScaledMinSum, 0.75f}};
    const fec::Ldpc ldpc = fec::Ldpc::build(codes[seed % 3]);
    const auto codeword = ldpc.encode(std::vector<std::uint8_t>(ldpc.k(), 0));
    std::vector<float> llr = mixed_floats(ldpc.n(), 26 + seed);
    for (std::size_t i = 0; i < llr.size(); ++i) llr[i] = 3.0f * llr[i] + (codeword[i] ? -1.5f : 1.5f);
    const fec::LdpcDecoded decoded = ldpc.decode(llr, rules[seed / 3 % 3], level);
    Bits out = bits_of(std::span<const std::uint8_t>(decoded.message));
    out.push_back(decoded.converged);
    return out;
}

// Sums at lags of 0 to 16 over 1 to 17 samples, and totals over 1 to 4 pairs of them.
Bits correlation_sums_bits(SimdLevel level, std::size_t n) {
    const std::size_t r = 1 + n % 17, lag = n % 17 * (n % 3) / 2, pairs = 1 + n % 4;
    const auto re = mixed_floats(n + lag + r - 1, 28 + n), im = mixed_floats(n + lag + r - 1, 29 + n);
    std::vector<float> sums(3 * n), totals(4 * n);
    lagged_sums(re.data(), im.data(), lag, r, n, sums.data(), sums.data() + n, sums.data() + 2 * n, level);
    const std::size_t held = n + (pairs - 1) * r;
    const auto t = mixed_floats(3 * held, 30 + n);
    pair_totals(t.data(), t.data() + held, t.data() + 2 * held, r, pairs, n, totals.data(), totals.data() + n,
                totals.data() + 2 * n, totals.data() + 3 * n, level);
    Bits out = bits_of(std::span<const float>(sums));
    append(out, bits_of(std::span<const float>(totals)));
    return out;
}

Bits gi_window_sums_bits(SimdLevel level, std::size_t n) {
    const std::size_t cp = 1 + n % 9;
    const std::size_t held = n + cp - 1 + gi_sync_fft_len;
    const auto re = mixed_floats(held, 31 + n), im = mixed_floats(held, 32 + n), power = mixed_floats(held, 33 + n);
    std::vector<float> sums(3 * n);
    gi_window_sums(re.data(), im.data(), power.data(), cp, n, sums.data(), sums.data() + n, sums.data() + 2 * n,
                   level);
    return bits_of(std::span<const float>(sums));
}

Bits carrier_offset_bits(SimdLevel level, std::size_t n) {
    const auto in = mixed_complex(n, 34 + n);
    std::vector<Complex> out(n);
    remove_carrier_offset(in, -3.3, 987654 + n, out, level);
    return bits_of(std::span<const Complex>(out));
}

// Stretches of 1 to 20 samples (from eight on, some in lanes and the rest after them) on grids of
// 1 to 9, lags of 1 to 17.
Bits grid_lag_sums_bits(SimdLevel level, std::size_t n) {
    const std::size_t r = 1 + n % 17, len = 1 + n % 20, step = 1 + n % 9;
    const auto s = mixed_complex(n * step + len + r, 39 + n);
    std::vector<float> sums(3 * n);
    grid_lag_sums(s.data(), r, step, len, n, sums.data(), sums.data() + n, sums.data() + 2 * n, level);
    return bits_of(std::span<const float>(sums));
}

// Records and probe reach of n + 1 offsets (4x16 segments, a 64/16 training symbol): on samples
// that hold a run of one repeated segment, in range (so the single-precision checks run on it),
// and on the same with special values.
Bits preamble_scan_bits(SimdLevel level, std::size_t n) {
    const std::size_t count = n + 1, before = 32, held = before + count + 4 * 16 + 64 + 16 - 1;
    PreambleScan scan(PreambleParams{4, 16, TrainingShape{64, 16}}, level);
    Bits out;
    for (const std::size_t clean : {held, before + count / 2}) {
        auto x = mixed_complex(held, 40 + n, clean);
        for (std::size_t k = 16; k < 64; ++k) x[before + count / 2 + k] = x[before + count / 2 + k % 16];
        std::vector<OffsetRecord> records(count);
        scan.scan(x.data() + before, before, count, records);
        for (const OffsetRecord& r : records) {
            append(out, bits_of(std::span<const float>({r.p_re, r.p_im, r.energy, r.score})));
            out.insert(out.end(), {static_cast<std::uint32_t>(r.exponent), r.framed});
        }
        const PreambleScan::Reach reach = scan.preamble_reach(x.data() + before, before, count);
        out.insert(out.end(), {static_cast<std::uint32_t>(reach.begin), static_cast<std::uint32_t>(reach.end)});
    }
    return out;
}

// Every order, with some cells on a level (and 0, among the specials, halfway between two).
Bits dvb_t_soft_llr_bits(SimdLevel level, std::size_t n) {
    Bits out;
    for (const std::size_t b : {2u, 4u, 6u}) {
        auto cells = mixed_complex(n, 34 + n);
        for (std::size_t c = 0; c < n; c += 3)
            cells[c].re = waveform::dvb_t_axis_level(b, static_cast<unsigned>(c % (1u << (b / 2))));
        std::vector<float> llrs(b * n);
        EXPECT_TRUE(waveform::dvb_t_soft_llr_cells(cells, b, llrs, level));
        append(out, bits_of(std::span<const float>(llrs)));
    }
    return out;
}

// Both codes over n steps: soft values on a half-unit grid (ties between paths, every state
// reached, so the vector trellis runs), and with specials (the literal trellis runs).
Bits viterbi_bits(SimdLevel level, std::size_t n) {
    Bits out;
    for (const fec::ConvKind kind : {fec::ConvKind::K5, fec::ConvKind::K7}) {
        fec::ViterbiDecoder decoder(kind);
        auto soft = mixed_floats(2 * n, 35 + n, 2 * n);
        for (float& v : soft) v = std::round(v * 2.0f) * 0.5f;
        std::vector<std::uint8_t> decided(n);
        decoder.decode(soft, decided, level);
        append(out, bits_of(std::span<const std::uint8_t>(decided)));
        decoder.decode(mixed_floats(2 * n, 36 + n), decided, level);
        append(out, bits_of(std::span<const std::uint8_t>(decided)));
    }
    return out;
}

const KernelCase kKernels[] = {
    {"copy_complex", copy_complex_bits},
    {"scale_complex", scale_complex_bits},
    {"fir_filter", fir_filter_bits},
    {"am_envelope", am_bits},
    {"ssb_product_demod", ssb_demod_bits},
    {"ssb_phasing_mod", ssb_mod_bits},
    {"phase_step_detector", phase_step_bits},
    {"psk31_upmix", psk31_upmix_bits},
    {"psk31_demods", psk31_demod_bits},
    {"ft8_tone_decisions", tone_decision_bits<8>},
    {"ft4_tone_decisions", tone_decision_bits<4>},
    {"ft8_ldpc", ft8_ldpc_bits},
    {"qpsk31_butterflies", qpsk31_butterfly_bits},
    {"waterfall_rows", waterfall_bits},
    {"qam_decisions", qam_bits},
    {"ldpc_codes", ldpc_codes_bits},
    {"correlation_sums", correlation_sums_bits},
    {"gi_window_sums", gi_window_sums_bits},
    {"grid_lag_sums", grid_lag_sums_bits},
    {"preamble_scan", preamble_scan_bits},
    {"carrier_offset_removal", carrier_offset_bits},
    {"dvb_t_soft_llr", dvb_t_soft_llr_bits},
    {"viterbi", viterbi_bits},
};

// Which NaN an operation on two NaNs passes on follows the operand order the compiler picks (IEEE
// arithmetic leaves it open), so a NaN matches any NaN; every other word, signed zeros and
// infinities included, must match exactly (decisions and counts, widened to words, are far
// below any NaN pattern).
bool is_nan(std::uint32_t word) { return (word & 0x7FFFFFFFu) > 0x7F800000u; }

testing::AssertionResult same_bits(const Bits& got, const Bits& want) {
    if (got.size() != want.size())
        return testing::AssertionFailure() << got.size() << " output words, the portable build gives " << want.size();
    for (std::size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i] && !(is_nan(got[i]) && is_nan(want[i])))
            return testing::AssertionFailure() << "word " << i << " is " << std::hex << got[i]
                                               << ", the portable build gives " << want[i];
    return testing::AssertionSuccess();
}

void PrintTo(const KernelCase& kernel, std::ostream* os) { *os << kernel.name; }

class SimdVariants : public testing::TestWithParam<KernelCase> {};

TEST_P(SimdVariants, EveryBuildGivesThePortableBits) {
    const KernelCase& kernel = GetParam();
    for (const std::size_t n : lengths()) {
        const Bits want = kernel.run(SimdLevel::Portable, n);
        for (const SimdLevel level : simd_levels) {
            if (level == SimdLevel::Portable || !simd_level_available(level)) continue;
            ASSERT_TRUE(same_bits(kernel.run(level, n), want))
                << "length " << n << ", level " << static_cast<int>(level);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SimdVariants, testing::ValuesIn(kKernels),
                         [](const testing::TestParamInfo<KernelCase>& info) { return std::string(info.param.name); });

// The level reaches the kernel: with_simd_level runs it once and hands back what it returns.
TEST(SimdLevel, TheKernelRunsOnceAtEveryLevelAndItsResultComesBack) {
    for (const SimdLevel level : simd_levels) {
        if (!simd_level_available(level)) continue;
        int runs = 0;
        EXPECT_EQ(with_simd_level(level, [&] [[gnu::always_inline]] { return ++runs * 7; }), 7);
        EXPECT_EQ(runs, 1);
    }
    EXPECT_TRUE(simd_level_available(SimdLevel::Portable));
    EXPECT_TRUE(simd_level_available(best_simd_level()));
}

// The two factors of scale_complex_twice round one after the other: 1e-30 scaled by 1e-20
// underflows to zero, which 1e20 cannot bring back.
TEST(SimdLevel, ScaleComplexTwiceAppliesItsFactorsInTurn) {
    const std::vector<Complex> in(5, Complex{1e-30f, -1e-30f});  // eight lanes and a tail of two
    for (const SimdLevel level : simd_levels) {
        if (!simd_level_available(level)) continue;
        std::vector<Complex> out(in.size());
        detail::scale_complex_twice(in.data(), in.size(), 1e-20f, 1e20f, out.data(), level);
        EXPECT_EQ(bits_of(std::span<const Complex>(out)), (Bits{0u, 0x80000000u, 0u, 0x80000000u, 0u, 0x80000000u,
                                                                 0u, 0x80000000u, 0u, 0x80000000u}));
    }
}

}  // namespace
}  // namespace kavro
