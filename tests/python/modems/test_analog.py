"""Analog modulators and demodulators through Python: surface, streaming, round trips."""

import inspect

import numpy as np
import pytest

import kavro_sdr
import support

FS = 48_000.0

MODULATORS = {
    "AmDsbMod": (lambda: kavro_sdr.AmDsbMod(FS, 3000.0, 1.0, 0.5), "(fs, rf_hz, carrier_level, modulation_index)"),
    "CwKeyedMod": (lambda: kavro_sdr.CwKeyedMod(FS, 700.0, 5.0, 5.0), "(sample_rate, tone_hz, rise_ms, fall_ms)"),
    "FmPhaseAccumMod": (lambda: kavro_sdr.FmPhaseAccumMod(FS, 5000.0, 1000.0), "(sample_rate, deviation_hz, rf_hz)"),
    "PmDirectPhaseMod": (lambda: kavro_sdr.PmDirectPhaseMod(FS, 1.5, 1000.0), "(sample_rate, kp_rad_per_unit, rf_hz)"),
    "SsbPhasingMod": (lambda: kavro_sdr.SsbPhasingMod(FS, 1500.0, 1500.0, 0.0, True), "(fs, audio_bw_hz, audio_if_hz, rf_hz, usb)"),
}
DEMODULATORS = {
    "CwEnvelopeDemod": (lambda: kavro_sdr.CwEnvelopeDemod(FS, 700.0, 200.0), "(sample_rate, tone_hz, env_bw_hz)"),
    "AmEnvelopeDemod": (lambda: kavro_sdr.AmEnvelopeDemod(FS, 5000.0, abs_approx=True), "(fs, audio_bw_hz, abs_approx=False)"),
    "SsbProductDemod": (lambda: kavro_sdr.SsbProductDemod(FS, 10000.0, 3000.0), "(fs, bfo_hz, audio_bw_hz)"),
    "FmQuadratureDemod": (lambda: kavro_sdr.FmQuadratureDemod(FS, 5000.0, 5000.0), "(fs, dev_hz, audio_bw_hz)"),
    "PmQuadratureDemod": (lambda: kavro_sdr.PmQuadratureDemod(FS, 1.0, 5000.0), "(fs, k, audio_bw_hz)"),
}


def tone(freq, seconds=1.0, amplitude=1.0):
    n = np.arange(int(FS * seconds))
    return (amplitude * np.sin(2 * np.pi * freq * n / FS)).astype(np.float32)


def amplitude_at(signal, freq):
    n = np.arange(signal.size)
    return 2 * abs(np.dot(signal, np.exp(-2j * np.pi * freq * n / FS))) / signal.size


@pytest.mark.parametrize("name", [*MODULATORS, *DEMODULATORS])
def test_signatures_and_docstrings(name):
    cls = getattr(kavro_sdr, name)
    expected = {**MODULATORS, **DEMODULATORS}[name][1]
    assert cls.__text_signature__ == expected
    assert cls.__doc__ == ""
    assert "process" in dir(cls)


def test_cw_process_docstring_has_its_extra_line():
    assert kavro_sdr.CwKeyedMod.process.__doc__ == "Input: keying envelope 0..1 as float32 array."
    assert inspect.signature(kavro_sdr.CwKeyedMod.process).parameters.keys() == {"self", "audio"}


def chunked(make, signal, rng):
    whole = make().process(signal)
    random_cuts = np.sort(rng.integers(0, signal.size, 40))  # repeats give empty chunks
    plans = {
        "ones": support.chunk_sizes(signal.size, 1),
        "997": support.chunk_sizes(signal.size, 997),
        "random": np.diff(random_cuts, prepend=0, append=signal.size),
    }
    for name, sizes in plans.items():
        pieces = support.feed_in_chunks(make().process, signal, sizes)
        assert np.array_equal(np.concatenate(pieces).view(np.uint32), whole.view(np.uint32)), name
    return whole


@pytest.mark.parametrize("name", MODULATORS)
def test_modulators_stream_bit_exactly(name, rng):
    audio = (rng.standard_normal(3000) * 0.5).astype(np.float32)
    out = chunked(MODULATORS[name][0], audio, rng)
    assert out.dtype == np.complex64 and out.size == audio.size


@pytest.mark.parametrize("name", DEMODULATORS)
def test_demodulators_stream_bit_exactly(name, rng):
    iq = (rng.standard_normal(3000) + 1j * rng.standard_normal(3000)).astype(np.complex64)
    out = chunked(DEMODULATORS[name][0], iq, rng)
    assert out.dtype == np.float32 and out.size == iq.size


def test_am_round_trip_recovers_the_modulating_tone():
    iq = kavro_sdr.AmDsbMod(FS, 0.0, 1.0, 0.5).process(tone(1000.0, 2.0))
    audio = kavro_sdr.AmEnvelopeDemod(FS, 5000.0).process(iq)
    assert amplitude_at(audio[int(FS):], 1000.0) == pytest.approx(0.5, rel=0.02)


def test_fm_round_trip_gives_the_phase_step():
    x = tone(1000.0, 1.0, 0.5)
    audio = kavro_sdr.FmQuadratureDemod(FS, 5000.0, 5000.0).process(kavro_sdr.FmPhaseAccumMod(FS, 5000.0, 0.0).process(x))
    settled = audio[4800:]
    assert amplitude_at(settled, 1000.0) == pytest.approx(2 * np.pi * 0.5 / FS, rel=0.02)


@pytest.mark.parametrize("usb, expected_hz", [(True, 500.0), (False, -500.0)])
def test_ssb_places_the_tone_and_suppresses_the_image(usb, expected_hz):
    iq = kavro_sdr.SsbPhasingMod(FS, 1500.0, 1500.0, 0.0, usb).process(tone(1000.0))[4800:]
    spectrum = np.abs(np.fft.fft(iq))
    freqs = np.fft.fftfreq(iq.size, 1 / FS)
    assert freqs[np.argmax(spectrum)] == pytest.approx(expected_hz, abs=2)
    image = spectrum[np.argmin(np.abs(freqs - (expected_hz + np.sign(expected_hz) * 2000)))]
    assert 20 * np.log10(spectrum.max() / image) >= 18


def test_ssb_product_demod_folds_both_sidebands():
    n = np.arange(int(FS))
    for rf in (11_000.0, 9_000.0):
        iq = np.exp(2j * np.pi * rf * n / FS).astype(np.complex64)
        audio = kavro_sdr.SsbProductDemod(FS, 10_000.0, 3000.0).process(iq)[4800:]
        assert np.argmax(np.abs(np.fft.rfft(audio))) * FS / audio.size == pytest.approx(1000.0, abs=2)


def test_setters_take_effect():
    am = kavro_sdr.AmDsbMod(FS, 1000.0, 1.0, 0.0)
    am.set_gain(2.0)
    assert np.allclose(np.abs(am.process(np.zeros(10, np.float32))), 2.0)
    clamped = kavro_sdr.AmDsbMod(FS, 0.0, 0.5, 1.0)
    assert np.abs(clamped.process(np.array([2.0], np.float32)))[0] == pytest.approx(2.5)
    assert clamped.set_clamp(np.bool_(True)) is None
    assert np.abs(clamped.process(np.array([2.0], np.float32)))[0] == pytest.approx(1.0)
    with pytest.raises(TypeError, match="^argument 'on': "):
        clamped.set_clamp(1)
    fm = kavro_sdr.FmPhaseAccumMod(FS, 5000.0, 0.0)
    fm.set_deviation(0.0)
    assert np.allclose(fm.process(np.ones(8, np.float32)), 1.0)
    pm = kavro_sdr.PmDirectPhaseMod(FS, 1.0, 0.0)
    pm.set_sensitivity(np.pi / 2)
    assert np.allclose(pm.process(np.ones(1, np.float32)), 1j, atol=1e-6)
    cw = kavro_sdr.CwEnvelopeDemod(FS, 700.0, 200.0)
    assert cw.set_gain(3.0) is None


def test_wrong_inputs_are_refused():
    with pytest.raises(TypeError, match="^argument 'audio': "):
        kavro_sdr.CwKeyedMod(FS, 700.0, 5.0, 5.0).process(np.zeros(4, np.complex64))
    with pytest.raises(TypeError, match="^argument 'iq': "):
        kavro_sdr.FmQuadratureDemod(FS, 5000.0, 5000.0).process(np.zeros(4, np.float32))
    with pytest.raises(TypeError, match="^argument 'usb': "):
        kavro_sdr.SsbPhasingMod(FS, 1500.0, 1500.0, 0.0, 1)
