"""The README's road from a recording to text, on synthetic real audio. Eb/N0 counts the
positive-frequency half of the real audio, which the recipe reads: Eb = half the mean power of the
real samples times the samples per symbol, N0 = the variance of the real noise."""


import numpy as np
import pytest
from scipy.io import wavfile
from scipy.signal import resample_poly

import kavro_sdr as k
import support
from psk31_text import ENGLISH, clocked_audio

recording = support.example("psk31_recording")

TEXT = ENGLISH[:500]
decode = recording.decode_recording


def with_noise(audio, sent, eb_n0_db, rng, fs=8000):
    """audio plus white noise at Eb/N0 for the signal `sent`."""
    return audio + rng.normal(0, np.sqrt(np.mean(sent ** 2) / 2 * fs / 31.25 / 10 ** (eb_n0_db / 10)), audio.size)


def synthetic_audio(fs, seed):
    """BPSK31 at a random carrier (600-2100 Hz) and symbol phase as real audio, with 0.5 s of noise
    either side, at Eb/N0 15 dB."""
    rng = np.random.default_rng(seed)
    carrier = float(rng.uniform(600, 2100))
    sent = k.Bpsk31Mod(fs, carrier, 1).modulate_text(TEXT).real.astype(np.float64)
    lead = fs // 2 + int(rng.integers(0, round(fs / 31.25)))
    audio = np.concatenate([np.zeros(lead), sent, np.zeros(fs // 2)])
    return with_noise(audio, sent, 15, rng, fs).astype(np.float32)


def placed(length, *signals):
    """Signals (samples, start) added into `length` samples of silence."""
    audio = np.zeros(length)
    for sent, start in signals:
        audio[start:start + sent.size] += sent
    return audio


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
    audio = with_noise(np.concatenate([quiet[:-93], sent, quiet]), sent, 14, rng)
    audio = resample_poly(audio, fs // 100, 80) if fs != 8000 else audio
    path = tmp_path / "recording.wav"
    wavfile.write(path, fs, np.repeat((3000 * audio).astype(np.int16)[:, None], channels, axis=1).squeeze())
    [signal] = recording.decode_recording(*recording.read_wav(path))
    assert signal["text"].encode() == text
    assert signal["carrier_hz"] == pytest.approx(1234.5 * (1 + ppm * 1e-6), abs=0.02)


def test_weak_signal_beside_a_strong_one():
    """A signal at Eb/N0 30 dB with one 20 dB stronger 50 Hz below it from the recording's first
    sample into its text: its text comes out whole with at most two stray characters, from the
    whole band and from near_hz."""
    rng = np.random.default_rng(1)
    text = ENGLISH[:120]
    weak, strong = clocked_audio(text, 1000.0, 0), 10 * clocked_audio(ENGLISH[300:360], 950.0, 0, 1.0)
    audio = placed(weak.size + 16000, (weak, 8000), (strong, 0))
    audio = with_noise(audio, weak, 30, rng)
    [signal] = [s for s in decode(audio, 8000) if abs(s["carrier_hz"] - 1000) < 1]
    assert text in signal["text"].encode() and len(signal["text"]) <= len(text) + 2
    assert decode(audio, 8000, near_hz=1010.0) == [signal]


def test_only_a_clear_signal_is_taken_out_once_read():
    """A signal at Eb/N0 14 dB, 13 dB above its noise in its 50 Hz, is read and taken out of the
    recording, leaving less than -25 dB of its power behind; one at 8 dB, 7.5 dB above its noise,
    is read and left as it was (its symbols are not sure enough to rebuild it from)."""
    text = ENGLISH[:40]
    sent = clocked_audio(text, 1500.0, 0, 1.0)
    clean = placed(sent.size + 16000, (sent, 8000))
    for eb_n0 in (14, 8):
        audio = with_noise(clean, sent, eb_n0, np.random.default_rng(1))
        kept = recording.Recording(audio)
        assert recording.read_signal(kept, recording.hear(kept, 1500.0, "bpsk")).encode() == text
        taken, true = recording.Recording(audio).spectrum - kept.spectrum, np.fft.rfft(clean, kept.n)
        left_db = 10 * np.log10(np.sum(np.abs(true - taken) ** 2) / np.sum(np.abs(true) ** 2))
        assert left_db < -25 if eb_n0 == 14 else not taken.any()


def test_near_hz_picks_the_carrier_nearest_it():
    """The signal whose carrier lies within 20 Hz of near_hz and nearest it, with its text, in a
    recording that starts on its preamble and holds no steady carrier after its text: not a line
    that the preamble's reversals leave 15.6 Hz either side of the carrier (they leave none on it)."""
    sent = k.Bpsk31Mod(8000.0, 1234.0, 1.0).modulate_text(b"CQ CQ de K1ABC K1ABC pse k ", 32, 0).real
    audio = placed(160000, (sent, 0)) + np.random.default_rng(0).normal(0, 0.05, 160000)
    [signal] = decode(audio, 8000, near_hz=1234.0)
    assert signal["text"] == "CQ CQ de K1ABC K1ABC pse k" and signal["carrier_hz"] == pytest.approx(1234, abs=0.1)
    assert decode(audio, 8000, near_hz=1256.0) == []


def test_drifting_carrier():
    """A carrier drifting 15 Hz a minute, 7.5 Hz over the text, at Eb/N0 12 dB: the text comes out
    whole (read at one carrier, about 15% of it is lost)."""
    text = ENGLISH[:150]
    baseband = k.Bpsk31Mod(8000.0, 0.0, 1.0).modulate_text(text).astype(np.complex128)
    t = np.arange(baseband.size) / 8000
    sent = np.real(baseband * np.exp(2j * np.pi * (1000 * t + 0.25 * t ** 2 / 2)))
    audio = with_noise(placed(sent.size + 16000, (sent, 8000)), sent, 12, np.random.default_rng(0))
    [signal] = decode(audio, 8000)
    assert signal["text"].encode() == text


def test_qpsk31_beside_both_modes():
    """QPSK31 at Eb/N0 14 dB 60 Hz above a QPSK31 signal 20 dB stronger, and BPSK31 at 14 dB 60 Hz
    below it: in qpsk mode both QPSK31 texts whole; in bpsk mode the BPSK31 text whole, read
    without the sidebands of the strong QPSK31 signal, which is taken out in its own mode and not
    printed as BPSK31 garbage."""
    text, loud_text, bpsk_text = ENGLISH[:60], ENGLISH[100:200], ENGLISH[300:360]
    weak = k.Qpsk31Mod(8000.0, 1060.0, 1.0).modulate_text(text).real
    strong = k.Qpsk31Mod(8000.0, 1000.0, 10.0).modulate_text(loud_text).real
    bpsk = clocked_audio(bpsk_text, 940.0, 0, 2.0)
    audio = placed(strong.size + 8000, (strong, 3000), (weak, 20000), (bpsk, 11000))
    audio = with_noise(audio, weak, 14, np.random.default_rng(0))
    assert [s["text"].encode() for s in decode(audio, 8000, "qpsk")] == [loud_text, text]
    assert [s["text"].encode() for s in decode(audio, 8000, "bpsk")] == [bpsk_text]


def test_a_signal_cut_mid_text_gives_no_character_after_the_cut():
    """Four signals at Eb/N0 30 dB, each cut amid the third bit of a character's code (1, 0, 1...):
    the text before it, and nothing of the character cut nor from the noise after it."""
    rng = np.random.default_rng(4)
    signals, texts = [], {}
    for carrier, length in [(600, 20), (1000, 24), (1400, 28), (1800, 32)]:
        encoder = k.VaricodeEncoder()
        for byte in ENGLISH[:length]:
            encoder.push_byte(byte)
        bits = np.concatenate([np.zeros(32), encoder.drain_bits(), [0, 0, 1, 0, 1]]).astype(np.uint8)
        sent = k.Bpsk31Mod(8000.0, carrier, 1.0).modulate_bits(bits).real
        signals.append((sent[:sent.size - int(rng.integers(0, 256))], 4000 + int(rng.integers(0, 256))))
        texts[carrier] = ENGLISH[:length].decode()
    audio = with_noise(placed(8 * 8000, *signals), signals[-1][0], 30, rng)
    assert {round(s["carrier_hz"]): s["text"] for s in decode(audio, 8000)} == texts


@pytest.mark.parametrize("spoil", [
    lambda x: np.where(np.arange(x.size) == 40000, np.nan, x),       # one NaN amid the text
    lambda x: np.where(np.arange(x.size) == 40000, -np.inf, x),
    lambda x: np.where(np.arange(x.size) == 40000, 1e300, x),        # finite, but its square is not
    lambda x: x * 1e300,
    lambda x: x * 1e-300,
    lambda x: np.stack([x, 0.5 * x]),                                  # stereo as rows
    lambda x: np.stack([x, 0.5 * x], axis=1),                          # and as columns
    lambda x: np.where(np.abs(np.arange(x.size) - 40000) < 100, np.nan, x + 100),   # a DC offset, a gap in it
    lambda x: x + 100 * np.cos(2 * np.pi * 0.1 * np.arange(x.size) / 8000),   # one that wanders
], ids=["nan", "inf", "huge", "1e300", "1e-300", "stereo_rows", "stereo_columns", "dc", "wandering_dc"])
def test_bad_audio_is_read_around(spoil):
    text = ENGLISH[:80]
    sent = clocked_audio(text, 1234.5, 0)
    audio = with_noise(placed(sent.size + 8000, (sent, 4000)), sent, 14, np.random.default_rng(0))
    [signal] = decode(spoil(audio), 8000)
    assert signal["text"].encode() == text


@pytest.mark.parametrize("shape, fs, band, message", [
    ((2, 2), 8000, {}, "shape"), ((2, 2, 8000), 8000, {}, "shape"),
    ((8000,), 0, {}, "sample rate"), ((8000,), -8000, {}, "sample rate"), ((8000,), np.nan, {}, "sample rate"),
    ((8000,), np.inf, {}, "sample rate"),
    ((8000,), 8000, {"high_hz": 4100.0}, "band 200.0 to 4100.0 Hz"),          # beyond the Nyquist frequency
    ((8000,), 6000, {"high_hz": 3400.0}, "band 200.0 to 3400.0 Hz.*3000 Hz"),
    ((8000,), 48000, {"high_hz": 6000.0}, "band"),                             # the recipe reads 8 kHz
    ((8000,), 8000, {"low_hz": 3000.0, "high_hz": 2000.0}, "band"), ((8000,), 8000, {"low_hz": -100.0}, "band"),
    ((8000,), 8000, {"high_hz": np.nan}, "band"),
])
def test_bad_input_is_refused(shape, fs, band, message):
    with pytest.raises(ValueError, match=message):
        decode(np.zeros(shape), fs, **band)
