#include "message/callsign.hpp"

#include <array>

#include "message/alphabets.hpp"

namespace kavro::message {

namespace {

constexpr std::size_t hash_chars = 11;
constexpr std::uint64_t hash_multiplier = 47055833459ULL;

// "CQ " and three digits or one to four letters, read up to the first space after "CQ ".
std::optional<std::uint32_t> pack_cq(std::string_view text) {
    std::string_view rest = text.substr(3);
    rest = rest.substr(0, rest.find(' '));
    std::uint32_t digits = 0, letters = 0, number = 0, letter_value = 0;
    for (const char c : rest) {
        if (is_digit(c)) {
            ++digits;
            number = number * 10 + static_cast<std::uint32_t>(c - '0');
        } else if (is_upper(c)) {
            ++letters;
            letter_value = letter_value * 27 + static_cast<std::uint32_t>(a27[c]);
        } else {
            return std::nullopt;
        }
    }
    if (digits == 3 && letters == 0) return cq_number_base + number;
    if (digits == 0 && letters >= 1 && letters <= 4) return cq_letters_base + letter_value;
    return std::nullopt;
}

// The six slots of a standard callsign base, or empty when the base has no standard layout.
std::optional<std::uint32_t> standard_value(std::string_view base) {
    std::array<char, 6> slots{' ', ' ', ' ', ' ', ' ', ' '};
    if (base.size() < 3) return std::nullopt;
    if (base.size() <= 6 && is_digit(base[2])) {
        base.copy(slots.data(), base.size());
    } else if (base.size() <= 5 && is_digit(base[1])) {
        base.copy(slots.data() + 1, base.size());
    } else {
        return std::nullopt;
    }
    const int s0 = a37[slots[0]], s1 = a36[slots[1]], s2 = a10[slots[2]];
    const int s3 = a27[slots[3]], s4 = a27[slots[4]], s5 = a27[slots[5]];
    if (s0 < 0 || s1 < 0 || s2 < 0 || s3 < 0 || s4 < 0 || s5 < 0) return std::nullopt;
    return static_cast<std::uint32_t>(((((s0 * 36 + s1) * 10 + s2) * 27 + s3) * 27 + s4) * 27 + s5);
}

bool hashable(std::string_view text) {
    if (text.size() < 3 || text.size() > hash_chars) return false;
    for (const char c : text)
        if (!a38.contains(c)) return false;
    return true;
}

std::string cq_letters(std::uint32_t v) {
    std::array<char, 4> letters{};
    for (std::size_t i = 4; i-- > 0; v /= 27) letters[i] = a27.at(v % 27);
    return "CQ " + std::string(trim_spaces({letters.data(), letters.size()}));
}

std::optional<std::string> standard_text(std::uint32_t v, bool r, unsigned i3) {
    const std::array<char, 6> slots{a37.at(v / 7085880), a36.at((v / 196830) % 36), a10.at((v / 19683) % 10),
                                    a27.at((v / 729) % 27),  a27.at((v / 27) % 27),   a27.at(v % 27)};
    const std::string_view trimmed = trim_spaces({slots.data(), slots.size()});
    std::string text;
    // Senders that fold 3DA0 and 3X prefixes into the six slots write them as 3D0 and Q; no call
    // in use begins with 3D0 or with Q and a letter, so these are read back as the true prefixes.
    if (trimmed.starts_with("3D0") && trimmed.size() > 3 && trimmed[3] != ' ') {
        text = "3DA0" + std::string(trimmed.substr(3));
    } else if (trimmed.size() >= 2 && trimmed[0] == 'Q' && is_upper(trimmed[1])) {
        text = "3X" + std::string(trimmed.substr(1));
    } else if (trimmed.size() < 3) {
        return std::nullopt;
    } else {
        text = trimmed;
    }
    if (r) {
        if (i3 == 1) text += "/R";
        else if (i3 == 2) text += "/P";
        else return std::nullopt;
    }
    return text;
}

}  // namespace

CallsignHashes callsign_hashes(std::string_view text) {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < hash_chars; ++i) {
        const int digit = i < text.size() ? a38[text[i]] : 0;
        n = n * 38 + static_cast<std::uint64_t>(digit < 0 ? 0 : digit);
    }
    const std::uint64_t x = n * hash_multiplier;
    return {static_cast<std::uint32_t>(x >> 42), static_cast<std::uint16_t>(x >> 52)};
}

CallsignHashes CallsignHashTable::save(std::string_view text) {
    const CallsignHashes hashes = callsign_hashes(text);
    calls_.insert_or_assign(hashes.hash22, std::string(text));
    return hashes;
}

std::optional<std::string_view> CallsignHashTable::find(std::uint32_t hash22) const {
    const auto it = calls_.find(hash22);
    if (it == calls_.end()) return std::nullopt;
    return it->second;
}

std::optional<Packed28> pack28(std::string_view text, CallsignHashTable& table) {
    if (text == "DE") return Packed28{0, false};
    if (text == "QRZ") return Packed28{1, false};
    if (text == "CQ") return Packed28{2, false};
    if (text.size() < 3) return std::nullopt;
    if (text.starts_with("CQ ") && text.size() <= 7) {
        const auto cq = pack_cq(text);
        if (!cq) return std::nullopt;
        return Packed28{*cq, false};
    }
    const bool suffixed = text.ends_with("/R") || text.ends_with("/P");
    if (const auto value = standard_value(suffixed ? text.substr(0, text.size() - 2) : text)) {
        table.save(text);
        return Packed28{standard_base + *value, suffixed};
    }
    if (!hashable(text)) return std::nullopt;
    return Packed28{hashed_base + table.save(text).hash22, false};
}

std::optional<std::string> unpack28(std::uint32_t c28, bool r, unsigned i3, const CallsignHashTable& table) {
    if (c28 == 0) return "DE";
    if (c28 == 1) return "QRZ";
    if (c28 == 2) return "CQ";
    if (c28 < cq_letters_base) {
        const std::uint32_t k = c28 - cq_number_base;
        return std::string{'C', 'Q', ' ', static_cast<char>('0' + k / 100), static_cast<char>('0' + k / 10 % 10),
                           static_cast<char>('0' + k % 10)};
    }
    if (c28 < unused_base) return cq_letters(c28 - cq_letters_base);
    if (c28 < hashed_base || c28 >= c28_limit) return std::nullopt;
    if (c28 < standard_base) {
        const auto call = table.find(c28 - hashed_base);
        return call ? "<" + std::string(*call) + ">" : std::string("<...>");
    }
    return standard_text(c28 - standard_base, r, i3);
}

}  // namespace kavro::message
