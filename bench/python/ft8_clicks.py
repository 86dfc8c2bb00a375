"""Clicks, static and level steps against the FT8/FT4 recording recipe (examples/ft8_recording.py):
crowded periods of the library's frames (20 signals at -20..0 dB in 2500 Hz), each decoded clean
and then with, at random places, three clicks of 10^3..10^6 x the noise's rms, a 50 ms burst of
static 10^3 x, a full-scale click in 16-bit audio, and a level step x10 with a DC offset of 100 x.
For each: the messages of the clean decode lost, those gained, and the largest change of a
reported SNR (target: none lost, none gained, within 1 dB).
Arguments: periods per mode (default 10)."""

import importlib.util
import pathlib
import sys

import numpy as np

# The recipe and the period makers, from the recipe's main bench, whose file bears its name.
_spec = importlib.util.spec_from_file_location("ft8_recording_bench", pathlib.Path(__file__).with_name("ft8_recording.py"))
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)
recipe = bench.recipe


def impairments(rng, size):
    """(name, audio -> impaired audio) with places and sizes drawn from rng."""
    at = rng.integers(0, size, 3)
    clicks = rng.choice([-1, 1], 3) * 10 ** rng.uniform(3, 6, 3)
    burst = int(rng.integers(0, size - 600))
    step, noise = int(rng.integers(size // 5, 4 * size // 5)), rng.normal(0.0, 1e3, 600)

    def clicked(a):
        out = a.copy()
        out[at] += clicks
        return out

    def static(a):
        out = a.copy()
        out[burst:burst + 600] += noise
        return out

    def full_scale(a):
        out = np.round(8.0 * a)
        out[at[0]] = 32767
        return out.astype(np.int16)

    def stepped(a):
        return np.where(np.arange(size) < step, 1.0, 10.0) * a + 100.0

    return [("3 clicks 1e3..1e6", clicked), ("50 ms static 1e3", static), ("16-bit full scale", full_scale),
            ("level x10 + DC 100", stepped)]


def sweep(mode, periods):
    rng = np.random.default_rng(29)
    totals = {}
    for _ in range(periods):
        audio = bench.period(rng, mode, bench.crowded(rng, mode), "library")
        clean = {d["text"]: d["snr_db"] for d in recipe.decode_recording(audio, bench.FS, mode)}
        for name, impair in impairments(rng, audio.size):
            got = {d["text"]: d["snr_db"] for d in recipe.decode_recording(impair(audio), bench.FS, mode)}
            lost, gained, worst = totals.get(name, (0, 0, 0.0))
            change = max((abs(got[t] - clean[t]) for t in clean.keys() & got.keys()), default=0.0)
            totals[name] = lost + len(clean.keys() - got.keys()), gained + len(got.keys() - clean.keys()), max(worst, change)
    for name, (lost, gained, worst) in totals.items():
        print(f"{mode} {periods} crowded periods, {name:18s}: {lost} lost, {gained} gained,"
              f" SNR within {worst:.1f} dB of the clean decode's")


def main():
    periods = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    sweep("ft8", periods)
    sweep("ft4", periods)


if __name__ == "__main__":
    main()
