#pragma once

#include <cstdint>

namespace kavro::codec {

// The two tone-frame modes that share one channel code and one set of classes.
enum class FtMode : std::uint8_t { Ft8, Ft4 };

}  // namespace kavro::codec
