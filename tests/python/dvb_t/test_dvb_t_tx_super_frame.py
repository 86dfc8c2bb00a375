"""DvbTSuperFrameMod through Python: the payload split, the four frames it is made of, and the
transmit low-pass across their seams."""

import numpy as np
import pytest

import kavro_sdr
import support
from kavro_sdr import DvbTFrameMod, DvbTFrameParams, DvbTSuperFrameMod, DvbTSuperFrameParams


@pytest.mark.parametrize(
    "length, lens", [(10, [3, 3, 2, 2]), (9, [3, 2, 2, 2]), (8, [2, 2, 2, 2]), (1, [1, 0, 0, 0]), (0, [0, 0, 0, 0])]
)
def test_payload_split_and_numerology(length, lens):
    frame = DvbTSuperFrameMod(DvbTSuperFrameParams("1/16", "qpsk", "1/2")).modulate(np.ones(length, np.uint8))
    assert frame.frame_payload_lens == lens
    assert (frame.symbols_per_frame, frame.samples_per_symbol) == (68, 2048 + 128)
    assert frame.n_symbols == 4 * frame.symbols_per_frame
    assert frame.iq.size == frame.n_symbols * frame.samples_per_symbol


def separate_frames(guard, constellation, rate, cell_id, payload, roll_off):
    """Frame k alone: frame number k, the cell id's high or low byte, its zero-padded slice."""
    q, r = divmod(payload.size, 4)
    lens = [q + (k < r) for k in range(4)]
    frames, at = [], 0
    for k, n in enumerate(lens):
        piece = np.zeros(lens[0], np.uint8)
        piece[:n] = payload[at:at + n]
        at += n
        cell = cell_id >> 8 if k % 2 == 0 else cell_id & 0xFF
        mod = DvbTFrameMod(DvbTFrameParams(guard, constellation, rate, k, cell)).with_symbol_window(roll_off)
        frames.append(mod.modulate(piece).iq)
    return frames


@pytest.mark.parametrize(
    "guard, constellation, rate, length, roll_off",
    [("1/32", "qpsk", "1/2", 10, 0), ("1/8", "qam16", "3/4", 30001, 40), ("1/4", "qam64", "7/8", 5, 300)],
)
def test_quarters_are_the_frames_modulated_alone(guard, constellation, rate, length, roll_off, rng):
    payload = support.random_bytes(rng, length)
    mod = DvbTSuperFrameMod(DvbTSuperFrameParams(guard, constellation, rate, 0x1234)).with_symbol_window(roll_off)
    iq = mod.modulate(payload).iq
    expected = separate_frames(guard, constellation, rate, 0x1234, payload, roll_off)
    np.testing.assert_array_equal(iq, np.concatenate(expected))


def test_low_pass_runs_across_the_seams(rng):
    payload = support.random_bytes(rng, 100)
    taps, delay = 45, 22
    super_frame = DvbTSuperFrameMod(DvbTSuperFrameParams("1/8", "qpsk", "2/3", 7)).with_symbol_window(20)
    iq = super_frame.with_tx_lowpass(taps).modulate(payload).iq
    alone = [
        DvbTFrameMod(DvbTFrameParams("1/8", "qpsk", "2/3", k, 0 if k % 2 == 0 else 7))
        .with_symbol_window(20).with_tx_lowpass(taps).modulate(piece).iq
        for k, piece in enumerate(np.array_split(payload, 4))
    ]
    f = alone[0].size
    assert iq.size == 4 * f
    separately = np.concatenate(alone)
    near_seam = np.zeros(iq.size, bool)
    for seam in (f, 2 * f, 3 * f):
        near_seam[seam - delay:seam + delay] = True
    np.testing.assert_allclose(iq[~near_seam], separately[~near_seam], atol=1e-6, rtol=0)
    for seam in (f, 2 * f, 3 * f):
        assert np.abs(iq[seam - delay:seam + delay] - separately[seam - delay:seam + delay]).max() > 1e-4


def test_same_payload_gives_the_same_samples_and_builders_leave_their_source(rng):
    payload = support.random_bytes(rng, 777)
    mod = DvbTSuperFrameMod(DvbTSuperFrameParams("1/16", "qam16", "1/2", 99))
    plain = mod.modulate(payload).iq
    np.testing.assert_array_equal(mod.modulate(payload).iq, plain)
    mod.with_symbol_window(10)
    mod.with_tx_lowpass(31)
    np.testing.assert_array_equal(mod.modulate(payload).iq, plain)
    assert not np.array_equal(mod.with_symbol_window(10).modulate(payload).iq, plain)


def test_classes_and_docstrings():
    import inspect

    sf = kavro_sdr.DvbTSuperFrame
    assert sf.iq.__doc__ == "The time-domain IQ of all four frames, concatenated (no preamble)."
    assert sf.n_symbols.__doc__ == "OFDM symbols across the whole super-frame (`4 \u00b7 symbols_per_frame`)."
    assert sf.frame_payload_lens.__doc__ == "The payload byte count carried by each of the four frames, in order."
    assert DvbTSuperFrameParams.__text_signature__ == "(guard, constellation, code_rate, cell_id=0)"
    assert DvbTSuperFrameMod.__text_signature__ == "(params)"
    assert str(inspect.signature(DvbTSuperFrameMod.with_tx_lowpass)) == "(self, /, num_taps, stopband_db=60.0)"
    assert str(inspect.signature(DvbTSuperFrameMod.with_symbol_window)) == "(self, /, roll_off)"
    assert str(inspect.signature(DvbTSuperFrameMod.modulate)) == "(self, /, payload)"
    assert DvbTSuperFrameParams.__repr__ is object.__repr__
    with pytest.raises(TypeError):
        DvbTSuperFrameMod(DvbTFrameParams("1/8", "qpsk", "1/2"))
