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

// The receiver of one mode: one float per symbol for BPSK31, two for QPSK31. A call reads every
// sample when the output has room for the symbols they complete; otherwise it stops right after
// the last symbol that fits and leaves the rest unread. A symbol in progress carries over to the
// next call, so any chunking gives the same values.
template <waveform::Psk31Mode M>
class Psk31Demod {
public:
    using Input = Complex;
    using Output = float;

    static std::expected<Psk31Demod, waveform::Psk31RateError> create(float fs, float rf_hz, float gain);

    std::size_t process(std::span<const Complex> input, std::span<float> output) {
        return process_at(input, output, best_simd_level());
    }
    // `level` picks the build of the sample loop; every level gives the same bits.
    std::size_t process_at(std::span<const Complex> input, std::span<float> output, SimdLevel level) {
        return waveform::psk31_receive<M>(state_, input, output, level);
    }
    // BPSK31: every symbol the samples complete.
    std::vector<float> process_all(std::span<const Complex> iq)
        requires(M == waveform::Psk31Mode::Bpsk31);
    // QPSK31: every pair the samples complete, also appended to the soft buffer.
    std::vector<float> process_buffered(std::span<const Complex> iq)
        requires(M == waveform::Psk31Mode::Qpsk31);
    // QPSK31: Viterbi decisions of the buffered pairs; empties the buffer.
    std::vector<std::uint8_t> flush()
        requires(M == waveform::Psk31Mode::Qpsk31);
    void reset();
    void set_gain(float gain) { state_.gain = gain; }

private:
    explicit Psk31Demod(waveform::Psk31DemodState state) : state_(std::move(state)) {}
    waveform::Psk31DemodState state_;
    std::vector<float> soft_buffer_;  // QPSK31's buffered pairs
};

extern template class Psk31Demod<waveform::Psk31Mode::Bpsk31>;
extern template class Psk31Demod<waveform::Psk31Mode::Qpsk31>;
using Bpsk31Demod = Psk31Demod<waveform::Psk31Mode::Bpsk31>;
using Qpsk31Demod = Psk31Demod<waveform::Psk31Mode::Qpsk31>;

// Hard decisions of BPSK31 values: 1 for a value at or above 0 (-0 included), else 0 (NaN too).
struct Bpsk31Decider {
    std::vector<std::uint8_t> process(std::span<const float> soft);
};

}  // namespace kavro
