#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/simd_level.hpp"
#include "waveform/psk31_receiver.hpp"

// The BPSK31/QPSK31 demodulators: stream blocks around the receiver loop of waveform/psk31_receiver,
// and the hard decisions of BPSK31 values.

namespace kavro {

// One float per symbol. A call reads every sample when the output has room for the symbols they
// complete; otherwise it stops right after the last symbol that fits and leaves the rest unread.
// A symbol in progress carries over to the next call, so any chunking gives the same values.
class Bpsk31Demod {
public:
    using Input = Complex;
    using Output = float;

    static std::expected<Bpsk31Demod, Psk31RateError> create(float fs, float rf_hz, float gain);

    std::size_t process(std::span<const Complex> input, std::span<float> output) {
        return process_at(input, output, best_simd_level());
    }
    // `level` picks the build of the sample loop; every level gives the same bits.
    std::size_t process_at(std::span<const Complex> input, std::span<float> output, SimdLevel level);
    // Every symbol the samples complete.
    std::vector<float> process_all(std::span<const Complex> iq);
    void reset() { state_.reset(); }
    void set_gain(float gain) { state_.gain = gain; }

private:
    explicit Bpsk31Demod(Psk31DemodState state) : state_(std::move(state)) {}
    Psk31DemodState state_;
};

// Two floats per symbol, read and stopped as Bpsk31Demod (a symbol fits when two places remain).
// The buffered form keeps every pair it returns until `flush` decodes them.
class Qpsk31Demod {
public:
    using Input = Complex;
    using Output = float;

    static std::expected<Qpsk31Demod, Psk31RateError> create(float fs, float rf_hz, float gain);

    std::size_t process(std::span<const Complex> input, std::span<float> output) {
        return process_at(input, output, best_simd_level());
    }
    // `level` picks the build of the sample loop; every level gives the same bits.
    std::size_t process_at(std::span<const Complex> input, std::span<float> output, SimdLevel level);
    // Every pair the samples complete, also appended to the soft buffer.
    std::vector<float> process_buffered(std::span<const Complex> iq);
    // Viterbi decisions of the buffered pairs; empties the buffer.
    std::vector<std::uint8_t> flush();
    void reset();
    void set_gain(float gain) { state_.gain = gain; }

private:
    explicit Qpsk31Demod(Psk31DemodState state) : state_(std::move(state)) {}
    Psk31DemodState state_;
    std::vector<float> soft_buffer_;
};

// Hard decisions of BPSK31 values: 1 for a value at or above 0 (-0 included), else 0 (NaN too).
struct Bpsk31Decider {
    std::vector<std::uint8_t> process(std::span<const float> soft);
};

}  // namespace kavro
