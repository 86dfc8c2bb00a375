// The FT8 and FT4 searches on modulated frames in noise: alignment of a clean frame, strong
// signals at every quarter-step offset and at random offsets, sensitivity, and a busy band.
// SNR is signal over noise power in 2500 Hz: unit-amplitude frames at 12 kHz plus complex
// Gaussian noise with E|n|² = 4.8·10^(-SNR/10). Trials are seeded and run on a few threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "codec/ft4.hpp"
#include "codec/ft8.hpp"
#include "modulate/ft4.hpp"
#include "modulate/ft8.hpp"
#include "support/ft8_support.hpp"
#include "support/test_support.hpp"
#include "sync/costas.hpp"
#include "sync/ft4_sync.hpp"

namespace kavro {
namespace {

constexpr float fs = 12000.0f;

struct ModeCase {
    const char* name;
    bool ft4;
    std::size_t row;
    float spacing;
    std::size_t symbols;
};

const ModeCase ft8_case{"ft8", false, 1920, 6.25f, 79};
const ModeCase ft4_case{"ft4", true, 576, 20.833334f, 105};

std::vector<std::uint8_t> data_tones(const ModeCase& mode, const codec::Payload& payload) {
    std::vector<std::uint8_t> tones(mode.ft4 ? 87 : 58);
    if (mode.ft4) codec::Ft4Codec::encode_into(payload, std::span<std::uint8_t, 87>(tones));
    else codec::Ft8Codec::encode_into(payload, std::span<std::uint8_t, 58>(tones));
    return tones;
}

std::vector<Complex> frame(const ModeCase& mode, const codec::Payload& payload, float tone0_hz) {
    const auto tones = data_tones(mode, payload);
    return mode.ft4 ? *Ft4Mod(fs, tone0_hz, 0.0f, 1.0f).modulate(tones) : *Ft8Mod(fs, tone0_hz, 0.0f, 1.0f).modulate(tones);
}

// Adds `signal` at sample `at` with phase `phase`.
void place(std::vector<Complex>& iq, const std::vector<Complex>& signal, std::size_t at, double phase) {
    const Complex rotation{static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase))};
    for (std::size_t i = 0; i < signal.size() && at + i < iq.size(); ++i) iq[at + i] = iq[at + i] + signal[i] * rotation;
}

std::vector<SyncResult> search(const ModeCase& mode, std::span<const Complex> iq, float base_hz, float max_hz,
                               std::int32_t t_max, std::uint64_t max_cand) {
    auto results = (mode.ft4 ? ft4_sync : ft8_sync)(iq, fs, base_hz, max_hz, 0, t_max, max_cand);
    if (!results) ADD_FAILURE() << "search refused its arguments";
    return results.value_or(std::vector<SyncResult>{});
}

std::optional<codec::Payload> decode(const ModeCase& mode, const SyncResult& result) {
    const std::span<const float, 174> llr(result.llr.data(), 174);
    return mode.ft4 ? codec::Ft4Codec::decode_llr(llr) : codec::Ft8Codec::decode_llr(llr);
}

// What one trial reports: signals decoded, signals sent, and payloads decoded that were not sent.
struct Outcome {
    int decoded = 0;
    int sent = 0;
    int false_payloads = 0;
};

Outcome& operator+=(Outcome& a, const Outcome& b) {
    a.decoded += b.decoded;
    a.sent += b.sent;
    a.false_payloads += b.false_payloads;
    return a;
}

Outcome score(const ModeCase& mode, const std::vector<SyncResult>& results, const std::vector<codec::Payload>& sent) {
    Outcome outcome;
    outcome.sent = static_cast<int>(sent.size());
    std::vector<bool> found(sent.size(), false);
    for (const SyncResult& r : results) {
        const auto payload = decode(mode, r);
        if (!payload) continue;
        const auto at = std::find(sent.begin(), sent.end(), *payload);
        if (at == sent.end()) ++outcome.false_payloads;
        else found[static_cast<std::size_t>(at - sent.begin())] = true;
    }
    outcome.decoded = static_cast<int>(std::count(found.begin(), found.end(), true));
    return outcome;
}

// Runs trials 0 .. count-1 on a few threads and adds up their outcomes.
Outcome run_trials(int count, const std::function<Outcome(int)>& trial) {
    std::atomic<int> next{0};
    std::vector<Outcome> partial(4);
    std::vector<std::thread> workers;
    for (std::size_t w = 0; w < partial.size(); ++w) {
        workers.emplace_back([&, w] {
            for (int i = next++; i < count; i = next++) partial[w] += trial(i);
        });
    }
    for (auto& worker : workers) worker.join();
    Outcome total;
    for (const Outcome& o : partial) total += o;
    return total;
}

std::vector<Complex> noise(const ModeCase& mode, double snr_db, std::uint64_t seed) {
    return test::complex_noise((mode.symbols + 16) * mode.row, test::ft8_noise_variance(snr_db), seed);
}

class SearchChannel : public testing::TestWithParam<ModeCase> {};

TEST_P(SearchChannel, CleanAlignedFrameGivesItsCodewordBits) {
    const ModeCase& mode = GetParam();
    std::mt19937_64 rng(1);
    const codec::Payload payload = test::random_ft8_payload(rng());
    const float base_hz = 1000.0f;
    const std::vector<Complex> iq = frame(mode, payload, base_hz);
    const auto results = search(mode, iq, base_hz, base_hz, 0, 5);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results[0].time_sym, 0);
    EXPECT_EQ(results[0].freq_bin, 0u);
    // Codeword bits from the tones through the inverse gray maps, most significant bit first.
    const std::vector<std::uint8_t> inverse = mode.ft4 ? std::vector<std::uint8_t>{0, 1, 3, 2}
                                                       : std::vector<std::uint8_t>{0, 1, 3, 2, 6, 4, 5, 7};
    const std::size_t bits = mode.ft4 ? 2 : 3;
    const auto tones = data_tones(mode, payload);
    double square = 0.0;
    for (std::size_t i = 0; i < tones.size(); ++i) {
        for (std::size_t b = 0; b < bits; ++b) {
            const bool one = (inverse[tones[i]] >> (bits - 1 - b)) & 1u;
            const float value = results[0].llr[i * bits + b];
            EXPECT_EQ(value <= 0.0f, one) << "bit " << i * bits + b << " value " << value;
            square += double(value) * value;
        }
    }
    EXPECT_NEAR(square / 174.0, 24.0, 1e-3);
    EXPECT_EQ(decode(mode, results[0]), payload);
}

// A frame k/4 symbol after symbol 3 and j/4 spacing above bin 8 is found at the nearest whole
// symbol and bin, halves rounding up.
TEST_P(SearchChannel, StrongSignalAtEveryQuarterOffset) {
    const ModeCase& mode = GetParam();
    const Outcome outcome = run_trials(16, [&](int trial) {
        const int k = trial / 4, j = trial % 4;
        std::mt19937_64 rng(100 + trial);
        const codec::Payload payload = test::random_ft8_payload(rng());
        std::vector<Complex> iq = noise(mode, 0.0, 200 + trial);
        const float tone0 = 1000.0f + (8.0f + 0.25f * float(j)) * mode.spacing;
        place(iq, frame(mode, payload, tone0), 3 * mode.row + std::size_t(k) * mode.row / 4, 0.7 * trial);
        const auto results = search(mode, iq, 1000.0f, 1000.0f + 24.0f * mode.spacing, 6, 20);
        Outcome outcome = score(mode, results, {payload});
        bool placed = false;
        for (const SyncResult& r : results) {
            if (decode(mode, r) == payload) {
                placed = placed || (r.time_sym == 3 + (k + 2) / 4 && r.freq_bin == std::size_t(8 + (j + 2) / 4));
            }
        }
        EXPECT_TRUE(placed) << "offset (" << k << ", " << j << ")";
        return outcome;
    });
    EXPECT_EQ(outcome.decoded, 16);
    EXPECT_EQ(outcome.false_payloads, 0);
}

TEST_P(SearchChannel, StrongSignalAtRandomOffsets) {
    const ModeCase& mode = GetParam();
    const Outcome outcome = run_trials(100, [&](int trial) {
        std::mt19937_64 rng(1000 + trial);
        const codec::Payload payload = test::random_ft8_payload(rng());
        const std::size_t start = 3 * mode.row + rng() % mode.row;
        const double bins = 8.0 + std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        const float tone0 = 1000.0f + static_cast<float>(bins * mode.spacing);
        std::vector<Complex> iq = noise(mode, 0.0, 3000 + trial);
        place(iq, frame(mode, payload, tone0), start, 0.37 * trial);
        const auto results = search(mode, iq, 1000.0f, 1000.0f + 24.0f * mode.spacing, 6, 20);
        Outcome outcome = score(mode, results, {payload});
        for (const SyncResult& r : results) {
            if (decode(mode, r) != payload) continue;
            EXPECT_LE(std::abs(double(r.time_sym) - double(start) / double(mode.row)), 0.75) << "trial " << trial;
            EXPECT_LE(std::abs(double(r.freq_bin) - (tone0 - 1000.0) / mode.spacing), 0.75) << "trial " << trial;
        }
        return outcome;
    });
    EXPECT_EQ(outcome.decoded, 100);
    EXPECT_EQ(outcome.false_payloads, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, SearchChannel, testing::Values(ft8_case, ft4_case),
                         [](const testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

// One frame at a random offset: 3 symbols and a random part of a symbol in, tone 0 a random part
// of a spacing above bin 8.
Outcome sensitivity_trial(const ModeCase& mode, double snr_db, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const codec::Payload payload = test::random_ft8_payload(rng());
    const std::size_t start = 3 * mode.row + rng() % mode.row;
    const double bins = 8.0 + std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    const double phase = std::uniform_real_distribution<double>(0.0, 2.0 * M_PI)(rng);
    std::vector<Complex> iq = noise(mode, snr_db, seed ^ 0x5eed);
    place(iq, frame(mode, payload, 1000.0f + static_cast<float>(bins * mode.spacing)), start, phase);
    return score(mode, search(mode, iq, 1000.0f, 1000.0f + 24.0f * mode.spacing, 6, 20), {payload});
}

struct SensitivityCase {
    const char* name;
    ModeCase mode;
    double snr_db;
    int at_least;  // of 400
};

class Sensitivity : public testing::TestWithParam<SensitivityCase> {};

TEST_P(Sensitivity, DecodesEnoughAtRandomOffsets) {
    const SensitivityCase& c = GetParam();
    const Outcome outcome = run_trials(400, [&](int trial) {
        return sensitivity_trial(c.mode, c.snr_db, 40000 + 1000 * std::uint64_t(c.snr_db * -2) + trial);
    });
    EXPECT_GE(outcome.decoded, c.at_least) << c.snr_db << " dB";
    EXPECT_EQ(outcome.false_payloads, 0);
    std::printf("%s at %.1f dB: %d of 400\n", c.mode.name, c.snr_db, outcome.decoded);
}

INSTANTIATE_TEST_SUITE_P(Points, Sensitivity,
                         testing::Values(SensitivityCase{"ft8_minus_19", ft8_case, -19.0, 200},
                                         SensitivityCase{"ft8_minus_18", ft8_case, -18.0, 352},
                                         SensitivityCase{"ft4_minus_14_5", ft4_case, -14.5, 200},
                                         SensitivityCase{"ft4_minus_13", ft4_case, -13.0, 360}),
                         [](const testing::TestParamInfo<SensitivityCase>& info) { return std::string(info.param.name); });

// The whole curve in 0.5 dB steps, for measuring rather than checking.
TEST(Sensitivity, DISABLED_Curves) {
    for (const ModeCase& mode : {ft8_case, ft4_case}) {
        for (double snr = mode.ft4 ? -17.0 : -22.0; snr <= (mode.ft4 ? -11.0 : -16.0); snr += 0.5) {
            const Outcome o = run_trials(400, [&](int trial) {
                return sensitivity_trial(mode, snr, 90000 + 1000 * std::uint64_t(snr * -2) + trial);
            });
            std::printf("%s %.1f dB: %d/400 (%.1f%%), false %d\n", mode.name, snr, o.decoded, o.decoded / 4.0,
                        o.false_payloads);
        }
    }
}

struct BusyCase {
    const char* name;
    ModeCase mode;
    double snr_db;
    float min_separation_hz;
};

class BusyBand : public testing::TestWithParam<BusyCase> {};

// Ten frames at random times and frequencies, at least min_separation_hz apart.
TEST_P(BusyBand, DecodesNearlyEverySignal) {
    const BusyCase& c = GetParam();
    const ModeCase& mode = c.mode;
    const Outcome outcome = run_trials(20, [&](int trial) {
        std::mt19937_64 rng(7000 + trial);
        std::vector<Complex> iq = noise(mode, c.snr_db, 8000 + trial);
        std::vector<codec::Payload> sent;
        std::vector<double> tones;
        while (tones.size() < 10) {
            const double f = std::uniform_real_distribution<double>(250.0, 2850.0)(rng);
            if (std::all_of(tones.begin(), tones.end(), [&](double g) { return std::abs(f - g) >= c.min_separation_hz; })) {
                tones.push_back(f);
            }
        }
        for (double f : tones) {
            sent.push_back(test::random_ft8_payload(rng()));
            const std::size_t start = 3 * mode.row + rng() % (4 * mode.row);
            const double phase = std::uniform_real_distribution<double>(0.0, 2.0 * M_PI)(rng);
            place(iq, frame(mode, sent.back(), static_cast<float>(f)), start, phase);
        }
        return score(mode, search(mode, iq, 200.0f, 3000.0f, 14, 20), sent);
    });
    EXPECT_GE(outcome.decoded, 190);
    EXPECT_EQ(outcome.false_payloads, 0);
    std::printf("%s busy band: %d of %d\n", mode.name, outcome.decoded, outcome.sent);
}

INSTANTIATE_TEST_SUITE_P(Modes, BusyBand,
                         testing::Values(BusyCase{"ft8", ft8_case, -16.0, 60.0f}, BusyCase{"ft4", ft4_case, -12.0, 95.0f}),
                         [](const testing::TestParamInfo<BusyCase>& info) { return std::string(info.param.name); });

// Strong signals put energy into the neighbours of the true position; none of the candidates
// there may decode to a payload that was not sent.
TEST_P(SearchChannel, StrongSignalsDecodeNothingElse) {
    const ModeCase& mode = GetParam();
    for (double snr : {10.0, 20.0}) {
        const Outcome outcome = run_trials(20, [&](int trial) {
            return sensitivity_trial(mode, snr, 60000 + std::uint64_t(snr) * 100 + trial);
        });
        EXPECT_EQ(outcome.decoded, 20) << snr;
        EXPECT_EQ(outcome.false_payloads, 0) << snr;
    }
}

}  // namespace
}  // namespace kavro
