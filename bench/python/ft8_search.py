"""FT8 receive path against the reference decoder `jt9` (Debian `wsjtx`): 15 s holding ten FT8
messages at -12 dB, written as a real 16-bit 12 kHz WAV. Ours: `ft8_sync` (200-3000 Hz, start
symbols 0-14, 50 candidates) plus `decode_soft` of every candidate, in process, on the same
samples as complex64 with imaginary part 0. Theirs: `jt9 -8 -p 15` as a whole process, in a
temporary directory after one untimed run there (its first run plans FFTs), at its default depth
and with `-d 3`. Medians of repeated runs; decode counts for both."""

import pathlib
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "python" / "ft8"))
import wsjtx  # noqa: E402
from timing import median_seconds  # noqa: E402

import kavro_sdr  # noqa: E402

MESSAGES = ["CQ K1ABC FN31", "K1ABC W9XYZ EN37", "W9XYZ K1ABC -11", "K1ABC W9XYZ R-09", "W9XYZ K1ABC RRR",
            "K1ABC W9XYZ 73", "CQ G4ABC IO91", "G4ABC K1ABC FN31", "CQ JA1XYZ PM95", "VK2ABC JA1XYZ -15"]
SNR_DB = -12.0
AMPLITUDE = 1000.0


def recording(seed=1):
    rng = np.random.default_rng(seed)
    audio = np.zeros(180000)
    for i, message in enumerate(MESSAGES):
        tones = kavro_sdr.Ft8Codec.encode(wsjtx.ft8code(message).payload)
        frame = kavro_sdr.Ft8Mod(12000.0, 400.0 + 240.0 * i, 0.0, 1.0).modulate(tones)
        start = 6000 + int(rng.integers(-1200, 1200))
        audio[start:start + frame.size] += AMPLITUDE * frame.real
    # SNR = (A²/2) / (σ² · 2500/6000) for a sinusoid of amplitude A in real noise of variance σ².
    sigma = np.sqrt((AMPLITUDE**2 / 2) / (10 ** (SNR_DB / 10) * 2500 / 6000))
    audio += rng.normal(0.0, sigma, audio.size)
    return np.clip(np.round(audio), -32768, 32767).astype(np.int16)


def ours(samples):
    iq = samples.astype(np.complex64)
    payloads = []
    for candidate in kavro_sdr.ft8_sync(iq, 12000.0, 200.0, 3000.0, 0, 14, 50):
        payload = kavro_sdr.Ft8Codec.decode_soft(candidate["llr"])
        if payload is not None and payload not in payloads:
            payloads.append(payload)
    return payloads


def jt9(directory, flags):
    out = subprocess.run(["jt9", "-8", "-p", "15", *flags, "input.wav"], cwd=directory, capture_output=True, text=True,
                         check=True).stdout
    return {text for text in MESSAGES if any(line.rstrip().endswith(" " + text) for line in out.splitlines())}


def main():
    samples = recording()
    sent = {wsjtx.ft8code(m).payload for m in MESSAGES}
    decoded = ours(samples)
    our_time = median_seconds(lambda: ours(samples), repeat=9)
    print(f"ours: ft8_sync + decode_soft  {our_time * 1e3:7.1f} ms  decoded {len(sent & set(decoded))} of 10"
          f" ({len(set(decoded) - sent)} not sent)")
    with tempfile.TemporaryDirectory(prefix="jt9-bench-") as directory:
        wsjtx.write_wav(pathlib.Path(directory) / "input.wav", samples)
        for label, flags in [("default depth", []), ("-d 3", ["-d", "3"])]:
            jt9(directory, flags)  # untimed: plans FFTs
            found = jt9(directory, flags)
            seconds = median_seconds(lambda: jt9(directory, flags), repeat=5)
            print(f"jt9 -8 -p 15 {label:14s}  {seconds * 1e3:7.1f} ms  decoded {len(found)} of 10"
                  f"   ratio ours/jt9 {our_time / seconds:5.2f}")


if __name__ == "__main__":
    main()
