#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/ft_mode.hpp"
#include "codec/ldpc.hpp"

// FT8 tone frames and codec, and what FT4 shares with them: the tone-frame description, the
// coding of a 77-bit message into Gray-coded data tones through CRC-14 and LDPC(174,91), its
// decoding from soft values, and the argument errors of the FT8 and FT4 classes.
//
// A payload is 10 bytes, most significant bit first: the message in bits 0-76, bits 77-79 unused
// (cleared on encoding, zero on decoding).

namespace kavro::codec {

using Payload = std::array<std::uint8_t, 10>;

// Layout entry of a frame symbol that carries the next data tone; any other entry is the fixed
// (synchronisation or ramp) tone of that symbol.
inline constexpr std::uint8_t data_symbol = 0xFF;

// One mode's tone frame. The symbol length and tone spacing do not follow the sample rate: at
// 12000 Hz a symbol lasts one period of the spacing, so the tones are orthogonal over a symbol.
struct ToneFrame {
    std::size_t alphabet;          // tones 0 .. alphabet - 1
    std::size_t bits_per_tone;     // coded bits per data tone, first bit most significant
    std::size_t data_tones;        // 174 / bits_per_tone
    std::size_t symbol_samples;
    float spacing_hz;
    std::span<const std::uint8_t> gray_map;      // bit value to tone
    std::span<const std::uint8_t> gray_inverse;  // tone to bit value
    std::span<const std::uint8_t> layout;        // per frame symbol: a fixed tone or data_symbol

    constexpr std::size_t symbols() const { return layout.size(); }
    constexpr std::size_t frame_samples() const { return symbols() * symbol_samples; }
};

inline constexpr std::array<std::uint8_t, 8> ft8_gray_map{0, 1, 3, 2, 5, 6, 4, 7};
inline constexpr std::array<std::uint8_t, 8> ft8_gray_inverse{0, 1, 3, 2, 6, 4, 5, 7};
inline constexpr std::array<std::uint8_t, 7> ft8_costas{3, 1, 4, 0, 6, 5, 2};
// The Costas array at symbols 0, 36 and 72; data tones 0-28 at 7-35 and 29-57 at 43-71.
inline constexpr std::array<std::uint8_t, 79> ft8_layout = [] {
    std::array<std::uint8_t, 79> layout{};
    layout.fill(data_symbol);
    for (const std::size_t start : {0u, 36u, 72u})
        for (std::size_t j = 0; j < ft8_costas.size(); ++j) layout[start + j] = ft8_costas[j];
    return layout;
}();

inline constexpr ToneFrame ft8_frame{8, 3, 58, 1920, 6.25f, ft8_gray_map, ft8_gray_inverse, ft8_layout};

// Wrong-length arguments of the FT8 and FT4 classes; each message names the class and method.
struct FtLengthError {
    enum class Call : std::uint8_t { Encode, DecodeHard, DecodeSoft, Modulate, Demodulate };
    FtMode mode = FtMode::Ft8;
    Call call = Call::Encode;
    std::size_t needed = 0;
    std::size_t given = 0;
};

std::string error_message(const FtLengthError& error);

// The channel code both modes share, applied to a message as sent (FT4 scrambles it first).
namespace tone_code {

// Data tones of a message: CRC-14 over bits 0-76 (bits 77-79 of the message are ignored),
// LDPC(174,91), then bits_per_tone codeword bits per tone through the Gray map.
void encode(const Payload& message, const ToneFrame& frame, std::span<std::uint8_t> tones);

// Soft values of hard tones: ±10 per coded bit (+ for 0), each tone taken modulo the alphabet.
std::array<float, ldpc_n> hard_llrs(std::span<const std::uint8_t> tones, const ToneFrame& frame);

// The message whose codeword the soft values decode to, with its CRC checked and bits 77-79
// zero. None when a value is NaN, when belief propagation ends short of a codeword, when the
// codeword is all zeros (the decision that NaN and strong-signal artefacts settle on, never a
// transmission) or when the CRC does not match.
std::optional<Payload> decode(std::span<const float, ldpc_n> llr);

}  // namespace tone_code

// The codec of one mode: the channel code above on the message as sent, which is the payload itself
// for FT8 and the payload XORed with ft4_xor_vector for FT4 (so FT4 checks the CRC of the
// scrambled message).
template <FtMode M, const ToneFrame& Frame>
class ToneCodec {
public:
    static constexpr const ToneFrame& frame = Frame;

    // Frame.data_tones data tones of a 10-byte payload.
    static std::expected<std::vector<std::uint8_t>, FtLengthError> encode(std::span<const std::uint8_t> payload);
    static void encode_into(const Payload& payload, std::span<std::uint8_t, Frame.data_tones> tones);

    // The payload of Frame.data_tones received tones (each taken modulo the alphabet), or none.
    static std::expected<std::optional<Payload>, FtLengthError> decode_hard(std::span<const std::uint8_t> tones);

    // The payload of 174 soft values, or none.
    static std::expected<std::optional<Payload>, FtLengthError> decode_soft(std::span<const float> llr);
    static std::optional<Payload> decode_llr(std::span<const float, ldpc_n> llr);
};

// 58 data tones (tones taken modulo 8).
using Ft8Codec = ToneCodec<FtMode::Ft8, ft8_frame>;

}  // namespace kavro::codec
