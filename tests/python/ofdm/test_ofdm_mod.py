"""OfdmMod through Python: resource-grid placement, cyclic prefix and oscillator continuity."""

import numpy as np
import pytest

import kavro_sdr
import support

PILOTS = np.array([-21, -7, 7, 21], np.int32)
PILOT_VALUES = np.array([1, -1, 1j, 1], np.complex64)


def make_config(constellation, rf_hz=0.0, gain=1.0):
    return kavro_sdr.OfdmConfig(64, 16, np.zeros(0, np.int32), PILOTS, PILOT_VALUES, 1e6, rf_hz, gain,
                                constellation, edge_guard=4)


def qam_cells(bits, constellation):
    """A literal mapper: the levels from the Gray rule, scaled to unit energy."""
    width = {"bpsk": 1, "qpsk": 2, "qam16": 4, "qam64": 6, "qam256": 8}[constellation]
    groups = bits.reshape(-1, width)
    if width == 1:
        return 1 - 2.0 * groups[:, 0]
    if width == 2:
        return ((1 - 2.0 * groups[:, 0]) + 1j * (1 - 2.0 * groups[:, 1])) / np.sqrt(2)
    half = width // 2
    levels = 1 << half
    rank_of_gray = {k ^ (k >> 1): k for k in range(levels)}
    weights = 1 << np.arange(half - 1, -1, -1)
    level = lambda g: 2 * rank_of_gray[int(g)] - (levels - 1)
    i = [level(g) for g in groups[:, :half] @ weights]
    q = [level(g) for g in groups[:, half:] @ weights]
    return (np.array(i) + 1j * np.array(q)) / np.sqrt(2 * (levels**2 - 1) / 3)


@pytest.mark.parametrize("constellation", ["bpsk", "qpsk", "qam16", "qam64", "qam256"])
def test_symbol_bodies_carry_cells_and_pilots(constellation, rng):
    cfg = make_config(constellation)
    bits = support.random_bits(rng, cfg.bits_per_ofdm_symbol * 3)
    samples = kavro_sdr.OfdmMod(cfg).modulate(bits).reshape(3, 80)
    data_carriers = [k for k in range(-27, 28) if k != 0 and k not in PILOTS]
    for m, symbol in enumerate(samples):
        assert np.array_equal(symbol[:16], symbol[64:])
        spectrum = np.fft.fft(symbol[16:])
        symbol_bits = bits[m * cfg.bits_per_ofdm_symbol:(m + 1) * cfg.bits_per_ofdm_symbol]
        assert np.allclose(spectrum[np.array(data_carriers) % 64], qam_cells(symbol_bits, constellation), atol=1e-5)
        assert np.allclose(spectrum[PILOTS % 64], PILOT_VALUES, atol=1e-5)
        empty = np.setdiff1d(np.arange(64), np.array(data_carriers + list(PILOTS)) % 64)
        assert np.allclose(spectrum[empty], 0, atol=1e-5)


def test_partial_symbol_is_zero_padded_and_empty_input_is_empty():
    cfg = make_config("bpsk")
    modulator = kavro_sdr.OfdmMod(cfg)
    assert modulator.modulate(np.zeros(0, np.uint8)).size == 0
    one = modulator.modulate(np.array([255], np.uint8))
    assert one.size == 80
    spectrum = np.fft.fft(one[16:])
    assert np.allclose(spectrum[(-27) % 64], -1, atol=1e-5)
    assert np.allclose(spectrum[(-26) % 64], 1, atol=1e-5)


@pytest.mark.parametrize("rf_hz", [0.0, 123_456.0])
def test_calls_split_at_symbol_boundaries_equal_one_call(rf_hz, rng):
    cfg = make_config("qam16", rf_hz=rf_hz, gain=0.5)
    bits = support.random_bits(rng, cfg.bits_per_ofdm_symbol * 40)
    whole = kavro_sdr.OfdmMod(cfg).modulate(bits)
    modulator = kavro_sdr.OfdmMod(cfg)
    cuts = np.array([0, 1, 13, 14, 40]) * cfg.bits_per_ofdm_symbol
    pieces = [modulator.modulate(bits[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]
    assert np.array_equal(np.concatenate(pieces), whole)


def test_cyclic_prefix_longer_than_the_symbol_is_refused():
    cfg = kavro_sdr.OfdmConfig(64, 65, np.array([1], np.int32), np.zeros(0, np.int32), np.zeros(0, np.complex64),
                               1e6, 0.0, 1.0, "bpsk")
    with pytest.raises(ValueError, match=r"^OfdmMod: cp_len \(65\) must not exceed n_fft \(64\)$"):
        kavro_sdr.OfdmMod(cfg)


def test_docstring_and_argument_type():
    assert kavro_sdr.OfdmMod.__text_signature__ == "(cfg)"
    assert kavro_sdr.OfdmMod.__doc__.startswith("OFDM transmitter: fused mapper + resource-grid mapping + IFFT + cyclic\n")
    with pytest.raises(TypeError, match="^argument 'cfg': 'int' object is not an instance of 'OfdmConfig'$"):
        kavro_sdr.OfdmMod(1)
