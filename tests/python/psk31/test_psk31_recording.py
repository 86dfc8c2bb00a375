"""The README's road from a recording to text, on synthetic real audio."""

import importlib.util
import pathlib

import numpy as np
import pytest

import kavro_sdr as k
import support
from psk31_text import ENGLISH

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
