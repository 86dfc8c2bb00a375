"""The PSK31 recording recipe (examples/psk31_recording.py) on synthetic real audio at 8 kHz:
character error rate against Eb/N0 for a 90 s BPSK31 text, with the sender's clock exact and
100 ppm fast and slow, beside `Psk31Stream` alone on the noisy complex baseband with exact timing;
then a 6-minute text at Eb/N0 14 dB with the clock 100 ppm off either way, also with the symbol
timing measured once for the whole recording instead of every 4 s; a weak signal beside one 20 dB
stronger, of either mode, also from the recording's first sample; a DC offset; near_hz; and a carrier
drifting 5 Hz a minute.
The sender's clock error stretches its baseband (np.interp on the 8 kHz baseband, which holds
nothing above about 100 Hz) and moves its carrier by the same fraction. Each recording has 5 s
of noise before and after the text; characters decoded there count as errors."""

import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, str(ROOT / "tests" / "python" / "psk31"))
import support  # noqa: E402
from psk31_text import ENGLISH, clocked_audio, noisy  # noqa: E402

import kavro_sdr  # noqa: E402

sys.path.insert(0, str(ROOT / "examples"))
import psk31_recording as recipe  # noqa: E402

FS = 8000
SEEDS = 6


def recording(text, eb_n0_db, ppm, seed, quiet_s=5.0):
    """The text at a random carrier (600-2400 Hz) and symbol phase between `quiet_s` of noise either
    side. Eb/N0 as the receiver sees it in the positive-frequency half: Eb = the mean power there
    (half that of the real samples) times the samples per symbol, N0 = the variance of the real
    noise."""
    rng = np.random.default_rng(seed)
    sent = clocked_audio(text, float(rng.uniform(600, 2400)), ppm, float(rng.uniform(0, 2 * np.pi)))
    lead = int(quiet_s * FS) + int(rng.integers(0, FS // 31))
    audio = np.concatenate([np.zeros(lead), sent, np.zeros(int(quiet_s * FS))])
    sigma = np.sqrt(np.mean(sent ** 2) / 2 * (FS / 31.25) / 10 ** (eb_n0_db / 10))
    return audio + rng.normal(0, sigma, audio.size)


def cer(text, eb_n0_db, ppm, seed):
    """Character error rate of the strongest signal decoded (a missed one counts as 100%), and the
    number of signals decoded."""
    signals = recipe.decode_recording(recording(text, eb_n0_db, ppm, seed), FS)
    decoded = signals[0]["text"].encode() if signals else b""
    return support.edit_distance(decoded, text) / len(text), len(signals)


def stream_alone(text, eb_n0_db, seed):
    """The reference: `Psk31Stream` on the complex baseband, started on the sender's first sample,
    with no clock error, filter or squelch."""
    sent = kavro_sdr.Bpsk31Mod(float(FS), 0.0, 1.0).modulate_text(text)
    received = noisy(sent, eb_n0_db, np.random.default_rng(seed))
    stream = kavro_sdr.Psk31Stream("bpsk", float(FS), 0.0)
    return support.edit_distance((stream.feed(received) + stream.flush()).encode(), text) / len(text)


def matched(decoded, text):
    """(edit distance from text to the span of decoded that matches it best, characters decoded
    outside that span): free characters either side of the span in the edit distance's rows."""
    def last_row(a, b):
        b = np.frombuffer(bytes(b), np.uint8)
        j = np.arange(b.size + 1)
        previous = np.zeros(b.size + 1, int)
        for i, x in enumerate(np.frombuffer(bytes(a), np.uint8), 1):
            current = np.empty_like(previous)
            current[0] = i
            current[1:] = np.minimum(previous[1:] + 1, previous[:-1] + (b != x))
            previous = np.minimum.accumulate(current - j) + j
        return previous

    ends = last_row(text, decoded)
    end = int(np.argmin(ends))
    start = end - int(np.argmin(last_row(text[::-1], decoded[:end][::-1])))
    return int(ends[end]), len(decoded) - (end - start)


def beside_a_strong_one(spacing_hz, eb_n0_db, throughout, seed, strong_mode="bpsk", weak_first=False):
    """A 24 s text at a random carrier and Eb/N0 with a signal (BPSK31 or QPSK31) 20 dB stronger
    spacing_hz above or below it: from 1 s after the recording starts to its end (throughout), or
    for 12 s amid the text. The text starts 4 s into the recording, or on its first sample
    (weak_first). Returns the audio, the weak carrier and its text."""
    rng = np.random.default_rng(seed)
    text, carrier = ENGLISH[:120], float(rng.uniform(800, 2000))
    weak = clocked_audio(text, carrier, 0, float(rng.uniform(0, 2 * np.pi)))
    strong_hz = carrier + spacing_hz * rng.choice([-1, 1])
    strong_text, strong_phase = ENGLISH[300:360 + 240 * throughout], float(rng.uniform(0, 2 * np.pi))
    if strong_mode == "qpsk":
        strong = 10 * np.real(kavro_sdr.Qpsk31Mod(float(FS), strong_hz, 1.0).modulate_text(strong_text)
                              * np.exp(1j * strong_phase))
    else:
        strong = 10 * clocked_audio(strong_text, strong_hz, 0, strong_phase)
    audio = np.zeros(weak.size + 8 * FS)
    lead = 0 if weak_first else 4 * FS + int(rng.integers(0, FS // 31))
    audio[lead:lead + weak.size] += weak
    at = int(rng.integers(0, FS)) if throughout else lead + int(rng.integers(FS, weak.size - strong.size - FS))
    audio[at:at + strong.size] += strong[:audio.size - at]
    sigma = np.sqrt(np.mean(weak ** 2) / 2 * (FS / 31.25) / 10 ** (eb_n0_db / 10))
    return audio + rng.normal(0, sigma, audio.size), carrier, text


def strong_neighbour():
    print("\nA 24 s text beside a signal 20 dB stronger, 4 recordings each, the stronger one from before the text")
    print("starts to after it ends (throughout) or for 12 s amid it (a stretch): the weak one returned, the mean")
    print("CER of those, the most characters decoded outside its text, near_hz 10 Hz off it giving it the same")
    print("                     throughout                      a stretch")
    print("spacing  Eb/N0   returned   CER  stray  near_hz   returned   CER  stray  near_hz")
    for spacing in (40, 50, 60):
        for eb_n0 in (14, 30):
            cells = []
            for throughout in (True, False):
                found, rates, strays, same = 0, [], [0], 0
                for seed in range(4):
                    audio, carrier, text = beside_a_strong_one(spacing, eb_n0, throughout, seed)
                    signals = [s for s in recipe.decode_recording(audio, FS) if abs(s["carrier_hz"] - carrier) < 5]
                    if signals:
                        found += 1
                        errors, stray = matched(signals[0]["text"].encode(), text)
                        rates.append(errors / len(text))
                        strays.append(stray)
                        same += recipe.decode_recording(audio, FS, near_hz=carrier + 10) == signals[:1]
                rate = f"{100 * np.mean(rates):5.2f}%" if rates else "     -"
                cells.append(f"{found}/4    {rate}  {max(strays):3d}     {same}/4")
            print(f"{spacing:4d} Hz  {eb_n0:3d} dB     " + "       ".join(cells))


def idle_first(seed, lead_s, neighbour):
    """A BPSK31 text repeated for 26 s after 64 idle reversals, starting `lead_s` into the recording
    and cut by its end 2 s later (no steady carrier after it), at a random carrier (800-2200 Hz)
    and phase, Eb/N0 about 25 dB; with `neighbour`, a signal 20 dB stronger 50 Hz above or below it
    for the whole recording. Returns the audio, the carrier and the text."""
    rng = np.random.default_rng(seed)
    text = b"de W9XYZ W9XYZ = tnx for call, rig is 100 w into a dipole, wx cloudy and cold here. btu K1ABC de W9XYZ kn "
    carrier, phase = float(rng.uniform(800, 2200)), float(rng.uniform(0, 2 * np.pi))
    sent = np.real(kavro_sdr.Bpsk31Mod(float(FS), carrier, 1.0).modulate_text(text * 3, 64, 0) * np.exp(1j * phase))
    lead = int(lead_s * FS)
    audio = np.zeros(lead + 28 * FS)
    audio[lead:lead + 26 * FS] = sent[:26 * FS]
    if neighbour:
        strong = 10 * clocked_audio(ENGLISH * 2, carrier + 50 * rng.choice([-1, 1]), 0, float(rng.uniform(0, 2 * np.pi)))
        audio += strong[:audio.size]
    return audio + rng.normal(0, 0.02, audio.size), carrier, text


def first_sample():
    print("\nA transmission whose idle reversals start the recording (and 1 s into it), cut 26 s later: carrier")
    print("within 1 Hz of the sender's, and beside a signal 20 dB stronger 50 Hz away, found within 1 Hz")
    for lead_s in (0.0, 1.0):
        right = sum(any(abs(s["carrier_hz"] - c) < 1 for s in recipe.decode_recording(a, FS))
                    for a, c, _ in (idle_first(seed, lead_s, False) for seed in range(20)))
        found = sum(any(abs(s["carrier_hz"] - c) < 1 for s in recipe.decode_recording(a, FS))
                    for a, c, _ in (idle_first(seed, lead_s, True) for seed in range(8)))
        print(f"starting {lead_s:.0f} s in: alone {right}/20, beside the stronger one {found}/8")


def other_mode_and_first_sample():
    print("\nThe weak 24 s BPSK31 text (Eb/N0 14 and 30 dB, 4 seeds each) read in bpsk mode beside a signal 20 dB")
    print("stronger for all of it: found (carrier within 1 Hz, CER, most stray characters) and anything returned")
    print("within 5 Hz of the strong one (its text printed in the wrong mode)")
    cases = [("BPSK31 neighbour", "bpsk", False, (60, 70, 80)), ("QPSK31 neighbour", "qpsk", False, (60, 70, 80)),
             ("weak text from the first sample", "bpsk", True, (40, 50, 60)),
             ("the same, QPSK31 neighbour", "qpsk", True, (60, 70, 80))]
    for name, strong_mode, weak_first, spacings in cases:
        found, rates, strays, printed = 0, [], [0], 0
        for spacing in spacings:
            for eb_n0 in (14, 30):
                for seed in range(4):
                    audio, carrier, text = beside_a_strong_one(spacing, eb_n0, True, seed, strong_mode, weak_first)
                    signals = recipe.decode_recording(audio, FS)
                    weak = [s for s in signals if abs(s["carrier_hz"] - carrier) < 1]
                    printed += any(abs(abs(s["carrier_hz"] - carrier) - spacing) < 5 for s in signals) * (strong_mode == "qpsk")
                    if weak:
                        found += 1
                        errors, stray = matched(weak[0]["text"].encode(), text)
                        rates.append(errors / len(text))
                        strays.append(stray)
        total = 8 * len(spacings)
        print(f"{name:32s} spacing {spacings} Hz: found {found}/{total}, CER {100 * np.mean(rates or [1]):.2f}%, "
              f"stray {max(strays)}, the QPSK31 neighbour printed {printed}/{total}")


def dc_offset():
    """The 90 s text at Eb/N0 10 dB on a DC offset 30 and 100 times its amplitude, steady or
    wandering (100 x sin(2 pi 0.1 Hz t))."""
    text = ENGLISH[:480]
    print(f"\nThe 90 s text at Eb/N0 10 dB on a DC offset, CER (mean of {SEEDS} recordings)")
    wander = 100 * np.sin(2 * np.pi * 0.1 * np.arange(200 * FS) / FS)
    for name, offset in [("none", 0), ("30 x the amplitude", 30), ("100 x", 100), ("100 x, wandering at 0.1 Hz", wander)]:
        rates = []
        for seed in range(SEEDS):
            audio = recording(text, 10, 0, seed)
            signals = recipe.decode_recording(audio + (offset if np.isscalar(offset) else offset[:audio.size]), FS)
            rates.append(support.edit_distance(signals[0]["text"].encode() if signals else b"", text) / len(text))
        print(f"{name:27s} {100 * np.mean(rates):.2f}%")


def near_hz():
    """near_hz 0-15 Hz off the carrier of one signal in a clean recording: the signal itself, with
    the text the whole-band call gives it."""
    right = 0
    for seed in range(27):
        rng = np.random.default_rng(seed)
        carrier = float(rng.uniform(600, 2400))
        sent = kavro_sdr.Bpsk31Mod(float(FS), carrier, 1.0).modulate_text(b"CQ CQ de K1ABC K1ABC pse k").real
        audio = rng.normal(0, 0.05, 20 * FS)
        at = int(rng.integers(0, 4 * FS))
        audio[at:at + sent.size] += sent
        whole = [s for s in recipe.decode_recording(audio, FS) if abs(s["carrier_hz"] - carrier) < 1]
        right += bool(whole) and recipe.decode_recording(audio, FS, near_hz=carrier + rng.uniform(-15, 15)) == whole
    print(f"\nnear_hz 0-15 Hz off the carrier in a clean recording (Eb/N0 about 20 dB): the signal with its "
          f"whole-band text in {right} of 27")


def drift():
    text = ENGLISH[:480]
    print("\nThe 90 s text on a carrier drifting 5 Hz a minute (7.8 Hz over the text), CER (mean of "
          f"{SEEDS} recordings)")
    for eb_n0 in (14, 10):
        rates = []
        for seed in range(SEEDS):
            rng = np.random.default_rng(seed)
            baseband = kavro_sdr.Bpsk31Mod(float(FS), 0.0, 1.0).modulate_text(text).astype(np.complex128)
            t = np.arange(baseband.size) / FS
            carrier = float(rng.uniform(600, 2400)) + 5 / 60 * t / 2
            sent = np.real(baseband * np.exp(1j * (2 * np.pi * carrier * t + rng.uniform(0, 2 * np.pi))))
            audio = np.concatenate([np.zeros(5 * FS + int(rng.integers(0, FS // 31))), sent, np.zeros(5 * FS)])
            sigma = np.sqrt(np.mean(sent ** 2) / 2 * (FS / 31.25) / 10 ** (eb_n0 / 10))
            signals = recipe.decode_recording(audio + rng.normal(0, sigma, audio.size), FS)
            rates.append(support.edit_distance(signals[0]["text"].encode() if signals else b"", text) / len(text))
        print(f"Eb/N0 {eb_n0} dB: {100 * np.mean(rates):.2f}%")


def main():
    text = ENGLISH[:480]                                   # 90 s
    print(f"PSK31 recording recipe, BPSK31, 90 s text, CER (mean of {SEEDS} recordings)")
    print("Eb/N0 dB     0 ppm  +100 ppm  -100 ppm   Psk31Stream alone, exact timing")
    for eb_n0 in [4, 6, 8, 10, 12, 14]:
        row = [np.mean([cer(text, eb_n0, ppm, seed)[0] for seed in range(SEEDS)]) for ppm in (0, 100, -100)]
        row.append(np.mean([stream_alone(text, eb_n0, seed) for seed in range(SEEDS)]))
        print(f"{eb_n0:8d}  " + "  ".join(f"{100 * r:7.2f}%" for r in row))
    long_text = ENGLISH + b" " + ENGLISH                  # 6.1 minutes
    for ppm in (100, -100):
        start = time.perf_counter()
        rate, count = cer(long_text, 14.0, ppm, 7)
        seconds = time.perf_counter() - start
        window, recipe.TIMING_WINDOW = recipe.TIMING_WINDOW, 1 << 30     # one timing for it all
        once = cer(long_text, 14.0, ppm, 7)[0]
        recipe.TIMING_WINDOW = window
        print(f"6-minute text, Eb/N0 14 dB, {ppm:+d} ppm: CER {100 * rate:.2f}% ({count} signal decoded in "
              f"{seconds:.1f} s); timed once for the whole recording: {100 * once:.2f}%")
    strong_neighbour()
    first_sample()
    other_mode_and_first_sample()
    dc_offset()
    near_hz()
    drift()


if __name__ == "__main__":
    main()
