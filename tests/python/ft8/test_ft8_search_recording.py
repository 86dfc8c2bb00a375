"""From a recording to messages, as the README shows it: the reference's own noise-free FT8
waveform (`ft8sim`), seeded real noise at -15 dB, `ft8_sync` over the band, `decode_soft` of
every candidate and `ft8_unpack` must give the encoder's message and nothing else."""

import pathlib
import subprocess
import wave

import numpy as np
import pytest

import kavro_sdr
import wsjtx

MESSAGE = "K1ABC W9XYZ EN37"


def decode_recording(samples):
    """The README's example: 15 s of 12 kHz audio to the distinct payloads it holds and their
    messages."""
    iq = samples.astype(np.complex64)  # imaginary part 0: its positive-frequency half has the same SNR
    payloads = []
    for candidate in kavro_sdr.ft8_sync(iq, 12000.0, 100.0, 3000.0, 0, 14, 50):
        payload = kavro_sdr.Ft8Codec.decode_soft(candidate["llr"])
        if payload is not None and payload not in payloads:
            payloads.append(payload)
    return payloads, [kavro_sdr.ft8_unpack(p) for p in payloads]


def reference_waveform(directory, f0, dt):
    subprocess.run(["ft8sim", MESSAGE, str(f0), str(dt), "0", "0", "1", "99"], cwd=directory, check=True,
                   capture_output=True)
    (path,) = pathlib.Path(directory).glob("*.wav")
    with wave.open(str(path)) as w:
        samples = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    path.unlink()
    return samples


@pytest.mark.parametrize("f0, dt", [(1500, 0.0), (1503.1, 0.08)])
def test_reference_waveform_in_noise_decodes_to_its_payload(tmp_path, f0, dt):
    clean = reference_waveform(tmp_path, f0, dt)
    assert np.abs(clean).max() == 32767
    expected = wsjtx.ft8code(MESSAGE).payload
    snr_db = -15.0
    # SNR = (A²/2) / (σ² · 2500/6000) for a sinusoid of amplitude A in real noise of variance σ².
    sigma = np.sqrt((32767.0**2 / 2) / (10 ** (snr_db / 10) * 2500 / 6000))
    for seed in range(10):
        noisy = clean + np.random.default_rng(seed).normal(0.0, sigma, clean.size)
        payloads, messages = decode_recording(noisy)
        assert payloads == [expected], f"seed {seed}"
        assert messages == [{"type": "standard", "call_to": "K1ABC", "call_de": "W9XYZ", "extra": "EN37"}]
