#pragma once

#include <string>
#include <string_view>

namespace kavro {

// The debug form of a keyword echoed in error messages: double quotes around it, a backslash
// before '"' and '\\', \t \r \n \0 for those controls and \u{hex} for the other C0 controls,
// DEL and U+0080..U+009F; everything else passes through unchanged. Input is UTF-8.
std::string debug_quote(std::string_view text);

}  // namespace kavro
