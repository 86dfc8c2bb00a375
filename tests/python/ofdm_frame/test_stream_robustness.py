"""OfdmFrameStreamDemod under hostile streams: large FFTs with short prefixes, extreme amplitudes,
headers that announce more than ever arrives."""

import numpy as np
import pytest

import kavro_sdr
import support

QPSK_ENTRY = 1


small_config = support.frame_link_config


def large_config(n_fft, cp_len):
    empty = np.zeros(0, np.int32)
    return kavro_sdr.OfdmConfig(n_fft, cp_len, empty, empty, np.zeros(0, np.complex64), 1e6, 0.0, 1.0, "qpsk",
                                edge_guard=64)


def packets(results):
    return [(f.sequence_num, bytes(f.payload)) for f in results]


def with_offset(x, bins, n_fft, phase):
    return (x * np.exp(1j * (2 * np.pi * bins / n_fft * np.arange(x.size) + phase))).astype(np.complex64)


@pytest.mark.parametrize("n_fft, cp_len", [(1024, 32), (1024, 16), (2048, 32), (4096, 16)])
def test_large_fft_with_short_prefix_is_found(n_fft, cp_len):
    """The one-symbol header's fill makes a time-domain peak near the preamble; every frame must
    still be found, with noise at 20 dB per sample and a fractional carrier offset, and nothing
    else reported."""
    rng = np.random.default_rng(n_fft + cp_len)
    cfg, ladder = large_config(n_fft, cp_len), kavro_sdr.McsTable.default_ladder()
    mod = kavro_sdr.OfdmFrameMod(cfg, ladder)
    segments, sent = [], []
    for seq in range(20):
        payload = support.random_bytes(rng, int(rng.integers(0, 400)))
        segments += [np.zeros(int(rng.integers(0, 2000))), mod.modulate_frame(kavro_sdr.FramePacket(payload, seq, QPSK_ENTRY))]
        sent.append((seq, bytes(payload)))
    segments.append(np.zeros(2 * n_fft))
    x = np.concatenate(segments)
    power = np.mean(np.abs(segments[1]) ** 2)
    x = x + support.complex_noise(rng, x.size, power / 100)
    x = with_offset(x, 0.37, n_fft, rng.uniform(0, 2 * np.pi))
    results = kavro_sdr.OfdmFrameStreamDemod(cfg, ladder).feed_with_errors(x)
    assert [(f.sequence_num, bytes(f.payload)) if f else error for f, error in results] == sent


@pytest.mark.parametrize("scale", [1e-30, 1e-12, 1e-3, 1.0, 2.0 ** 31, 1e15, 1e25, 1e35])
def test_clean_stream_decodes_at_any_scale(scale):
    cfg, ladder = small_config(), kavro_sdr.McsTable.default_ladder()
    mod = kavro_sdr.OfdmFrameMod(cfg, ladder)
    rng = np.random.default_rng(7)
    segments, sent = [], []
    for entry in range(4):
        payload = support.random_bytes(rng, 100)
        segments += [np.zeros(150, np.complex64), mod.modulate_frame(kavro_sdr.FramePacket(payload, entry, entry))]
        sent.append((entry, bytes(payload)))
    x = np.concatenate(segments + [np.zeros(100, np.complex64)])
    x = with_offset(x, 0.37, 64, 1.0) * np.float32(scale)
    results = kavro_sdr.OfdmFrameStreamDemod(cfg, ladder).feed_with_errors(x)
    assert [(f.sequence_num, bytes(f.payload)) if f else error for f, error in results] == sent


class Link:
    def __init__(self):
        self.cfg, self.ladder = small_config(), kavro_sdr.McsTable.default_ladder()
        self.mod = kavro_sdr.OfdmFrameMod(self.cfg, self.ladder)

    def receiver(self):
        return kavro_sdr.OfdmFrameStreamDemod(self.cfg, self.ladder)

    def frame(self, payload, seq, entry=QPSK_ENTRY):
        return self.mod.modulate_frame(kavro_sdr.FramePacket(payload, seq, entry))


@pytest.fixture(scope="module")
def link():
    return Link()


def outcomes(results):
    return [(e if f is None else f.sequence_num) for f, e in results]


def test_header_announcing_a_long_payload_does_not_hold_back_the_next_frame(link, rng):
    fake = link.frame(np.zeros(1 << 20, np.uint8), 0, 0)[:3000]
    payload = support.random_bytes(rng, 80)
    x = np.concatenate([fake, link.frame(payload, 9), np.zeros(200, np.complex64)])
    assert packets(link.receiver().feed(x)) == [(9, bytes(payload))]
    assert outcomes(link.receiver().feed_with_errors(x)) == ["payload CRC mismatch", 9]


@pytest.mark.parametrize("plan", ["whole", 997, "random"])
def test_frame_cut_short_is_given_up_and_the_frames_after_it_return(link, plan):
    rng = np.random.default_rng(31)
    payloads = [support.random_bytes(rng, n) for n in (300, 1200, 40, 500)]
    frames = [link.frame(p, seq) for seq, p in enumerate(payloads)]
    cut = frames[1][:frames[1].size // 3]
    gap = np.zeros(300, np.complex64)
    x = np.concatenate([frames[0], gap, cut, gap, frames[2], gap, frames[3], gap, cut])
    rx = link.receiver()
    results = sum(support.feed_in_chunks(rx.feed, x, support.chunk_sizes(x.size, plan, rng)), [])
    assert packets(results) == [(seq, bytes(payloads[seq])) for seq in (0, 2, 3)]
    # The second cut frame ends the stream: flush gives it up, and frames fed afterwards return.
    assert rx.flush() == [] and rx.buffered < cut.size
    assert packets(rx.feed(np.concatenate([frames[2], gap]))) == [(2, bytes(payloads[2]))]


@pytest.mark.parametrize("entry", range(4))
def test_frame_missing_its_tail_does_not_cost_the_next(link, entry):
    """A frame cut short (at a symbol boundary or inside a symbol, by up to a third of it) may still
    decode, and the next frame then starts inside its announced body: the cut frame decodes or fails
    its payload, and the two after it come back, in any chunking."""
    decodes = {(0, 8), (0, 400), (1, 8), (1, 400), (2, 8), (3, 8)}
    rng = np.random.default_rng(40 + entry)
    payloads = [support.random_bytes(rng, 100) for _ in range(3)]
    frames = [link.frame(p, seq, entry) for seq, p in enumerate(payloads)]
    for cut in (8, 5 * 80, frames[0].size // 3):
        x = np.concatenate([frames[0][:-cut], frames[1], frames[2], np.zeros(300, np.complex64)])
        expected = [(0, bytes(payloads[0])) if (entry, cut) in decodes else "payload CRC mismatch"]
        expected += [(seq, bytes(payloads[seq])) for seq in (1, 2)]
        for plan in ("whole", 997, "random"):
            rx = link.receiver()
            results = sum(support.feed_in_chunks(rx.feed_with_errors, x, support.chunk_sizes(x.size, plan, rng)), [])
            results += [(f, None) for f in rx.flush()]
            assert [(f.sequence_num, bytes(f.payload)) if f else e for f, e in results] == expected, (cut, plan)


@pytest.mark.parametrize("level", [2.0, 1e15, 1e30])
def test_burst_ending_before_a_frame_costs_it_nothing(link, rng, level):
    """A burst that ends before a frame's first sample, of any length and level (its power may
    overflow single precision, and constant samples repeat as a preamble does), neither hides the
    frame nor costs it its start, in any chunking."""
    payload = support.random_bytes(rng, 100)
    frame = link.frame(payload, 5, 0)
    lead = 3000
    for length, gap in ((4, 50), (500, 0), (500, 400)):
        x = np.concatenate([np.zeros(lead, np.complex64), frame, np.zeros(3000, np.complex64)])
        x[lead - gap - length:lead - gap] = level
        for plan in ("whole", 997, "random"):
            rx = link.receiver()
            results = sum(support.feed_in_chunks(rx.feed, x, support.chunk_sizes(x.size, plan, rng)), [])
            assert packets(results + rx.flush()) == [(5, bytes(payload))], (length, gap, plan)


@pytest.mark.parametrize("spike", [1e20, 1e22, 1e30, 3e38, np.inf, np.nan])
def test_one_wild_sample_near_a_frame_costs_nothing(link, rng, spike):
    """A lone huge or non-finite sample in the silence just before or after a frame neither hides
    the frame nor spoils it, in any chunking."""
    payload = support.random_bytes(rng, 100)
    frame = link.frame(payload, 5)
    lead = 301
    for at in (0, lead - 20, lead - 1, lead + frame.size, lead + frame.size + 100):
        x = np.concatenate([np.zeros(lead, np.complex64), frame, np.zeros(3000, np.complex64)])
        x[at] = spike
        for plan in ("whole", 100, "random"):
            rx = link.receiver()
            results = sum(support.feed_in_chunks(rx.feed_with_errors, x, support.chunk_sizes(x.size, plan, rng)), [])
            assert outcomes(results) == [5] and bytes(results[0][0].payload) == bytes(payload), (at, plan)
            assert rx.flush() == []


def test_forged_headers_cost_memory_in_proportion_to_the_stream(link, rng):
    forged = link.frame(np.zeros(1 << 18, np.uint8), 0, 0)[:4200]
    good = [support.random_bytes(rng, 200) for _ in range(3)]
    frames = [link.frame(p, seq + 1) for seq, p in enumerate(good)]
    x = np.concatenate([forged] * 10 + frames + [np.zeros(100, np.complex64)])
    rx, results, peak = link.receiver(), [], 0
    for at in range(0, x.size, 500):
        results += rx.feed_with_errors(x[at:at + 500])
        peak = max(peak, rx.buffered)
    assert outcomes(results) == ["payload CRC mismatch"] * 10 + [1, 2, 3]
    assert peak <= 2 * forged.size + 500


def test_noise_and_a_steady_tone_start_no_attempt():
    """Noise repeats itself over a short preamble now and then, and a tone repeats everywhere; neither
    is a frame, so neither may be reported as a failed one."""
    cfg, ladder = small_config(), kavro_sdr.McsTable.default_ladder()
    n = support.complex_noise(np.random.default_rng(2), 500_000, 1.0)
    tone = (n + 3 * np.exp(2j * np.pi * 0.2 * np.arange(n.size))).astype(np.complex64)
    for repeats, length, x in ((2, 16, n), (3, 8, n), (4, 16, tone)):
        rx = kavro_sdr.OfdmFrameStreamDemod(cfg, ladder, repeats, length)
        assert rx.feed_with_errors(x) == [] and rx.flush() == [], (repeats, length)


def test_tone_ending_before_a_frame_costs_it_nothing(link, rng):
    payload = support.random_bytes(rng, 100)
    for gap, level, cycles in ((0, 0.3, 0.11), (10, 0.3, 0.11), (10, 3.0, 0.2)):
        x = np.concatenate([np.zeros(3000, np.complex64), link.frame(payload, 1, 0), np.zeros(2000, np.complex64)])
        x[3000 - gap - 1000:3000 - gap] = level * np.exp(2j * np.pi * cycles * np.arange(1000))
        rx = link.receiver()
        results = rx.feed_with_errors(x)
        assert outcomes(results) == [1] and bytes(results[0][0].payload) == bytes(payload), gap
        assert rx.flush() == []


@pytest.mark.parametrize("under_db", [10, 6])
def test_steady_tone_under_frames_costs_at_most_one_in_ten(link, under_db):
    """Against the batch decoder handed each frame's start: the stream may lose one frame in ten."""
    r = np.random.default_rng(5)
    batch = stream = 0
    for i in range(10):
        f = link.frame(r.integers(0, 256, 200).astype(np.uint8), i, i % 4)
        a = np.sqrt(np.mean(np.abs(f) ** 2))
        x = np.concatenate([np.zeros(500, np.complex64), f, np.zeros(500, np.complex64)])
        x = (x + 10 ** (-under_db / 20) * a * np.exp(2j * np.pi * 0.2 * np.arange(x.size))
             + 0.07 * a * (r.standard_normal(x.size) + 1j * r.standard_normal(x.size))).astype(np.complex64)
        try:
            batch += kavro_sdr.OfdmFrameDemod(link.cfg, link.ladder).decode(x[500 + 144:]) is not None
        except ValueError:
            pass
        rx = link.receiver()
        stream += len(rx.feed(x) + rx.flush())
    assert stream >= batch - 1


def test_frame_cut_by_more_than_a_third_keeps_the_next(link):
    """The first frame, one byte and mostly filler, decodes from its first 1,180 samples (38% of it
    is missing); the next starts inside its announced body and must come back, in every chunking,
    each frame from the call that brings its last sample."""
    frames = [link.frame(np.arange(n, dtype=np.uint8), seq, 0) for seq, n in ((0, 1), (1, 20), (2, 20))]
    x = np.concatenate([frames[0][:1180], frames[1], frames[2], np.zeros(300, np.complex64)])
    for plan in ("whole", 997, 100):
        rx = link.receiver()
        results = sum(support.feed_in_chunks(rx.feed_with_errors, x, support.chunk_sizes(x.size, plan)), [])
        assert outcomes(results) + [f.sequence_num for f in rx.flush()] == [0, 1, 2], plan
    rx = link.receiver()
    calls = support.feed_in_chunks(rx.feed_with_errors, x, support.chunk_sizes(x.size, 500))
    ends = (frames[0].size, 1180 + frames[1].size, 1180 + frames[1].size + frames[2].size)
    assert [(i, outcome) for i, results in enumerate(calls) for outcome in outcomes(results)] == [
        (end // 500, seq) for seq, end in enumerate(ends)]
