#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/complex.hpp"
#include "waveform/dvb_t_params.hpp"
#include "waveform/dvb_t_tps.hpp"

// Receiver of one preamble-less DVB-T 2K frame: guard-interval timing and fractional carrier
// offset, an optional whole-carrier offset search, removal of the offset, one FFT per symbol
// (optionally moved earlier into the prefix), TPS bits from the raw bins, per-symbol pilot
// equalisation, soft demapping weighted by the channel, the DVB-T decoding chain, removal of the
// energy dispersal and of the packet framing. The grids, equaliser, FFT stage, codec cache and
// buffers are built by the first decode and kept for the next ones; no result depends on what an
// earlier call decoded.
//
// Equalisation: each symbol's channel is estimated from its own pilots and interpolated linearly
// between them in carrier order (across the carrier at DC too), after the bins are turned so that
// the delay centre of the channel's paths, measured from the pilots 12 carriers apart, sits at 0.
// Each cell's soft values are multiplied by its carrier's estimated |H|² over the symbol's mean,
// so that a carrier in an echo's notch, equalised by a near-zero estimate, counts for little.
// Paths more than about 85 samples from that centre alias between the pilots and cannot be
// equalised.
//
// The fractional offset is measured from the cyclic prefixes and is unambiguous within half a
// carrier spacing; a larger one is folded into that range unless the whole-carrier search runs.

namespace kavro {

enum class DvbTRxError : std::uint8_t { GiAcquisition = 0, TooFewSamples = 1, TpsDecode = 2, PayloadDecode = 3 };

std::string_view dvb_t_rx_error_text(DvbTRxError error);

struct DvbTRxFrame {
    std::optional<std::size_t> timing;            // first prefix sample of symbol 0
    std::optional<float> cfo_hz;                  // fractional estimate plus whole bins, at 1 201 173 Hz
    std::optional<float> gi_metric;
    std::optional<std::int32_t> integer_cfo_bins;  // present when the search ran
    std::optional<float> evm_db;                  // diagnostics only
    std::optional<float> pre_fec_ber;             // diagnostics only
    std::optional<float> pre_outer_ratio;         // diagnostics only
    std::optional<std::uint32_t> chain_stats;     // the chain's outer corrections
    bool outer_ok = false;
    std::vector<std::uint8_t> payload;
    waveform::TpsWord tps;
    std::vector<std::uint8_t> tps_bits;           // one TPS bit per symbol, as read
};

// What a failed decode keeps. Once the symbol loop has run, the timing, the carrier offset removed
// (as the frame reports it), one TPS bit per symbol and, if a block decoded, its word, block index
// and whether its corrected s1..s22 were a sync word and the length indicator; a stream receiver
// uses them to find frame starts again.
struct DvbTRxFailure {
    DvbTRxError error = DvbTRxError::GiAcquisition;
    std::optional<std::size_t> timing;
    std::optional<float> cfo_hz;
    std::vector<std::uint8_t> tps_bits;
    std::optional<waveform::TpsWord> tps;
    std::optional<std::size_t> tps_block;
    bool tps_sync_ok = false;
};

// The ValueError text of a failed decode: its error's text.
std::string error_message(const DvbTRxFailure& failure);

class DvbTFrameDemod {
public:
    explicit DvbTFrameDemod(const waveform::DvbTFrameParams& params);
    // A copy takes the settings and builds its own workspace when it first decodes.
    DvbTFrameDemod(const DvbTFrameDemod& other);
    DvbTFrameDemod& operator=(const DvbTFrameDemod& other);
    DvbTFrameDemod(DvbTFrameDemod&&) noexcept;
    DvbTFrameDemod& operator=(DvbTFrameDemod&&) noexcept;
    ~DvbTFrameDemod();

    const waveform::DvbTFrameParams& params() const { return params_; }
    std::size_t rx_window_backoff() const { return rx_window_backoff_; }
    bool integer_cfo_correction() const { return integer_cfo_correction_; }
    bool pre_fec_diagnostics() const { return pre_fec_diagnostics_; }

    // Builders: a copy with one field replaced. The back-off is stored as given; decode uses at
    // most the prefix length.
    DvbTFrameDemod with_rx_window_backoff(std::size_t backoff) const;
    DvbTFrameDemod with_integer_cfo_correction(bool on) const;
    DvbTFrameDemod with_pre_fec_diagnostics(bool on) const;

    // iq starts at or before the frame's first prefix sample; n_symbols is the frame's symbol count
    // and payload_len the payload's length before packetising. The TPS word is only reported:
    // decoding uses this demodulator's parameters. Uses the workspace: one caller at a time.
    std::expected<DvbTRxFrame, DvbTRxFailure> decode(std::span<const Complex> iq, std::uint64_t n_symbols,
                                                     std::uint64_t payload_len);

private:
    struct Workspace;

    waveform::DvbTFrameParams params_;
    std::size_t rx_window_backoff_ = 0;
    bool integer_cfo_correction_ = false;
    bool pre_fec_diagnostics_ = false;
    std::unique_ptr<Workspace> workspace_;
};

}  // namespace kavro
