#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "demodulate/ofdm_frame/frame_body_decoder.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;

McsTable table_of(std::initializer_list<const char*> constellations) {
    McsTable table;
    for (const char* constellation : constellations) EXPECT_TRUE(table.add(constellation).has_value());
    return table;
}

// A header naming the entry just past the receiver's table is malformed; the entry must not be
// read (the sanitizer build reports a read past the table).
TEST(FrameReceiverFaults, McsIndexOnePastTheTableIsAMalformedHeader) {
    const std::vector<std::int32_t> pilots{-21, -7, 7, 21};
    const std::vector<Complex> values(4, Complex{1.0f, 0.0f});
    const OfdmConfig cfg = *OfdmConfig::create(64, 16, std::span<const std::int32_t>{}, pilots, values, 1e6f, 0.0f, 1.0f, "qpsk", 4);
    const McsTable sender = table_of({"bpsk", "qpsk", "qam16"}), receiver = table_of({"bpsk", "qpsk"});
    const FramePacket packet{test::random_bytes(30, 5), 1, 2, 0};
    const auto frame = *OfdmFrameMod::create(cfg, sender.entries(), 4, 16, nullptr)->modulate_frame(packet, 0);
    const std::vector<Complex> body(frame.begin() + 64 + 80, frame.end());
    EXPECT_EQ(*OfdmFrameDemod::create(cfg, sender.entries(), nullptr)->decode(body), packet);
    const auto decoded = OfdmFrameDemod::create(cfg, receiver.entries(), nullptr)->decode(body);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error(), fec::RxError::MalformedHeader);
}

}  // namespace
