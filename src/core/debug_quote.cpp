#include "core/debug_quote.hpp"

#include <cstdio>

namespace kavro {

namespace {

void append_unicode_escape(std::string& out, unsigned code_point) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u{%x}", code_point);
    out += buffer;
}

}  // namespace

std::string debug_quote(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            append_unicode_escape(out, byte);
        } else if (byte == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F are encoded as C2 80..C2 9F.
            append_unicode_escape(out, static_cast<unsigned char>(text[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '"';
    return out;
}

}  // namespace kavro
