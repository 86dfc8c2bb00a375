#include "fec/conv.hpp"

#include "core/internal_fault.hpp"
#include "fec/conv_tables.hpp"

namespace kavro::fec {

namespace {

const PuncturePattern& pattern(PunctureRate rate) {
    const auto index = static_cast<std::size_t>(rate);
    if (index >= puncture_patterns.size()) internal_fault("unknown puncture rate");
    return puncture_patterns[index];
}

}  // namespace

unsigned conv_constraint_length(ConvKind kind) { return generators(kind).constraint_length; }

std::vector<std::uint8_t> conv_encode(std::span<const std::uint8_t> bits, ConvKind kind, PunctureRate rate) {
    const ConvGenerators& g = generators(kind);
    const PuncturePattern& pat = pattern(rate);
    const unsigned k = g.constraint_length;
    const std::size_t steps = bits.size() + k - 1;
    std::vector<std::uint8_t> out;
    out.reserve(conv_coded_length(bits.size(), kind, rate));
    unsigned state = 0;
    std::size_t p = 0;
    for (std::size_t i = 0; i < steps; ++i) {
        const unsigned b = i < bits.size() ? (bits[i] & 1u) : 0u;
        const unsigned w = state | (b << (k - 1));
        if (pat.x[p]) out.push_back(static_cast<std::uint8_t>(parity(w & g.out0)));
        if (pat.y[p]) out.push_back(static_cast<std::uint8_t>(parity(w & g.out1)));
        state = w >> 1;
        if (++p == pat.period) p = 0;
    }
    return out;
}

std::size_t conv_coded_length(std::size_t message_bits, ConvKind kind, PunctureRate rate) {
    const PuncturePattern& pat = pattern(rate);
    const std::size_t steps = message_bits + generators(kind).constraint_length - 1;
    std::size_t per_period = 0;
    for (unsigned p = 0; p < pat.period; ++p) per_period += pat.x[p] + pat.y[p];
    std::size_t length = steps / pat.period * per_period;
    for (unsigned p = 0; p < steps % pat.period; ++p) length += pat.x[p] + pat.y[p];
    return length;
}

std::vector<float> conv_depuncture(std::span<const float> llrs, ConvKind kind, PunctureRate rate,
                                   std::size_t message_bits) {
    const PuncturePattern& pat = pattern(rate);
    const std::size_t steps = message_bits + generators(kind).constraint_length - 1;
    std::vector<float> soft(2 * steps, 0.0f);
    std::size_t next = 0;
    std::size_t p = 0;
    for (std::size_t i = 0; i < steps && next < llrs.size(); ++i) {
        if (pat.x[p] && next < llrs.size()) soft[2 * i] = llrs[next++];
        if (pat.y[p] && next < llrs.size()) soft[2 * i + 1] = llrs[next++];
        if (++p == pat.period) p = 0;
    }
    return soft;
}

std::vector<std::uint8_t> conv_decode(std::span<const float> llrs, ConvKind kind, PunctureRate rate,
                                      std::size_t message_bits) {
    const std::vector<float> soft = conv_depuncture(llrs, kind, rate, message_bits);
    std::vector<std::uint8_t> decided(soft.size() / 2);
    ViterbiDecoder decoder(kind);
    decoder.decode(soft, decided);
    decided.resize(message_bits);
    return decided;
}

}  // namespace kavro::fec
