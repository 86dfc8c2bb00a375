#pragma once

// The COFDM frame link's reference setup, shared by its tests and benchmarks: 64-point FFT,
// 16-sample prefix, pilots at ±7 and ±21 with edge guard 4 (50 data carriers), 1 Msample/s, the
// default ladder, 4 preamble segments of 16 samples and a 64/16 training symbol.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "demodulate/ofdm_frame/stream_receiver.hpp"
#include "modulate/ofdm_frame/frame_assembly.hpp"

namespace kavro::test {

// Samples of the preamble ahead of the frame body: the repeated segments and the training symbol.
inline constexpr std::size_t frame_preamble_span = 4 * 16 + 64 + 16;

inline OfdmConfig frame_link_config(float rf_hz = 0.0f, float gain = 1.0f) {
    const std::vector<std::int32_t> pilots{-21, -7, 7, 21};
    const std::vector<Complex> values(4, Complex{1.0f, 0.0f});
    return *OfdmConfig::create(64, 16, std::span<const std::int32_t>{}, pilots, values, 1e6f, rf_hz, gain, "qpsk", 4);
}

// The reference configuration with its receive windows backed off 4 samples into the prefix.
inline OfdmConfig frame_link_rx_config() { return frame_link_config().with_rx_window_backoff(4); }

// Transmitter and receiver of the reference link over the default ladder, sharing one codec cache.
struct ReferenceLink {
    OfdmConfig cfg = frame_link_rx_config();
    fec::McsTable table = fec::McsTable::default_ladder();
    std::shared_ptr<fec::CodecCache> cache = std::make_shared<fec::CodecCache>();
    OfdmFrameMod mod = *OfdmFrameMod::create(cfg, table.entries(), 4, 16, cache);

    OfdmFrameStreamDemod receiver() const { return *OfdmFrameStreamDemod::create(cfg, table.entries(), 4, 16, cache); }
    std::vector<Complex> frame(const waveform::FramePacket& packet) const { return *mod.modulate_frame(packet, 0); }
};

}  // namespace kavro::test
