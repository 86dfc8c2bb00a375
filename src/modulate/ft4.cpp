#include "modulate/ft4.hpp"

#include "modulate/ft8.hpp"

namespace kavro {

std::expected<std::vector<Complex>, FtLengthError> Ft4Mod::modulate(std::span<const std::uint8_t> tones) const {
    if (tones.size() != FT4_FRAME.data_tones)
        return std::unexpected(
            FtLengthError{FtLengthError::Mode::Ft4, FtLengthError::Call::Modulate, FT4_FRAME.data_tones, tones.size()});
    std::vector<Complex> samples(FT4_FRAME.frame_samples());
    synthesize_tone_frame(FT4_FRAME, tones, fs_, base_hz_, rf_hz_, gain_, samples);
    return samples;
}

}  // namespace kavro
