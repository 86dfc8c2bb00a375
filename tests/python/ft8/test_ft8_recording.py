"""The FT8 recording recipe (examples/ft8_recording.py) on 15 s of the reference's own waveforms
(`ft8sim`, Gaussian-shaped tones) in seeded real noise: a strong signal with a weaker one under it
half a tone spacing higher, a frame that starts 1.5 s before the recording, and one too weak for
the search's own soft values. Every message must come back once, at its frequency, DT and SNR,
from 12 kHz and from 44.1 kHz audio, and from bad audio too; a codeword that passes the CRC but
is not in the audio is refused (FT8 and FT4). Then weak signals in the clear beside a busy band, a
crowded FT4 period of the library's frames, and clicks, static, a DC offset and a level step,
which must leave the messages and SNRs of the clean recording."""

import pathlib
import subprocess
import wave

import numpy as np
import pytest
import scipy.signal

import kavro_sdr
import support

recipe = support.example("ft8_recording")

SIGNALS = [  # message, tone-0 frequency (Hz), DT (s), SNR (dB in 2500 Hz)
    ("CQ K1ABC FN42", 1500.0, 0.0, -4.0),
    ("K1ABC W9XYZ -11", 1503.1, 0.32, -14.0),
    ("W9XYZ G4ABC RR73", 612.5, -2.0, -8.0),
    ("CQ JA1XYZ PM95", 2400.0, 1.9, -20.5),
]
SENT = sorted(s[0] for s in SIGNALS)


def ft8sim_frame(directory, message, freq):
    """The reference's noise-free frame sent on time (0.5 s into the period), at unit amplitude."""
    subprocess.run(["ft8sim", message, str(freq), "0", "0", "0", "1", "99"], cwd=directory, check=True,
                   capture_output=True)
    (path,) = pathlib.Path(directory).glob("*.wav")
    with wave.open(str(path)) as w:
        samples = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    path.unlink()
    return samples[6000:6000 + 151680] / 32767.0


def library_frame(mode, message, freq, rng):
    """The library's frame of a standard message at unit amplitude, with a random phase."""
    payload = kavro_sdr.ft8_pack_standard(*message.split())
    codec, mod = (kavro_sdr.Ft8Codec, kavro_sdr.Ft8Mod) if mode == "ft8" else (kavro_sdr.Ft4Codec, kavro_sdr.Ft4Mod)
    return (mod(12000.0, freq, 0.0, 1.0).modulate(codec.encode(payload)) * np.exp(2j * np.pi * rng.random())).real


def add(audio, frame, dt, snr):
    """Adds a unit-amplitude frame starting DT s after 0.5 s into the period, at an SNR in 2500 Hz
    over real noise of unit variance: SNR = (A²/2) / (2500/6000)."""
    start = int(round((0.5 + dt) * 12000))
    a, b = max(start, 0), min(start + frame.size, audio.size)
    audio[a:b] += np.sqrt(2 * 10 ** (snr / 10) * 2500 / 6000) * frame[a - start:b - start]


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    directory = tmp_path_factory.mktemp("ft8sim")
    audio = np.random.default_rng(5).normal(0.0, 1.0, 180000)
    for message, freq, dt, snr in SIGNALS:
        add(audio, ft8sim_frame(directory, message, freq), dt, snr)
    return audio


@pytest.mark.parametrize("fs", [12000, 44100])
def test_every_message_once_at_its_frequency_dt_and_snr(recording, fs):
    audio = recording if fs == 12000 else scipy.signal.resample_poly(recording, 147, 40)
    decoded = recipe.decode_recording(audio, fs, "ft8")
    assert sorted(d["text"] for d in decoded) == SENT
    for message, freq, dt, snr in SIGNALS:
        (d,) = [d for d in decoded if d["text"] == message]
        assert abs(d["freq_hz"] - freq) <= 0.3, message
        assert abs(d["dt_s"] - dt) <= 0.03, message
        assert abs(d["snr_db"] - snr) <= 2.5, message


def with_gaps(audio):
    out = audio.copy()
    out[[30000, 90000, 150000]] = [np.nan, np.inf, -np.inf]  # inside every frame
    return out


BAD_AUDIO = [  # case, audio from the recording, sample rate, the error's text (None: decoded)
    ("nan and inf samples", with_gaps, 12000, None),
    ("scaled by 1e300", lambda a: a * 1e300, 12000, None),
    ("scaled by 1e-300", lambda a: a * 1e-300, 12000, None),
    ("stereo (2, n)", lambda a: np.stack([a, np.zeros_like(a)]), 12000, None),
    ("stereo (n, 2)", lambda a: np.stack([np.zeros_like(a), a], axis=1), 12000, None),
    ("stereo (2, 2)", lambda a: a[:4].reshape(2, 2), 12000, "shape"),
    ("rate 0", lambda a: a, 0, "sample rate"),
    ("negative rate", lambda a: a, -12000, "sample rate"),
    ("rate nan", lambda a: a, float("nan"), "sample rate"),
    ("rate inf", lambda a: a, float("inf"), "sample rate"),
]


@pytest.mark.parametrize("case, bad, fs, error", BAD_AUDIO, ids=[c[0] for c in BAD_AUDIO])
def test_bad_audio_is_decoded_or_refused_by_name(recording, case, bad, fs, error):
    if error is not None:
        with pytest.raises(ValueError, match=error):
            recipe.decode_recording(bad(recording), fs, "ft8")
    else:
        assert sorted(d["text"] for d in recipe.decode_recording(bad(recording), fs, "ft8")) == SENT


@pytest.mark.parametrize("mode", ["FT8", "jt65"])
def test_an_unknown_mode_is_refused_naming_the_modes(mode):
    with pytest.raises(ValueError, match="'ft8', 'ft4'"):
        recipe.decode_recording(np.zeros(1000), 12000, mode)


@pytest.mark.parametrize("mode", ["ft8", "ft4"])
def test_a_codeword_that_passes_the_crc_but_is_not_in_the_audio_is_refused(recording, ft4_recording, mode,
                                                                           monkeypatch):
    # A CRC of 14 bits lets about one wrong codeword in 16000 through; here every candidate that
    # does not decode gets one.
    codec = recipe.MODES[mode].codec
    forged = kavro_sdr.ft8_pack_standard("CQ", "N0FAK", "EM10")

    class Forger:
        encode = staticmethod(codec.encode)

        @staticmethod
        def decode_soft(llr):
            return codec.decode_soft(llr) or forged

    monkeypatch.setattr(recipe.MODES[mode], "codec", Forger)
    audio, sent = (recording, SENT) if mode == "ft8" else (ft4_recording, [s[0] for s in FT4_SIGNALS])
    decoded = {d["text"] for d in recipe.decode_recording(audio, 12000, mode)}
    assert decoded <= set(sent) and "CQ K1ABC FN42" in decoded


def test_weak_signals_in_the_clear_beside_a_busy_band(tmp_path):
    # Thirty signals at -10..+6 dB fill the search's first candidates with their own side peaks.
    rng = np.random.default_rng(7)
    audio = rng.normal(0.0, 1.0, 180000)
    strong = [f"K{i}ABC W{i}XYZ EM{10 + i}" for i in range(10)] + [f"G{i}ABC F{i}XYZ JN{10 + i}" for i in range(10)]
    strong += [f"JA{i}ABC VK{i}XY QF{10 + i}" for i in range(10)]
    freqs = rng.uniform(200, 2800, len(strong))
    for message, freq in zip(strong, freqs):
        add(audio, library_frame("ft8", message, freq, rng), rng.uniform(-2, 2), rng.uniform(-10, 6))
    weak = [("CQ K9WEK EN52", 0.7, -20.0), ("CQ DL9WEK JO62", 1.6, -20.0)]
    clear = [f for f in rng.permutation(np.arange(250.0, 2750.0, 10.0)) if np.all(np.abs(freqs - f) > 60)]
    for (message, dt, snr), freq in zip(weak, clear[:2]):
        add(audio, ft8sim_frame(tmp_path, message, freq), dt, snr)
    decoded = {d["text"] for d in recipe.decode_recording(audio, 12000, "ft8")}
    assert {w[0] for w in weak} <= decoded and decoded <= set(strong) | {w[0] for w in weak}


FT4_SIGNALS = [  # message, tone-0 frequency (Hz), DT (s), SNR (dB in 2500 Hz)
    ("CQ K1ABC FN42", 400.0, 0.1, -6.0),
    ("K1ABC W9XYZ EN37", 460.0, -0.4, -3.0),
    ("W9XYZ K1ABC -11", 800.0, 0.9, -12.0),
    ("CQ G4ABC IO91", 1150.0, -1.0, -9.0),
    ("G4ABC DL1XYZ JO62", 1190.0, 0.3, -1.0),
    ("DL1XYZ G4ABC R-09", 1600.0, 0.0, -14.0),
    ("CQ JA1XYZ PM95", 1980.0, 0.5, -10.0),
    ("JA1XYZ VK2ABC QF56", 2030.0, -0.2, -5.0),
    ("VK2ABC JA1XYZ RR73", 2500.0, 0.7, -8.0),
    ("CQ PY2ABC GG66", 2700.0, -0.6, -15.5),
    ("CQ K1BCD FN42", 2070.0, -0.2, -16.0),  # found only by searching the whole band again
]


@pytest.fixture(scope="module")
def ft4_recording():
    rng = np.random.default_rng(9)
    audio = rng.normal(0.0, 1.0, 90000)
    for message, freq, dt, snr in FT4_SIGNALS:
        add(audio, library_frame("ft4", message, freq, rng), dt, snr)
    return audio


def test_a_crowded_ft4_period(ft4_recording):
    decoded = recipe.decode_recording(ft4_recording, 12000, "ft4")
    assert sorted(d["text"] for d in decoded) == sorted(s[0] for s in FT4_SIGNALS)
    for message, freq, dt, snr in FT4_SIGNALS:
        (d,) = [d for d in decoded if d["text"] == message]
        assert abs(d["freq_hz"] - freq) <= 1.0 and abs(d["dt_s"] - dt) <= 0.02, message


def clicks(size):
    def click(audio):
        out = audio.copy()
        out[[audio.size // 5, audio.size // 2, 4 * audio.size // 5]] += [size, -size, size]
        return out
    return click


def static(seconds, size):
    def crash(audio):
        out = audio.copy()
        out[audio.size // 2:audio.size // 2 + int(seconds * 12000)] += np.random.default_rng(4).normal(
            0.0, size, int(seconds * 12000))
        return out
    return crash


def full_scale_click_in_16_bits(audio):
    out = np.round(8.0 * audio)
    out[out.size // 2] = 32767
    return out.astype(np.int16)


IMPAIRMENTS = [  # case, audio from the click-free recording of unit noise
    ("three clicks 1e3 x the noise", clicks(1e3)),
    ("three clicks 1e6 x the noise", clicks(1e6)),
    ("50 ms of static 1e3 x the noise", static(0.05, 1e3)),
    ("200 ms of static 300 x the noise", static(0.2, 300)),
    ("a full-scale click in 16-bit audio", full_scale_click_in_16_bits),
    ("level x10 halfway, DC 100 x the noise", lambda a: np.where(np.arange(a.size) < a.size // 2, 1, 10) * a + 100),
]


@pytest.fixture(scope="module")
def click_free():
    """Per mode: the recording (two library frames at -5 and -20 dB in FT8, -3 and -13 in FT4, and
    a +30 dB one that starts later), the messages' SNRs and what the recipe reads in it."""
    cases = {}
    for mode, size, snrs in [("ft8", 180000, (-5.0, -20.0, 30.0)), ("ft4", 90000, (-3.0, -13.0, 30.0))]:
        rng = np.random.default_rng(3)
        audio = rng.normal(0.0, 1.0, size)
        messages = ["CQ K1ABC FN42", "K1ABC W9XYZ EN37", "CQ DL1ABC JO62"]
        for message, freq, dt, snr in zip(messages, [1500, 900, 2200], [0.0, 0.0, 0.6], snrs):
            add(audio, library_frame(mode, message, freq, rng), dt, snr)
        decoded = {d["text"]: d["snr_db"] for d in recipe.decode_recording(audio, 12000, mode)}
        cases[mode] = audio, dict(zip(messages, snrs)), decoded
    return cases


@pytest.mark.parametrize("mode", ["ft8", "ft4"])
@pytest.mark.parametrize("case, impair", IMPAIRMENTS, ids=[c[0] for c in IMPAIRMENTS])
def test_clicks_a_dc_offset_and_a_level_step_cost_only_the_symbols_they_touch(click_free, mode, case, impair):
    audio, sent, clean = click_free[mode]
    assert clean.keys() == sent.keys()
    assert all(abs(clean[message] - snr) <= 1.5 for message, snr in sent.items()), clean
    got = {d["text"]: d["snr_db"] for d in recipe.decode_recording(impair(audio), 12000, mode)}
    assert got.keys() == clean.keys()
    for message, snr in clean.items():
        assert abs(got[message] - snr) <= 1.0, message
