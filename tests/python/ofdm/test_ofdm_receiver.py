"""OfdmDemod, OfdmRxFrame, ofdm_sync and generate_ofdm_preamble through Python."""

import math

import numpy as np
import pytest

import kavro_sdr
import support

EMPTY_INT = np.zeros(0, np.int32)
CONSTELLATIONS = ["bpsk", "qpsk", "qam16", "qam64", "qam256"]


def make_config(constellation="qpsk", pilots=EMPTY_INT, pilot_values=np.zeros(0, np.complex64), **kw):
    return kavro_sdr.OfdmConfig(64, 16, EMPTY_INT, pilots, pilot_values, 1e6, 0.0, 1.0, constellation,
                                edge_guard=kw.pop("edge_guard", 4), **kw)


def symbols_of(samples, cfg):
    return samples.reshape(-1, cfg.samples_per_ofdm_symbol)


def test_group_registration_order():
    names = kavro_sdr.__all__
    group = ["OfdmConfig", "OfdmMod", "OfdmDemod", "OfdmRxFrame", "build_ofdm_rx_frame", "ofdm_sync", "generate_ofdm_preamble"]
    assert [n for n in names if n in group] == group
    assert names.index("OfdmConfig") > names.index("QamMod")
    assert kavro_sdr.ofdm_sync.__module__ == "kavro_sdr"
    with pytest.raises(TypeError):
        kavro_sdr.OfdmRxFrame()


def test_docstrings_carry_the_signatures():
    assert kavro_sdr.OfdmDemod.__text_signature__ == '(cfg, equalizer="training_symbol")'
    assert kavro_sdr.OfdmDemod.__doc__.startswith("OFDM receiver: fused cyclic-prefix removal + FFT + channel equalization\n")
    assert kavro_sdr.ofdm_sync.__doc__.splitlines()[0] == "Searches an OFDM IQ buffer for a repeated-segment preamble match."
    assert kavro_sdr.generate_ofdm_preamble.__text_signature__ == "(cfg, num_repeats, repeat_len, training_n_fft=None, training_cp_len=None)"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda cfg: kavro_sdr.OfdmDemod(cfg, "Pilot_Interp"), ValueError,
         "OfdmDemod: unknown equalizer \"Pilot_Interp\" (expected 'training_symbol' or 'pilot_interp')"),
        (lambda cfg: kavro_sdr.OfdmDemod(cfg).demodulate(np.zeros(79, np.complex64)), ValueError,
         "OfdmDemod.demodulate: input too short (79 < 80)"),
        (lambda cfg: kavro_sdr.OfdmDemod(cfg).demodulate_soft(np.zeros(79, np.complex64)), ValueError,
         "OfdmDemod.demodulate: input too short (79 < 80)"),
        (lambda cfg: kavro_sdr.OfdmDemod(cfg, "pilot_interp").estimate_channel(np.zeros(10, np.complex64)), ValueError,
         "OfdmDemod.estimate_channel: input too short (10 < 80)"),
        (lambda cfg: kavro_sdr.generate_ofdm_preamble(cfg, 4, 16, 64, 65), ValueError,
         "generate_ofdm_preamble: training_cp_len (65) must not exceed training_n_fft (64)"),
        (lambda cfg: kavro_sdr.OfdmDemod(cfg, 1), TypeError, "argument 'equalizer': 'int' object is not an instance of 'str'"),
    ],
)
def test_receiver_messages(call, error, message):
    with pytest.raises(error) as raised:
        call(make_config())
    assert str(raised.value) == message


@pytest.mark.parametrize("constellation", CONSTELLATIONS)
def test_round_trip_through_multipath_after_a_training_estimate(constellation, rng):
    cfg = make_config(constellation)
    training = kavro_sdr.generate_ofdm_preamble(cfg, 0, 0, 64, 16)
    bits = support.random_bits(rng, cfg.bits_per_ofdm_symbol * 6)
    sent = np.concatenate([training, kavro_sdr.OfdmMod(cfg).modulate(bits)])
    taps = np.array([0.9, 0.3 - 0.2j, 0.1j], np.complex64) * np.complex64(0.7 * np.exp(0.6j))
    received = np.convolve(sent, taps)[: sent.size].astype(np.complex64)
    demod = kavro_sdr.OfdmDemod(cfg)
    assert demod.estimate_channel(received[:80]) is None
    decided = np.concatenate([demod.demodulate(s) for s in symbols_of(received[80:], cfg)])
    assert np.array_equal(decided, bits)


def test_demodulate_returns_only_the_first_symbol(rng):
    cfg = make_config("qam16")
    bits = support.random_bits(rng, cfg.bits_per_ofdm_symbol * 3)
    samples = kavro_sdr.OfdmMod(cfg).modulate(bits)
    assert np.array_equal(kavro_sdr.OfdmDemod(cfg).demodulate(samples), bits[: cfg.bits_per_ofdm_symbol])


def test_pilot_interpolation_with_dense_pilots_on_a_flat_channel(rng):
    pilots = np.arange(-27, 28, 3, dtype=np.int32)
    pilots = pilots[pilots != 0]
    cfg = kavro_sdr.OfdmConfig(64, 16, np.array([k for k in range(-26, 27) if k and k not in pilots], np.int32), pilots,
                               np.ones(pilots.size, np.complex64), 1e6, 0.0, 1.0, "qam64")
    bits = support.random_bits(rng, cfg.bits_per_ofdm_symbol * 4)
    received = (kavro_sdr.OfdmMod(cfg).modulate(bits) * np.complex64(0.5 * np.exp(1j))).astype(np.complex64)
    demod = kavro_sdr.OfdmDemod(cfg, equalizer="pilot_interp")
    decided = np.concatenate([demod.demodulate(s) for s in symbols_of(received, cfg)])
    assert np.array_equal(decided, bits)


def test_uncoded_qpsk_error_rate_and_evm(rng):
    cfg = make_config("qpsk")
    symbols = 9300
    bits = support.random_bits(rng, cfg.bits_per_ofdm_symbol * symbols)
    sent = kavro_sdr.OfdmMod(cfg).modulate(bits)
    received = symbols_of(support.add_noise(rng, sent, support.per_carrier_noise_variance(10.0, 64)), cfg)
    demod = kavro_sdr.OfdmDemod(cfg)
    decided = np.concatenate([demod.demodulate(s) for s in received])
    theory = 0.5 * math.erfc(math.sqrt(10) / math.sqrt(2))
    assert abs(np.count_nonzero(decided != bits) / bits.size / theory - 1) < 0.15

    sent = kavro_sdr.OfdmMod(cfg).modulate(bits[: 200 * 108])
    clean = symbols_of(support.add_noise(rng, sent, support.per_carrier_noise_variance(25.0, 64)), cfg)
    soft_and_bits = [demod.demodulate_soft(s) for s in clean]
    cells = np.concatenate([c for c, _ in soft_and_bits])
    frame = kavro_sdr.build_ofdm_rx_frame(cfg, cells, np.concatenate([b for _, b in soft_and_bits]))
    assert frame.num_symbols == 200
    assert frame.evm_db == pytest.approx(-25.0, abs=0.3)
    assert (frame.cfo_hz, frame.channel_mse, frame.timing_offset_samples) == (None, None, None)
    first = frame.bits
    assert first is not frame.bits and np.array_equal(first, frame.bits)


def test_rx_frame_with_a_partial_symbol_has_no_evm():
    cfg = make_config("qpsk")
    frame = kavro_sdr.build_ofdm_rx_frame(cfg, np.ones(53, np.complex64), np.zeros(106, np.uint8))
    assert frame.num_symbols == 0 and frame.evm_db is None


def test_sync_finds_a_clean_preamble_and_its_offset():
    cfg = make_config("qpsk")
    preamble = kavro_sdr.generate_ofdm_preamble(cfg, 4, 16, 64, 16)
    rng = np.random.default_rng(3)
    tail = kavro_sdr.OfdmMod(cfg).modulate(support.random_bits(rng, 108 * 3))
    buffer = np.concatenate([np.zeros(300, np.complex64), preamble, tail])
    results = kavro_sdr.ofdm_sync(buffer, 1e6, 4, 16, 0, buffer.size)
    assert list(results[0]) == ["start_sample", "cfo_hz", "integer_cfo_bins", "score"]
    assert results[0]["start_sample"] == 300 and results[0]["score"] == pytest.approx(1.0, abs=1e-6)
    assert [r["score"] for r in results] == sorted((r["score"] for r in results), reverse=True)

    offset_hz = 3.3 * 1e6 / 64
    n = np.arange(buffer.size)
    shifted = (buffer * np.exp(2j * np.pi * offset_hz * n / 1e6)).astype(np.complex64)
    best = kavro_sdr.ofdm_sync(shifted, 1e6, 4, 16, 0, buffer.size, 64, 16)[0]
    total = best["cfo_hz"] + best["integer_cfo_bins"] * 1e6 / 64
    assert abs(total - offset_hz) < 0.02 * 1e6 / 64


def test_preamble_training_symbol_needs_both_values():
    cfg = make_config("qpsk")
    assert kavro_sdr.generate_ofdm_preamble(cfg, 4, 16).size == 64
    assert kavro_sdr.generate_ofdm_preamble(cfg, 4, 16, training_n_fft=64).size == 64
    assert kavro_sdr.generate_ofdm_preamble(cfg, 4, 16, 64, 16).size == 144
    assert kavro_sdr.generate_ofdm_preamble(cfg, 4, 16, 0, 0).size == 64
    assert kavro_sdr.ofdm_sync(np.zeros(0, np.complex64), 1e6, 4, 16, 0, 0) == []
