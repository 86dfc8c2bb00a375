"""OfdmFrameStreamDemod under hostile streams: large FFTs with short prefixes, extreme amplitudes,
headers that announce more than ever arrives."""

import numpy as np
import pytest

import kavro_sdr
import support

QPSK_ENTRY = 1


def small_config():
    return kavro_sdr.OfdmConfig(64, 16, np.zeros(0, np.int32), np.array([-21, -7, 7, 21], np.int32),
                                np.ones(4, np.complex64), 1e6, 0.0, 1.0, "qpsk", edge_guard=4)


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
    still be found, with noise at 20 dB per sample and a fractional carrier offset."""
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
    assert packets(kavro_sdr.OfdmFrameStreamDemod(cfg, ladder).feed(x)) == sent


@pytest.mark.parametrize("scale", [1e-12, 1e-3, 1.0, 2.0 ** 31, 1e15, 1e18])
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
    assert packets(kavro_sdr.OfdmFrameStreamDemod(cfg, ladder).feed(x)) == sent
