"""The FT8/FT4 recording recipe (examples/ft8_recording.py) on simulated bands: crowded periods of
20 signals at -20..0 dB in 2500 Hz, random tone-0 frequencies 200-2800 Hz (overlaps allowed) and
DT -2..+2 s (FT4: -1..+1 s), made by the library's modulators and, for FT8, by WSJT-X's `ft8sim`
(Gaussian-shaped tones); the share of signals decoded and the texts decoded that were not sent.
Then single signals in noise: the share decoded against SNR and its 50% point; and the time to
decode a crowded 15-s FT8 period (one core, median)."""

import importlib.util
import pathlib
import subprocess
import sys
import tempfile
import wave

import numpy as np
from timing import median_seconds

import kavro_sdr

SPEC = importlib.util.spec_from_file_location(
    "ft8_recording", pathlib.Path(__file__).resolve().parents[2] / "examples" / "ft8_recording.py")
recipe = importlib.util.module_from_spec(SPEC)
SPEC.loader.exec_module(recipe)

FS = 12000
PERIOD = {"ft8": 15.0, "ft4": 7.5}
DT_SPREAD = {"ft8": 2.0, "ft4": 1.0}
LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"


def random_messages(rng, count):
    """Distinct standard messages "CALL CALL GRID" with callsigns of the form K1ABC or AB2XY."""
    def call():
        # No Q prefixes: the protocol reads a leading Q as 3X.
        prefix = "".join(rng.choice(list(LETTERS.replace("Q", "")), int(rng.integers(1, 3))))
        return prefix + str(rng.integers(0, 10)) + "".join(rng.choice(list(LETTERS), int(rng.integers(1, 4))))
    messages = set()
    while len(messages) < count:
        grid = "".join(rng.choice(list("ABCDEFGHIJKLMNOPQR"), 2)) + str(rng.integers(0, 100)).zfill(2)
        messages.add(f"{call()} {call()} {grid}")
    return sorted(messages)


def library_frame(mode, message, freq):
    """The library's complex frame at unit amplitude."""
    call_to, call_de, grid = message.split()
    payload = kavro_sdr.ft8_pack_standard(call_to, call_de, grid)
    if mode == "ft8":
        return kavro_sdr.Ft8Mod(FS, freq, 0.0, 1.0).modulate(kavro_sdr.Ft8Codec.encode(payload))
    return kavro_sdr.Ft4Mod(FS, freq, 0.0, 1.0).modulate(kavro_sdr.Ft4Codec.encode(payload))


def ft8sim_frame(directory, message, freq):
    """`ft8sim`'s noise-free frame sent on time (DT 0, starting 0.5 s in), cut out and scaled to
    unit amplitude."""
    subprocess.run(["ft8sim", message, f"{freq:.3f}", "0", "0", "0", "1", "99"], cwd=directory, check=True,
                   capture_output=True)
    (path,) = pathlib.Path(directory).glob("*.wav")
    with wave.open(str(path)) as w:
        samples = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    path.unlink()
    return samples[6000:6000 + 151680] / (np.sqrt(2) * np.sqrt(np.mean(samples[8000:150000] ** 2)))


def period(rng, mode, signals, source, directory=None):
    """Real audio of one period with unit-variance noise; the signals are (message, freq, dt, snr)."""
    audio = rng.normal(0.0, 1.0, int(PERIOD[mode] * FS))
    for message, freq, dt, snr in signals:
        if source == "ft8sim":
            frame = ft8sim_frame(directory, message, freq)
        else:
            frame = (library_frame(mode, message, freq) * np.exp(2j * np.pi * rng.random())).real
        # A sinusoid of amplitude A in real noise of unit variance: SNR = (A²/2) / (2500/6000).
        amplitude = np.sqrt(2 * 10 ** (snr / 10) * 2500 / 6000)
        start = int(round((0.5 + dt) * FS))
        a, b = max(start, 0), min(start + frame.size, audio.size)
        audio[a:b] += amplitude * frame[a - start:b - start]
    return audio


def crowded(rng, mode, count=20):
    return [(m, rng.uniform(200, 2800), rng.uniform(-DT_SPREAD[mode], DT_SPREAD[mode]), rng.uniform(-20, 0))
            for m in random_messages(rng, count)]


def crowded_band(mode, source, trials, directory, target):
    rng = np.random.default_rng(7)
    sent_total = found_total = false_total = 0
    for _ in range(trials):
        signals = crowded(rng, mode)
        decoded = {d["text"] for d in recipe.decode_recording(period(rng, mode, signals, source, directory), FS, mode)}
        sent = {s[0] for s in signals}
        sent_total += len(sent)
        found_total += len(sent & decoded)
        false_total += len(decoded - sent)
    print(f"{mode} crowded band ({source:7s}): {found_total}/{sent_total} decoded ({100 * found_total / sent_total:.1f}%,"
          f" target >= {target}%), {false_total} not sent (target 0)")


def single_signals(mode, trials, snrs, target):
    rng = np.random.default_rng(11)
    shares = []
    for snr in snrs:
        hits = 0
        for _ in range(trials):
            (message,) = random_messages(rng, 1)
            signal = (message, rng.uniform(300, 2700), rng.uniform(-DT_SPREAD[mode], DT_SPREAD[mode]), snr)
            decoded = recipe.decode_recording(period(rng, mode, [signal], "library"), FS, mode)
            hits += message in {d["text"] for d in decoded}
        shares.append(hits / trials)
    curve = "  ".join(f"{snr:g}:{share:.2f}" for snr, share in zip(snrs, shares))
    crossing = [i for i in range(1, len(snrs)) if shares[i - 1] < 0.5 <= shares[i]]
    point = "not crossed"
    if crossing:
        i = crossing[-1]
        point = f"{snrs[i - 1] + (0.5 - shares[i - 1]) / (shares[i] - shares[i - 1]) * (snrs[i] - snrs[i - 1]):.1f} dB"
    print(f"{mode} single signal, share decoded at each SNR (dB in 2500 Hz): {curve}")
    print(f"{mode} single signal, 50% point {point} (target <= {target} dB)")


def main():
    trials = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    with tempfile.TemporaryDirectory(prefix="ft8sim-") as directory:
        crowded_band("ft8", "library", trials, directory, 90)
        crowded_band("ft8", "ft8sim", trials, directory, 90)
        crowded_band("ft4", "library", trials, directory, 80)
    single_signals("ft8", 3 * trials, [-23, -22, -21, -20, -19], -19.1)
    single_signals("ft4", 3 * trials, [-19, -18, -17, -16, -15], -14.5)
    rng = np.random.default_rng(3)
    audio = period(rng, "ft8", crowded(rng, "ft8"), "library")
    seconds = median_seconds(lambda: recipe.decode_recording(audio, FS, "ft8"), repeat=7)
    print(f"ft8 crowded 15-s period decoded in {seconds * 1e3:.0f} ms (median of 7, target <= 1000 ms)")


if __name__ == "__main__":
    main()
