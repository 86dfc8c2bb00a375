#pragma once

// Helpers shared by the FT8/FT4 tests: seeded payloads and the noise level of a reported SNR.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "codec/ft8.hpp"
#include "support/test_support.hpp"

namespace kavro::test {

// A 77-bit payload (the low three bits of its last byte clear), the same for the same seed.
inline codec::Payload random_ft8_payload(std::uint64_t seed) {
    const auto bytes = random_bytes(10, seed);
    codec::Payload payload{};
    std::copy(bytes.begin(), bytes.end(), payload.begin());
    payload[9] &= 0xF8;
    return payload;
}

// Complex noise variance per sample at 12000 samples/s for a unit-amplitude signal `snr_db` above
// the noise power in 2500 Hz: E|n|^2 = 4.8 · 10^(-SNR/10).
inline double ft8_noise_variance(double snr_db) { return noise_variance_at_snr(12000.0 / 2500.0, snr_db); }

}  // namespace kavro::test
