#include "codec/ft4.hpp"

#include <algorithm>

namespace kavro {

namespace {

Payload scrambled(Payload message) {
    for (std::size_t i = 0; i < message.size(); ++i) message[i] ^= FT4_XOR_VECTOR[i];
    return message;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, FtLengthError> Ft4Codec::encode(std::span<const std::uint8_t> payload) {
    Payload p;
    if (payload.size() != p.size())
        return std::unexpected(
            FtLengthError{FtLengthError::Mode::Ft4, FtLengthError::Call::Encode, p.size(), payload.size()});
    std::copy(payload.begin(), payload.end(), p.begin());
    std::vector<std::uint8_t> tones(frame.data_tones);
    encode_into(p, std::span<std::uint8_t, 87>(tones));
    return tones;
}

void Ft4Codec::encode_into(const Payload& payload, std::span<std::uint8_t, 87> tones) {
    Payload message = payload;
    message[9] &= 0xF8;
    tone_code::encode(scrambled(message), frame, tones);
}

std::expected<std::optional<Payload>, FtLengthError> Ft4Codec::decode_hard(std::span<const std::uint8_t> tones) {
    if (tones.size() != frame.data_tones)
        return std::unexpected(
            FtLengthError{FtLengthError::Mode::Ft4, FtLengthError::Call::DecodeHard, frame.data_tones, tones.size()});
    return decode_llr(tone_code::hard_llrs(tones, frame));
}

std::expected<std::optional<Payload>, FtLengthError> Ft4Codec::decode_soft(std::span<const float> llr) {
    if (llr.size() != codec::LDPC_N)
        return std::unexpected(
            FtLengthError{FtLengthError::Mode::Ft4, FtLengthError::Call::DecodeSoft, codec::LDPC_N, llr.size()});
    return decode_llr(llr.first<codec::LDPC_N>());
}

std::optional<Payload> Ft4Codec::decode_llr(std::span<const float, codec::LDPC_N> llr) {
    const std::optional<Payload> message = tone_code::decode(llr);
    if (!message) return std::nullopt;
    return scrambled(*message);
}

}  // namespace kavro
