#include "fec/crc.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace kavro::fec {

namespace {

// Entry i is the register after shifting the byte i through the polynomial, most significant bit
// first.
constexpr std::array<std::uint16_t, 256> make_crc16_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i << 8;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000u) ? (r << 1) ^ 0x1021u : r << 1;
        table[i] = static_cast<std::uint16_t>(r);
    }
    return table;
}

// Slicing-by-8: table 0 is the usual bytewise table of the reflected CRC; table k advances a byte
// through k further zero bytes, so eight bytes are folded in with eight independent lookups.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_crc32_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        tables[0][i] = r;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint32_t prev = tables[k - 1][i];
            tables[k][i] = (prev >> 8) ^ tables[0][prev & 0xFFu];
        }
    }
    return tables;
}

constexpr auto crc16_table = make_crc16_table();
constexpr auto crc32_tables = make_crc32_tables();

static_assert(crc16_table[1] == 0x1021);
static_assert(crc32_tables[0][1] == 0x77073096u);

std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
    unsigned r = 0xFFFF;
    for (const std::uint8_t b : bytes) r = crc16_table[(b ^ (r >> 8)) & 0xFFu] ^ ((r << 8) & 0xFFFFu);
    return static_cast<std::uint16_t>(r);
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    const auto& t = crc32_tables;
    std::uint32_t r = 0xFFFFFFFFu;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t lo = load_le32(p) ^ r;
        const std::uint32_t hi = load_le32(p + 4);
        r = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^ t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
    }
    for (; n > 0; --n, ++p) r = t[0][(r ^ *p) & 0xFFu] ^ (r >> 8);
    return r ^ 0xFFFFFFFFu;
}

std::size_t crc_width(CrcKind kind) {
    switch (kind) {
        case CrcKind::None: return 0;
        case CrcKind::Crc16: return 2;
        case CrcKind::Crc32: return 4;
    }
    return 0;
}

namespace {

// The CRC of `payload`, most significant byte first, in the last crc_width(kind) bytes of `out`.
void write_crc(CrcKind kind, std::span<const std::uint8_t> payload, std::uint8_t* out) {
    const std::size_t width = crc_width(kind);
    const std::uint32_t value = kind == CrcKind::Crc16 ? crc16(payload) : crc32(payload);
    for (std::size_t k = 0; k < width; ++k) out[k] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - k)));
}

}  // namespace

std::vector<std::uint8_t> append_crc(CrcKind kind, std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> out(bytes.size() + crc_width(kind));
    std::copy(bytes.begin(), bytes.end(), out.begin());
    if (kind != CrcKind::None) write_crc(kind, bytes, out.data() + bytes.size());
    return out;
}

std::string error_message(const CrcError& error) {
    switch (error) {
        case CrcError::ShorterThanCrc: return "buffer shorter than its CRC";
    }
    return "unknown CRC error";
}

std::expected<CrcCheck, CrcError> check_crc(CrcKind kind, std::span<const std::uint8_t> bytes) {
    const std::size_t width = crc_width(kind);
    if (bytes.size() < width) return std::unexpected(CrcError::ShorterThanCrc);
    const auto payload = bytes.first(bytes.size() - width);
    if (kind == CrcKind::None) return CrcCheck{payload, true};
    std::uint8_t expected[4];
    write_crc(kind, payload, expected);
    return CrcCheck{payload, std::equal(expected, expected + width, bytes.begin() + payload.size())};
}

}  // namespace kavro::fec
