#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/internal_fault.hpp"
#include "demodulate/ofdm_frame/stream_receiver.hpp"
#include "support/frame_link_support.hpp"
#include "support/test_support.hpp"

namespace {

using namespace kavro;
using Samples = std::vector<Complex>;
using fec::RxError;

constexpr std::size_t kSpan = test::frame_preamble_span;  // W

// A stream of samples with noise at a per-carrier SNR and a carrier offset applied at the end.
class Channel {
public:
    explicit Channel(unsigned seed) : rng_(seed) {}

    void silence(std::size_t n, float snr_db = 30.0f) { append(Samples(n), snr_db); }
    void append(const Samples& signal, float snr_db = 30.0f, float amplitude = 1.0f) {
        std::normal_distribution<float> normal(0.0f, amplitude * std::sqrt(test::per_carrier_noise_variance(snr_db, 64) / 2.0));
        for (const Complex& s : signal) samples_.push_back(s * amplitude + Complex{normal(rng_), normal(rng_)});
    }
    Samples output(float offset_bins) const {
        Samples out = samples_;
        for (std::size_t n = 0; n < out.size(); ++n) {
            const double phase = 2.0 * M_PI * offset_bins / 64.0 * static_cast<double>(n);
            out[n] = out[n] * Complex{static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase))};
        }
        return out;
    }
    std::size_t size() const { return samples_.size(); }
    std::mt19937& rng() { return rng_; }

private:
    std::mt19937 rng_;
    Samples samples_;
};

using Link = test::ReferenceLink;

// "ok <seq> <size>" for a frame, the error text otherwise.
std::vector<std::string> describe(const std::vector<OfdmFrameStreamDemod::Outcome>& attempts) {
    std::vector<std::string> out;
    for (const auto& a : attempts) {
        out.push_back(a ? "ok " + std::to_string(a->sequence_num) + " " + std::to_string(a->payload.size())
                        : error_message(a.error()));
    }
    return out;
}

std::vector<OfdmFrameStreamDemod::Outcome> feed_stream(OfdmFrameStreamDemod rx, const Samples& x,
                                                        const std::vector<std::size_t>& chunks) {
    std::vector<OfdmFrameStreamDemod::Outcome> all;
    test::feed_in_chunks(std::span(x), chunks, [&](std::span<const Complex> piece) {
        for (auto& a : rx.feed(piece)) all.push_back(std::move(a));
    });
    for (auto& a : rx.flush()) all.push_back(std::move(a));
    return all;
}

TEST(StreamReceiver, FrameAfterAnyLeadComesBackAndLeavesOnlyWhatFollows) {
    const Link link;
    for (const std::size_t lead : {std::size_t{0}, std::size_t{1}, std::size_t{517}, std::size_t{3000}}) {
        Channel channel(static_cast<unsigned>(lead));
        const waveform::FramePacket packet{test::random_bytes(100, channel.rng()()), static_cast<std::uint32_t>(lead),
                                           1, 3};
        channel.silence(lead);
        channel.append(link.frame(packet));
        channel.silence(50);
        auto rx = link.receiver();
        const auto attempts = rx.feed(channel.output(0.37f));
        ASSERT_EQ(attempts.size(), 1u) << lead;
        ASSERT_TRUE(attempts[0].has_value()) << lead;
        EXPECT_EQ(RxFrame(*attempts[0]).packet(), packet);
        EXPECT_EQ(rx.buffered(), 50u);
    }
}

TEST(StreamReceiver, BackToBackFramesReturnInOrderAndSplitsWait) {
    const Link link;
    Channel channel(2);
    const waveform::FramePacket first{test::random_bytes(300, channel.rng()()), 1, 2, 0};
    const waveform::FramePacket second{test::random_bytes(5, channel.rng()()), 2, 0, 0};
    channel.silence(200);
    channel.append(link.frame(first));
    channel.append(link.frame(second));
    const Samples x = channel.output(-5.3f);

    EXPECT_EQ(describe(link.receiver().feed(x)), (std::vector<std::string>{"ok 1 300", "ok 2 5"}));

    auto rx = link.receiver();
    const std::size_t split = 200 + 2000;  // inside the first frame's payload
    EXPECT_TRUE(rx.feed(std::span(x).first(split)).empty());
    EXPECT_EQ(rx.buffered(), split);
    EXPECT_EQ(describe(rx.feed(std::span(x).subspan(split))), (std::vector<std::string>{"ok 1 300", "ok 2 5"}));
    EXPECT_TRUE(rx.flush().empty());
}

TEST(StreamReceiver, FailedHeaderIsReportedAndTheStreamGoesOn) {
    const Link link;
    Channel channel(3);
    Samples broken = link.frame(waveform::FramePacket{test::random_bytes(50, channel.rng()()), 1, 1, 0});
    for (std::size_t i = kSpan + 160; i < kSpan + 400; ++i) broken[i] = broken[i] * -1.0f;
    channel.silence(100);
    channel.append(broken);
    channel.silence(300);
    channel.append(link.frame(waveform::FramePacket{test::random_bytes(60, channel.rng()()), 2, 0, 0}));
    auto rx = link.receiver();
    EXPECT_EQ(describe(rx.feed(channel.output(0.0f))), (std::vector<std::string>{"header CRC mismatch", "ok 2 60"}));
    EXPECT_EQ(rx.buffered(), 0u);
}

TEST(StreamReceiver, IdleInputKeepsTheBufferBounded) {
    const Link link;
    auto rx = link.receiver();
    Channel noise(4);
    noise.silence(200000, 10.0f);
    const Samples x = noise.output(0.0f);
    for (std::size_t at = 0; at < x.size(); at += 10000)
        EXPECT_TRUE(rx.feed(std::span(x).subspan(at, 10000)).empty());
    EXPECT_LE(rx.buffered(), 2 * kSpan);
    EXPECT_TRUE(rx.feed(Samples(50000)).empty());  // all-zero input has no segment energy
    EXPECT_LE(rx.buffered(), 2 * kSpan);

    rx.clear();
    EXPECT_EQ(rx.buffered(), 0u);
    EXPECT_TRUE(rx.flush().empty());
}

TEST(StreamReceiver, DegenerateLayoutsNeverFindAFrame) {
    const Link link;
    Channel channel(5);
    channel.append(link.frame(waveform::FramePacket{test::random_bytes(10, channel.rng()()), 1, 0, 0}));
    channel.silence(1000);
    const Samples x = channel.output(0.0f);
    for (const auto& [repeats, length] : {std::pair{1, 16}, std::pair{4, 0}}) {
        auto rx = *OfdmFrameStreamDemod::create(link.cfg, link.table.entries(), repeats, length, link.cache);
        EXPECT_TRUE(rx.feed(x).empty());
        EXPECT_LT(rx.buffered(), 300u);
    }
}

TEST(StreamReceiver, BackoffBeyondThePrefixActsAsThePrefix) {
    Link link;
    link.cfg = link.cfg.with_rx_window_backoff(1000);
    Channel channel(6);
    channel.silence(30);
    channel.append(link.frame(waveform::FramePacket{test::random_bytes(80, channel.rng()()), 5, 3, 0}));
    EXPECT_EQ(describe(link.receiver().feed(channel.output(0.37f))), (std::vector<std::string>{"ok 5 80"}));
}

// A fault inside one attempt fails that frame alone; frames before and after it come back.
TEST(StreamReceiver, InternalFaultFailsOnlyItsAttempt) {
    Link link;
    link.table = fec::McsTable{};
    link.table.add("qpsk", "ldpc", "n512r12").value();
    link.table.add("qpsk", "ldpc", "n512r12", "bch", 8).value();
    link.mod = *OfdmFrameMod::create(link.cfg, link.table.entries(), 4, 16, link.cache);
    Channel channel(7);
    for (std::uint32_t i = 0; i < 3; ++i) {
        channel.silence(100);
        channel.append(link.frame(
            waveform::FramePacket{test::random_bytes(40, channel.rng()()), i, static_cast<std::uint8_t>(i == 1), 0}));
    }
    EXPECT_THROW(link.cache->bch(20), InternalFault);
    EXPECT_EQ(describe(link.receiver().feed(channel.output(0.0f))),
              (std::vector<std::string>{"ok 0 40", "malformed frame header", "ok 2 40"}));
}

// A failure inside the body of a frame still arriving waits for that frame: reported right after
// it when the frame fails too (here cut short by the end of the stream).
TEST(StreamReceiver, FailureInsideAFailingFrameFollowsIt) {
    const Link link;
    std::mt19937 rng(12);
    Samples x = link.frame(waveform::FramePacket{test::random_bytes(1200, rng()), 1, 1, 0});
    x.resize(6000);
    Samples false_start = link.frame(waveform::FramePacket{test::random_bytes(50, rng()), 2, 1, 0});
    for (std::size_t i = kSpan + 160; i < kSpan + 400; ++i) false_start[i] = false_start[i] * -1.0f;
    std::copy_n(false_start.begin(), kSpan + 11 * 80, x.begin() + 3000);
    EXPECT_EQ(describe(feed_stream(link.receiver(), x, {500})),
              (std::vector<std::string>{"payload CRC mismatch", "header CRC mismatch"}));
}

// The result depends on the stream only, not on how it is cut into calls.
TEST(StreamReceiver, ChunkingDoesNotChangeTheResult) {
    const Link link;
    const float threshold_db[] = {10.0f, 11.5f, 14.5f, 21.0f};
    Channel channel(8);
    std::vector<waveform::FramePacket> sent;
    for (std::uint32_t i = 0; i < 8; ++i) {
        const auto entry = static_cast<std::uint8_t>(channel.rng()() % 4);
        const float amplitude = std::pow(10.0f, (static_cast<float>(channel.rng()() % 61) - 30.0f) / 200.0f);
        channel.silence(channel.rng()() % 3001, threshold_db[entry]);
        sent.push_back(waveform::FramePacket{test::random_bytes(channel.rng()() % 700, channel.rng()()), i, entry, 0});
        channel.append(link.frame(sent.back()), threshold_db[entry], amplitude);
    }
    const Samples x = channel.output(0.37f);
    const auto attempts = feed_stream(link.receiver(), x, {x.size()});
    const auto whole = describe(attempts);
    ASSERT_EQ(attempts.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ASSERT_TRUE(attempts[i].has_value()) << whole[i];
        EXPECT_EQ(attempts[i]->payload, sent[i].payload) << i;
        EXPECT_EQ(std::tie(attempts[i]->sequence_num, attempts[i]->mcs_index), std::tie(sent[i].sequence_num, sent[i].mcs_index));
    }
    EXPECT_EQ(describe(feed_stream(link.receiver(), x, {997})), whole);
    EXPECT_EQ(describe(feed_stream(link.receiver(), x, {1, 7, 4096, 150, 33})), whole);
}

}  // namespace

namespace {

// Headers that announce 256 KiB payloads which never arrive: each is given up when the next frame's
// header decodes inside its announced body, and the receiver's work and buffer stay in proportion
// to the samples fed, whatever the headers announce.
TEST(StreamReceiver, ForgedHeadersCostWorkInProportionToTheStream) {
    const Link link;
    std::mt19937 rng(11);
    Samples forged = link.frame(waveform::FramePacket{std::vector<std::uint8_t>(1 << 18), 0, 0, 0});
    forged.resize(4200);
    Samples x;
    for (int i = 0; i < 10; ++i) x.insert(x.end(), forged.begin(), forged.end());
    for (std::uint32_t seq = 1; seq <= 3; ++seq) {
        const Samples good = link.frame(waveform::FramePacket{test::random_bytes(200, rng()), seq, 1, 0});
        x.insert(x.end(), good.begin(), good.end());
    }
    x.resize(x.size() + 100);

    auto rx = link.receiver();
    std::vector<OfdmFrameStreamDemod::Outcome> attempts;
    std::size_t peak = 0;
    for (std::size_t at = 0; at < x.size(); at += 500) {
        for (auto& a : rx.feed(std::span(x).subspan(at, std::min<std::size_t>(500, x.size() - at))))
            attempts.push_back(std::move(a));
        peak = std::max(peak, rx.buffered());
    }
    std::vector<std::string> expected(10, "payload CRC mismatch");
    expected.insert(expected.end(), {"ok 1 200", "ok 2 200", "ok 3 200"});
    EXPECT_EQ(describe(attempts), expected);

    const auto& work = rx.work();
    EXPECT_LE(work.offsets_searched, x.size());
    EXPECT_LE(work.samples_derotated, x.size() + 10 * (kSpan + 11 * 80));  // a header is 11 symbols here
    EXPECT_LE(work.headers_decoded, 13u);
    EXPECT_LE(peak, 2 * forged.size() + 500);
}

}  // namespace
