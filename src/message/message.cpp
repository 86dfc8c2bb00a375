#include "message/message.hpp"

#include "message/alphabets.hpp"

namespace kavro::message {

namespace {

constexpr unsigned free_text_chars = 13;
constexpr unsigned full_call_chars = 11;
constexpr unsigned n3_free_text = 0;
constexpr unsigned n3_telemetry = 5;
constexpr unsigned i3_non_std = 4;

// A 71-bit number right-aligned in 9 bytes, most significant byte first.
using Number71 = std::array<std::uint8_t, 9>;

class BitWriter {
public:
    void put(std::uint64_t value, unsigned width) {
        for (unsigned i = width; i-- > 0; ++position_)
            if ((value >> i) & 1u) payload_[position_ >> 3] |= static_cast<std::uint8_t>(0x80u >> (position_ & 7));
    }
    const Payload& payload() const { return payload_; }

private:
    Payload payload_{};
    std::size_t position_ = 0;
};

std::uint64_t get_bits(const Payload& payload, std::size_t position, unsigned width) {
    std::uint64_t value = 0;
    for (std::size_t end = position + width; position < end; ++position)
        value = (value << 1) | ((payload[position >> 3] >> (7 - (position & 7))) & 1u);
    return value;
}

unsigned read_i3(const Payload& payload) { return (payload[9] >> 3) & 7u; }
unsigned read_n3(const Payload& payload) { return ((payload[8] & 1u) << 2) | (payload[9] >> 6); }

// Bits 0..70 from the number, then n3, with i3 0.
Payload write71(const Number71& number, unsigned n3) {
    Payload payload{};
    for (std::size_t k = 0; k < 8; ++k) payload[k] = static_cast<std::uint8_t>((number[k] << 1) | (number[k + 1] >> 7));
    payload[8] = static_cast<std::uint8_t>((number[8] << 1) | (n3 >> 2));
    payload[9] = static_cast<std::uint8_t>((n3 & 3u) << 6);
    return payload;
}

Number71 read71(const Payload& payload) {
    Number71 number{};
    number[0] = static_cast<std::uint8_t>(payload[0] >> 1);
    for (std::size_t k = 1; k < 9; ++k)
        number[k] = static_cast<std::uint8_t>(((payload[k - 1] & 1u) << 7) | (payload[k] >> 1));
    return number;
}

bool ends_with_suffix(std::string_view call) { return call.ends_with("/R") || call.ends_with("/P"); }

std::optional<Payload> pack_standard(const Standard& message, CallsignHashTable& table) {
    const auto to = pack28(message.call_to, table);
    if (!to) return std::nullopt;
    const auto de = pack28(message.call_de, table);
    if (!de) return std::nullopt;
    const unsigned i3 = message.call_to.ends_with("/P") || message.call_de.ends_with("/P") ? 2 : 1;
    // The first flag marks a suffixed call_to even when that call went out hashed.
    const bool r_to = to->r || ends_with_suffix(message.call_to);
    const std::uint16_t grid = std::holds_alternative<grid_field::Blank>(message.extra)
                                   ? blank_value
                                   : packgrid(gridfield_to_str(message.extra));
    BitWriter bits;
    bits.put(to->c28, 28);
    bits.put(r_to, 1);
    bits.put(de->c28, 28);
    bits.put(de->r, 1);
    bits.put(grid >> 15, 1);
    bits.put(grid & 0x7FFFu, 15);
    bits.put(i3, 3);
    return bits.payload();
}

std::optional<Payload> pack_free_text(const FreeText& message) {
    if (message.text.size() > free_text_chars) return std::nullopt;
    Number71 number{};
    for (std::size_t i = 0; i < free_text_chars; ++i) {
        const int digit = i < message.text.size() ? a42[message.text[i]] : 0;
        if (digit < 0) return std::nullopt;
        unsigned carry = static_cast<unsigned>(digit);
        for (std::size_t k = number.size(); k-- > 0;) {
            const unsigned v = number[k] * 42u + carry;
            number[k] = static_cast<std::uint8_t>(v);
            carry = v >> 8;
        }
    }
    return write71(number, n3_free_text);
}

std::optional<Payload> pack_nonstd(const NonStd& message, CallsignHashTable& table) {
    std::string_view full = message.full;
    if (full.size() >= 2 && full.front() == '<' && full.back() == '>') full = full.substr(1, full.size() - 2);
    if (full.size() > full_call_chars) return std::nullopt;
    std::uint64_t c58 = 0;
    for (const char c : full) {
        if (!a38.contains(c)) return std::nullopt;
        c58 = c58 * 38 + static_cast<std::uint64_t>(a38[c]);
    }
    const bool cq = message.hashed == "CQ" || message.hashed.starts_with("CQ ");
    const std::uint16_t h12 = cq ? 0 : table.save(message.hashed).hash12;
    const unsigned r2 = cq ? 0 : (message.token + 1u) % 4u;
    table.save(full);
    BitWriter bits;
    bits.put(h12, 12);
    bits.put(c58, 58);
    bits.put(0, 1);  // h1: the hashed call always comes first
    bits.put(r2, 2);
    bits.put(cq, 1);
    bits.put(i3_non_std, 3);
    return bits.payload();
}

Standard unpack_standard(const Payload& payload, unsigned i3, const CallsignHashTable& table) {
    const auto call = [&](std::size_t at) {
        const auto c28 = static_cast<std::uint32_t>(get_bits(payload, at, 28));
        return unpack28(c28, get_bits(payload, at + 28, 1) != 0, i3, table).value_or("<?>");
    };
    // Bits 58..73 are the R flag followed by g15: the 16-bit value that unpackgrid reads.
    return {call(0), call(29), unpackgrid(static_cast<std::uint16_t>(get_bits(payload, 58, 16)))};
}

NonStd unpack_nonstd(const Payload& payload) {
    std::uint64_t c58 = get_bits(payload, 12, 58);
    std::array<char, full_call_chars> chars{};
    for (std::size_t i = full_call_chars; i-- > 0; c58 /= 38) chars[i] = a38.at(c58 % 38);
    std::string full(trim_spaces({chars.data(), chars.size()}));
    const bool h1 = get_bits(payload, 70, 1) != 0;
    const auto r2 = static_cast<unsigned>(get_bits(payload, 71, 2));
    if (get_bits(payload, 73, 1) != 0) return {"CQ", std::move(full), 3};
    const auto token = static_cast<std::uint8_t>((r2 + 3) % 4);
    if (h1) return {std::move(full), "<...>", token};
    return {"<...>", std::move(full), token};
}

// Peers right-align free text, so spaces are trimmed at both ends.
FreeText unpack_free_text(const Payload& payload) {
    Number71 number = read71(payload);
    std::array<char, free_text_chars> chars{};
    for (std::size_t i = free_text_chars; i-- > 0;) {
        unsigned remainder = 0;
        for (auto& byte : number) {
            const unsigned v = (remainder << 8) | byte;
            byte = static_cast<std::uint8_t>(v / 42);
            remainder = v % 42;
        }
        chars[i] = a42.at(remainder);
    }
    return {std::string(trim_spaces({chars.data(), chars.size()}))};
}

}  // namespace

std::optional<Payload> pack77(const Ft8Message& message, CallsignHashTable& table) {
    struct Pack {
        CallsignHashTable& table;
        std::optional<Payload> operator()(const Standard& m) const { return pack_standard(m, table); }
        std::optional<Payload> operator()(const FreeText& m) const { return pack_free_text(m); }
        std::optional<Payload> operator()(const NonStd& m) const { return pack_nonstd(m, table); }
        std::optional<Payload> operator()(const Telemetry& m) const { return write71(m.data, n3_telemetry); }
        std::optional<Payload> operator()(const Unknown& m) const { return m.payload; }
    };
    return std::visit(Pack{table}, message);
}

Ft8Message unpack77(const Payload& payload, const CallsignHashTable& table) {
    const unsigned i3 = read_i3(payload);
    if (i3 == 1 || i3 == 2) return unpack_standard(payload, i3, table);
    if (i3 == i3_non_std) return unpack_nonstd(payload);
    if (i3 == 0 && read_n3(payload) == n3_free_text) return unpack_free_text(payload);
    if (i3 == 0 && read_n3(payload) == n3_telemetry) return Telemetry{read71(payload)};
    return Unknown{payload};
}

}  // namespace kavro::message
