"""OfdmFrameStreamDemod: frames found in a noisy stream with a carrier offset, fed in any chunks."""

import numpy as np
import pytest

import kavro_sdr
import support

N_FFT = 64
THRESHOLD_DB = [10.0, 11.5, 14.5, 21.0]  # per-carrier Es/N0 for 1% frame errors, ladder entries 0..3


class Link:
    def __init__(self):
        self.cfg = support.frame_link_config().with_rx_window_backoff(4)
        self.ladder = kavro_sdr.McsTable.default_ladder()
        self.cache = kavro_sdr.CodecCache()
        self.mod = kavro_sdr.OfdmFrameMod(self.cfg, self.ladder, cache=self.cache)

    def receiver(self):
        return kavro_sdr.OfdmFrameStreamDemod(self.cfg, self.ladder, cache=self.cache)

    def frame(self, payload, seq, entry=1):
        return self.mod.modulate_frame(kavro_sdr.FramePacket(payload, seq, entry)).astype(np.complex128)


@pytest.fixture(scope="module")
def link():
    return Link()


def noise(rng, n, snr_db, amplitude=1.0):
    return support.complex_noise(rng, n, amplitude ** 2 * support.per_carrier_noise_variance(snr_db, N_FFT))


def with_offset(x, bins, phase=0.0):
    return (x * np.exp(1j * (2 * np.pi * bins / N_FFT * np.arange(x.size) + phase))).astype(np.complex64)


def frames(results):
    return [(f.sequence_num, bytes(f.payload)) for f in results]


def test_new_receiver_and_short_input(link):
    rx = link.receiver()
    assert rx.buffered == 0 and rx.feed(np.zeros(0, np.complex64)) == [] and rx.flush() == []
    assert rx.feed(np.ones(200, np.complex64)) == [] and rx.buffered == 200  # below one attempt's need
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        rx.feed(np.zeros(10, np.complex64)[::2])
    assert rx.buffered == 200
    rx.clear()
    assert rx.buffered == 0 and rx.flush() == []


@pytest.mark.parametrize("lead", [0, 1, 999, 3000])
def test_one_frame_after_noise(link, rng, lead):
    payload = support.random_bytes(rng, 100)
    x = np.concatenate([noise(rng, lead, 20), link.frame(payload, lead) + noise(rng, 3504, 20), noise(rng, 40, 20)])
    rx = link.receiver()
    received = rx.feed(with_offset(x, 0.37, phase=rng.uniform(0, 2 * np.pi)))
    assert frames(received) == [(lead, bytes(payload))]
    assert received[0].mcs_index == 1 and rx.buffered == 40


def test_back_to_back_frames_and_a_split_inside_one(link, rng):
    payloads = [support.random_bytes(rng, n) for n in (200, 0)]
    x = with_offset(np.concatenate([link.frame(p, i, 2) for i, p in enumerate(payloads)]), 0.37)
    expected = [(i, bytes(p)) for i, p in enumerate(payloads)]
    assert frames(link.receiver().feed(x)) == expected
    rx = link.receiver()
    assert rx.feed(x[:1500]) == [] and rx.buffered == 1500
    assert frames(rx.feed(x[1500:])) == expected


def test_feed_with_errors_reports_failed_attempts(link, rng):
    bad = link.frame(support.random_bytes(rng, 60), 1)
    bad[300:500] *= -1  # inside the header
    good = support.random_bytes(rng, 60)
    x = with_offset(np.concatenate([np.zeros(100), bad, np.zeros(100), link.frame(good, 2)]), 0.0)
    rx = link.receiver()
    results = rx.feed_with_errors(x)
    assert [(None if f is None else f.sequence_num, e) for f, e in results] == [(None, "header CRC mismatch"), (2, None)]
    assert frames(link.receiver().feed(x)) == [(2, bytes(good))]
    # Cleared, the receiver forgets the decoded frame and reports the same as a new one.
    rx.clear()
    assert [(None if f is None else f.sequence_num, e) for f, e in rx.feed_with_errors(x)] == [
        (None if f is None else f.sequence_num, e) for f, e in results]


def test_idle_noise_keeps_the_buffer_bounded(link, rng):
    rx = link.receiver()
    for _ in range(20):
        assert rx.feed(noise(rng, 10000, 10).astype(np.complex64)) == []
    assert rx.buffered < 400


def chunk_stream(link, seed, offset_bins, amplitude_db):
    """20 frames of random size and entry, gaps of noise, each segment 3 dB above its entry's threshold."""
    rng = np.random.default_rng(seed)
    segments, sent = [], []
    for seq in range(20):
        entry = int(rng.integers(0, 4))
        payload = rng.integers(0, 256, int(rng.integers(0, 1501)), dtype=np.uint8)
        amplitude = 10 ** (rng.uniform(-amplitude_db, amplitude_db) / 20)
        snr = THRESHOLD_DB[entry] + 3
        gap = int(rng.integers(0, 3001))
        frame = link.frame(payload, seq, entry) * amplitude
        segments += [noise(rng, gap, snr, amplitude), frame + noise(rng, frame.size, snr, amplitude)]
        sent.append((seq, bytes(payload)))
    segments.append(noise(rng, 200, THRESHOLD_DB[0], 1.0))
    return with_offset(np.concatenate(segments), offset_bins, rng.uniform(0, 2 * np.pi)), sent


def feed_in(link, x, sizes):
    rx = link.receiver()
    received = [frame for results in support.feed_in_chunks(rx.feed, x, sizes) for frame in results]
    return frames(received + rx.flush())


@pytest.mark.parametrize("offset_bins, amplitude_db", [(0.37, 0.0), (5.3, 0.0), (0.37, 3.0)])
def test_chunking_gives_the_same_packets(link, offset_bins, amplitude_db):
    x, sent = chunk_stream(link, 17, offset_bins, amplitude_db)
    for plan in ("whole", 4096, 997, "random"):
        assert feed_in(link, x, support.chunk_sizes(x.size, plan, np.random.default_rng(3))) == sent, plan


@pytest.mark.parametrize("entry", range(4))
def test_frame_error_rate_at_the_entry_threshold(link, entry):
    """AWGN, 0.37-bin offset, random phase and start, 100-byte payloads; at most 1% lost."""
    rng = np.random.default_rng(100 + entry)
    rx, lost, trials = link.receiver(), 0, 300
    for seq in range(trials):
        payload = support.random_bytes(rng, 100)
        frame = link.frame(payload, seq, entry)
        x = np.concatenate([np.zeros(int(rng.integers(0, 400))), frame, np.zeros(200)])
        x = with_offset(x + noise(rng, x.size, THRESHOLD_DB[entry]), 0.37, rng.uniform(0, 2 * np.pi))
        rx.clear()
        lost += frames(rx.feed(x)) != [(seq, bytes(payload))]
    assert lost <= trials // 100
