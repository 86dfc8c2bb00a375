#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "codec/ft8.hpp"

// FT4 tone frame and codec: FT8's channel code on a message scrambled with a fixed vector, four
// tones, and four Costas arrays between the data blocks with a tone-0 ramp symbol at each end.

namespace kavro::codec {

inline constexpr std::array<std::uint8_t, 4> ft4_gray_map{0, 1, 3, 2};
inline constexpr std::array<std::uint8_t, 4> ft4_gray_inverse{0, 1, 3, 2};
inline constexpr std::array<std::array<std::uint8_t, 4>, 4> ft4_costas{{
    {0, 1, 3, 2},
    {1, 0, 2, 3},
    {2, 3, 1, 0},
    {3, 2, 0, 1},
}};
// XORed onto message bits 0-76 (the low three bits of the last byte are zero).
inline constexpr Payload ft4_xor_vector{0x4A, 0x5E, 0x89, 0xB4, 0xB0, 0x8A, 0x79, 0x55, 0xBE, 0x28};

// Ramp at 0 and 104; Costas arrays A-D at 1, 34, 67 and 100; data tones 0-28 at 5-33, 29-57 at
// 38-66 and 58-86 at 71-99.
inline constexpr std::array<std::uint8_t, 105> ft4_layout = [] {
    std::array<std::uint8_t, 105> layout{};
    layout.fill(data_symbol);
    layout[0] = 0;
    layout[104] = 0;
    const std::array<std::size_t, 4> starts{1, 34, 67, 100};
    for (std::size_t a = 0; a < starts.size(); ++a)
        for (std::size_t j = 0; j < 4; ++j) layout[starts[a] + j] = ft4_costas[a][j];
    return layout;
}();

// The spacing is the single-precision value nearest 62.5 / 3 Hz.
inline constexpr ToneFrame ft4_frame{4, 2, 87, 576, 20.833334f, ft4_gray_map, ft4_gray_inverse, ft4_layout};

// 87 data tones (tones taken modulo 4); the CRC is checked on the scrambled message.
using Ft4Codec = ToneCodec<FtMode::Ft4, ft4_frame>;

}  // namespace kavro::codec
