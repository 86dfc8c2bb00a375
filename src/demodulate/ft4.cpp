#include "demodulate/ft4.hpp"

#include "demodulate/ft8.hpp"

namespace kavro {

std::expected<std::vector<std::uint8_t>, FtLengthError> Ft4Demod::demodulate(std::span<const Complex> iq) const {
    if (iq.size() < FT4_FRAME.frame_samples())
        return std::unexpected(FtLengthError{FtLengthError::Mode::Ft4, FtLengthError::Call::Demodulate,
                                             FT4_FRAME.frame_samples(), iq.size()});
    std::vector<std::uint8_t> tones(FT4_FRAME.data_tones);
    decide_data_tones(FT4_FRAME, FT4_TONE_OFFSETS_HZ, fs_, base_hz_, iq, tones);
    return tones;
}

}  // namespace kavro
