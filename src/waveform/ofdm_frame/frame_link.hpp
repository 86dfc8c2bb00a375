#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/constellation.hpp"
#include "fec/chain/chain_settings.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/mcs_table.hpp"
#include "fec/scrambler.hpp"
#include "multicarrier/ofdm_config.hpp"

// What both ends of the COFDM frame link agree on: the configuration and MCS entries a frame
// object holds, the checks they pass, the configuration each section's symbols are built and read
// with, and the payload chain a ladder entry selects. The header's layout and code are in
// frame_header.hpp beside this file.

namespace kavro::waveform {

// Why a frame object cannot be built or a frame cannot be sent.
struct FrameLinkError {
    enum class Kind : std::uint8_t {
        EmptyTable,
        NotBaseband,          // rf_hz
        CpLongerThanFft,      // a = cp_len, b = n_fft
        PreambleTooLong,      // a = num_repeats, b = repeat_len, c = n_fft, d = cp_len
        Lfsr,                 // lfsr
        InterleaverZeroSize,
        McsIndexOutsideTable,
        PayloadTooLong,       // a = payload bytes
    };
    Kind kind = Kind::EmptyTable;
    float rf_hz = 0.0f;
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    fec::LfsrError lfsr = fec::LfsrError::WidthOutOfRange;
};

std::string error_message(const FrameLinkError& error);

// The longest preamble span (repeated segments plus training symbol) a frame object accepts.
inline constexpr std::uint64_t max_preamble_span = std::uint64_t{1} << 24;

// What the three frame objects hold: a copy of the configuration and of the table's entries, and
// a counted handle on a codec cache that other objects may share.
struct FrameLink {
    OfdmConfig cfg;
    std::vector<fec::Mcs> entries;
    std::shared_ptr<fec::CodecCache> cache;

    // Checks, first failure wins: a non-empty table; rf_hz = 0; the preamble span
    // num_repeats·repeat_len + n_fft + cp_len at most 2^24 (the receivers' layouts alike); an
    // LFSR scrambler the scrambler accepts; non-zero interleaver dimensions. A null cache gets a
    // private one.
    static std::expected<FrameLink, FrameLinkError> create(const OfdmConfig& cfg, std::span<const fec::Mcs> entries,
                                                           std::size_t num_repeats, std::size_t repeat_len,
                                                           std::shared_ptr<fec::CodecCache> cache);
};

// The per-section configuration of frame assembly and the body decoder: the link's plan, fs,
// rf_hz, gain and receive back-off with the given constellation, every coding setting default.
OfdmConfig symbol_config(const OfdmConfig& cfg, ConstellationOrder constellation);

// The payload chain of a frame sent with `entry`: the entry's outer and inner codes with the
// configuration's payload CRC, interleavers, scrambler and its position, and LDPC decode rule.
fec::ChainSettings payload_chain_settings(const OfdmConfig& cfg, const fec::Mcs& entry);

}  // namespace kavro::waveform
