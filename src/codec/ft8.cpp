#include "codec/ft8.hpp"

#include <algorithm>
#include <cmath>

#include "codec/crc.hpp"
#include "codec/ft4.hpp"
#include "fec/bit_packing.hpp"

namespace kavro::codec {

std::string error_message(const FtLengthError& error) {
    const bool ft8 = error.mode == FtMode::Ft8;
    const std::string codec = ft8 ? "Ft8Codec" : "Ft4Codec";
    const std::string given = std::to_string(error.given);
    const std::string needed = std::to_string(error.needed);
    switch (error.call) {
        case FtLengthError::Call::Encode: return codec + ".encode: expected 10-byte payload, got " + given;
        case FtLengthError::Call::DecodeHard:
            return codec + ".decode_hard: expected " + needed + " tones, got " + given;
        case FtLengthError::Call::DecodeSoft: return codec + ".decode_soft: expected " + needed + " LLRs, got " + given;
        case FtLengthError::Call::Modulate:
            return std::string(ft8 ? "Ft8Mod" : "Ft4Mod") + ".modulate: expected " + needed + " tone indices, got " +
                   given;
        case FtLengthError::Call::Demodulate: break;
    }
    return std::string(ft8 ? "Ft8Demod" : "Ft4Demod") + ".demodulate: input too short (" + given + " < " + needed +
           ")";
}

namespace tone_code {

namespace {

bool codeword_bit(std::span<const std::uint8_t, 22> codeword, std::size_t i) {
    return (codeword[i / 8] >> (7 - i % 8)) & 1u;
}

}  // namespace

void encode(const Payload& message, const ToneFrame& frame, std::span<std::uint8_t> tones) {
    std::array<std::uint8_t, 12> protected_message{};
    std::copy(message.begin(), message.end(), protected_message.begin());
    protected_message[9] &= 0xF8;
    put_crc14(protected_message, crc14(protected_message));
    std::array<std::uint8_t, 22> codeword;
    ldpc_encode(protected_message, codeword);
    for (std::size_t i = 0; i < frame.data_tones; ++i) {
        unsigned v = 0;
        for (std::size_t b = 0; b < frame.bits_per_tone; ++b)
            v = (v << 1) | codeword_bit(codeword, frame.bits_per_tone * i + b);
        tones[i] = frame.gray_map[v];
    }
}

std::array<float, ldpc_n> hard_llrs(std::span<const std::uint8_t> tones, const ToneFrame& frame) {
    std::array<float, ldpc_n> llr;
    const std::size_t bits = frame.bits_per_tone;
    for (std::size_t i = 0; i < frame.data_tones; ++i) {
        const unsigned v = frame.gray_inverse[tones[i] & (frame.alphabet - 1)];
        for (std::size_t b = 0; b < bits; ++b) llr[bits * i + b] = (v >> (bits - 1 - b)) & 1u ? -10.0f : 10.0f;
    }
    return llr;
}

std::optional<Payload> decode(std::span<const float, ldpc_n> llr) {
    if (std::any_of(llr.begin(), llr.end(), [](float x) { return std::isnan(x); })) return std::nullopt;
    std::array<std::uint8_t, ldpc_n> hard{};
    if (ldpc_decode_soft(llr, hard) != 0) return std::nullopt;
    if (std::all_of(hard.begin(), hard.end(), [](std::uint8_t bit) { return bit == 0; })) return std::nullopt;
    const std::vector<std::uint8_t> packed = fec::pack_bits_padded(std::span(hard).first(ldpc_k));
    std::array<std::uint8_t, 12> cleared;
    std::copy_n(packed.begin(), cleared.size(), cleared.begin());
    const std::uint16_t received = get_crc14(cleared);
    cleared[9] &= 0xF8;
    cleared[10] = 0;
    cleared[11] = 0;
    if (crc14(cleared) != received) return std::nullopt;
    Payload payload;
    std::copy_n(cleared.begin(), payload.size(), payload.begin());
    return payload;
}

}  // namespace tone_code

namespace {

// The message as sent of a payload, and the payload of a message as sent (the same XOR).
template <FtMode M>
Payload as_sent(Payload message) {
    if constexpr (M == FtMode::Ft4)
        for (std::size_t i = 0; i < message.size(); ++i) message[i] ^= ft4_xor_vector[i];
    return message;
}

}  // namespace

template <FtMode M, const ToneFrame& Frame>
std::expected<std::vector<std::uint8_t>, FtLengthError> ToneCodec<M, Frame>::encode(
    std::span<const std::uint8_t> payload) {
    Payload p;
    if (payload.size() != p.size())
        return std::unexpected(FtLengthError{M, FtLengthError::Call::Encode, p.size(), payload.size()});
    std::copy(payload.begin(), payload.end(), p.begin());
    std::vector<std::uint8_t> tones(frame.data_tones);
    encode_into(p, std::span<std::uint8_t, Frame.data_tones>(tones));
    return tones;
}

template <FtMode M, const ToneFrame& Frame>
void ToneCodec<M, Frame>::encode_into(const Payload& payload, std::span<std::uint8_t, Frame.data_tones> tones) {
    tone_code::encode(as_sent<M>(payload), frame, tones);
}

template <FtMode M, const ToneFrame& Frame>
std::expected<std::optional<Payload>, FtLengthError> ToneCodec<M, Frame>::decode_hard(
    std::span<const std::uint8_t> tones) {
    if (tones.size() != frame.data_tones)
        return std::unexpected(FtLengthError{M, FtLengthError::Call::DecodeHard, frame.data_tones, tones.size()});
    return decode_llr(tone_code::hard_llrs(tones, frame));
}

template <FtMode M, const ToneFrame& Frame>
std::expected<std::optional<Payload>, FtLengthError> ToneCodec<M, Frame>::decode_soft(std::span<const float> llr) {
    if (llr.size() != ldpc_n)
        return std::unexpected(FtLengthError{M, FtLengthError::Call::DecodeSoft, ldpc_n, llr.size()});
    return decode_llr(llr.first<ldpc_n>());
}

template <FtMode M, const ToneFrame& Frame>
std::optional<Payload> ToneCodec<M, Frame>::decode_llr(std::span<const float, ldpc_n> llr) {
    const std::optional<Payload> message = tone_code::decode(llr);
    if (!message) return std::nullopt;
    return as_sent<M>(*message);
}

template class ToneCodec<FtMode::Ft8, ft8_frame>;
template class ToneCodec<FtMode::Ft4, ft4_frame>;

}  // namespace kavro::codec
