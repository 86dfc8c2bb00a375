#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "demodulate/ofdm_frame/frame_body_decoder.hpp"
#include "support/frame_link_support.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;

fec::McsTable table_of(std::initializer_list<const char*> constellations) {
    fec::McsTable table;
    for (const char* constellation : constellations) EXPECT_TRUE(table.add(constellation).has_value());
    return table;
}

// A header naming the entry just past the receiver's table is malformed; the entry must not be
// read (the sanitizer build reports a read past the table).
TEST(FrameReceiverFaults, McsIndexOnePastTheTableIsAMalformedHeader) {
    const OfdmConfig cfg = test::frame_link_config();
    const fec::McsTable sender = table_of({"bpsk", "qpsk", "qam16"}), receiver = table_of({"bpsk", "qpsk"});
    const waveform::FramePacket packet{test::random_bytes(30, 5), 1, 2, 0};
    const auto frame = *OfdmFrameMod::create(cfg, sender.entries(), 4, 16, nullptr)->modulate_frame(packet, 0);
    const std::vector<Complex> body(frame.begin() + test::frame_preamble_span, frame.end());
    EXPECT_EQ(*OfdmFrameDemod::create(cfg, sender.entries(), nullptr)->decode(body), packet);
    const auto decoded = OfdmFrameDemod::create(cfg, receiver.entries(), nullptr)->decode(body);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error(), fec::RxError::MalformedHeader);
}

}  // namespace
