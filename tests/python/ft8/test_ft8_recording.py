"""The FT8 recording recipe (examples/ft8_recording.py) on 15 s of the reference's own waveforms
(`ft8sim`, Gaussian-shaped tones) in seeded real noise: a strong signal with a weaker one under it
half a tone spacing higher, a frame that starts 1.5 s before the recording, and one too weak for
the search's own soft values. Every message must come back once, at its frequency, DT and SNR,
from 12 kHz and from 44.1 kHz audio."""

import importlib.util
import pathlib
import subprocess
import wave

import numpy as np
import pytest
import scipy.signal

SPEC = importlib.util.spec_from_file_location(
    "ft8_recording", pathlib.Path(__file__).resolve().parents[3] / "examples" / "ft8_recording.py")
recipe = importlib.util.module_from_spec(SPEC)
SPEC.loader.exec_module(recipe)

SIGNALS = [  # message, tone-0 frequency (Hz), DT (s), SNR (dB in 2500 Hz)
    ("CQ K1ABC FN42", 1500.0, 0.0, -4.0),
    ("K1ABC W9XYZ -11", 1503.1, 0.32, -14.0),
    ("W9XYZ G4ABC RR73", 612.5, -2.0, -8.0),
    ("CQ JA1XYZ PM95", 2400.0, 1.9, -20.5),
]


def ft8sim_frame(directory, message, freq):
    """The reference's noise-free frame sent on time (0.5 s into the period), at unit amplitude."""
    subprocess.run(["ft8sim", message, str(freq), "0", "0", "0", "1", "99"], cwd=directory, check=True,
                   capture_output=True)
    (path,) = pathlib.Path(directory).glob("*.wav")
    with wave.open(str(path)) as w:
        samples = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    path.unlink()
    return samples[6000:6000 + 151680] / 32767.0


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    directory = tmp_path_factory.mktemp("ft8sim")
    audio = np.random.default_rng(5).normal(0.0, 1.0, 180000)
    for message, freq, dt, snr in SIGNALS:
        frame = ft8sim_frame(directory, message, freq)
        # A sinusoid of amplitude A in real noise of unit variance: SNR = (A²/2) / (2500/6000).
        amplitude = np.sqrt(2 * 10 ** (snr / 10) * 2500 / 6000)
        start = int(round((0.5 + dt) * 12000))
        a, b = max(start, 0), min(start + frame.size, audio.size)
        audio[a:b] += amplitude * frame[a - start:b - start]
    return audio


@pytest.mark.parametrize("fs", [12000, 44100])
def test_every_message_once_at_its_frequency_dt_and_snr(recording, fs):
    audio = recording if fs == 12000 else scipy.signal.resample_poly(recording, 147, 40)
    decoded = recipe.decode_recording(audio, fs, "ft8")
    assert sorted(d["text"] for d in decoded) == sorted(s[0] for s in SIGNALS)
    for message, freq, dt, snr in SIGNALS:
        (d,) = [d for d in decoded if d["text"] == message]
        assert abs(d["freq_hz"] - freq) <= 0.3, message
        assert abs(d["dt_s"] - dt) <= 0.03, message
        assert abs(d["snr_db"] - snr) <= 2.5, message
