"""The README's road from a recording to text, on synthetic real audio."""

import importlib.util
import pathlib

import numpy as np
import pytest
from scipy.io import wavfile
from scipy.signal import resample_poly

import kavro_sdr as k
import support
from psk31_text import ENGLISH, clocked_audio

EXAMPLE = pathlib.Path(__file__).resolve().parents[3] / "examples" / "psk31_recording.py"
spec = importlib.util.spec_from_file_location("psk31_recording", EXAMPLE)
recording = importlib.util.module_from_spec(spec)
spec.loader.exec_module(recording)

TEXT = ENGLISH[:500]


def synthetic_audio(fs, seed):
    """BPSK31 at a random carrier (600-2100 Hz) and symbol phase as real audio, with 0.5 s of noise
    either side, at Eb/N0 15 dB for the half-amplitude complex view."""
    rng = np.random.default_rng(seed)
    carrier = float(rng.uniform(600, 2100))
    sps = round(fs / 31.25)
    sent = k.Bpsk31Mod(fs, carrier, 1).modulate_text(TEXT).real.astype(np.float64)
    lead = fs // 2 + int(rng.integers(0, sps))
    audio = np.concatenate([np.zeros(lead), sent, np.zeros(fs // 2)])
    half_power = np.mean(sent ** 2) / 2  # the complex view: amplitude 1/2, power mean(a^2)/4
    sigma = np.sqrt(half_power * sps / 10 ** 1.5)
    return (audio + rng.normal(0, sigma, audio.size)).astype(np.float32)


@pytest.mark.parametrize("fs", [8000, 12000])
def test_recording_to_text(fs):
    rates = []
    for seed in range(3):
        text = "".join(s["text"] for s in recording.decode_recording(synthetic_audio(fs, seed), fs)).encode()
        rates.append(support.edit_distance(text, TEXT) / len(TEXT))
    assert np.mean(rates) <= 0.03


@pytest.mark.parametrize("ppm, fs, channels", [(100, 8000, 1), (-300, 44100, 2)])
def test_long_recording_with_clock_error(tmp_path, ppm, fs, channels):
    """90 s of text from a sender whose clock is 100 or 300 ppm off (its symbols slip by 0.28 or
    0.84 symbol against the recording's), with 5 s of noise before and after, at Eb/N0 14 dB,
    through a 16-bit WAV file: the text comes out whole, nothing is decoded from the noise, and the
    carrier is the one the sender's clock put out."""
    text = ENGLISH[:480]
    rng = np.random.default_rng(3)
    sent = clocked_audio(text, 1234.5, ppm, 1.0)
    quiet = np.zeros(5 * 8000)
    audio = np.concatenate([quiet[:-93], sent, quiet])
    audio += rng.normal(0, np.sqrt(np.mean(sent ** 2) / 2 * 256 / 10 ** 1.4), audio.size)  # as above
    audio = resample_poly(audio, fs // 100, 80) if fs != 8000 else audio
    path = tmp_path / "recording.wav"
    wavfile.write(path, fs, np.repeat((3000 * audio).astype(np.int16)[:, None], channels, axis=1).squeeze())
    [signal] = recording.decode_recording(*recording.read_wav(path))
    assert signal["text"].encode() == text
    assert signal["carrier_hz"] == pytest.approx(1234.5 * (1 + ppm * 1e-6), abs=0.02)
