"""The streaming frame receiver beside tones, repeating bursts, cut frames and long noise, with fixed
seeds. Every count printed is a count of frames lost or of failures reported where no frame was:

- tones before a frame: a tone 1 to 8 times the frame's rms, 200 to 1000 samples long, ending 0 to
  20 samples before the frame's first sample, at N = 64 to 512 with 4x16 and 2x16 preambles; the
  frame must come back (the rule allows no loss).
- repeating bursts: two copies of the preamble's segment ending 0 to 20 samples before a frame, or
  the frame's first segment overwritten with 1e-15; the frame must come back (copies ending right
  at the frame's first sample make a longer preamble, and with two segments an overwritten first
  one leaves none to repeat: both are counted apart).
- a steady tone 10 and 6 dB under ten frames in noise: frames the stream receives against those
  OfdmFrameDemod decodes from the same samples handed each frame's start (the rule: at least the
  batch count less one in ten).
- cut frames: a frame of 1 to 300 bytes at any ladder entry keeping 34 to 60% of its samples (cut by
  40 to 66%), then two complete frames; both must come back, whole and in 997-sample chunks.
- frames received against per-carrier Es/N0 near the decoding threshold, alone and back to back
  (the detection score, and the probe in a frame's body, must cost no sensitivity).
- noise alone (2e6 samples) at 2x16, 3x8 and 4x16 preambles, N = 64, 256 and 512: failures reported.
- noise with a steady tone (2e7 samples, 4x16): failures reported, and CPU time against noise alone.

Run: PYTHONPATH=build/<dir> python bench/python/frame_link_stream_sweeps.py [--quick]
"""

import argparse
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "python"))
import support  # noqa: E402

import kavro_sdr  # noqa: E402

LADDER = kavro_sdr.McsTable.default_ladder()


def config(n_fft):
    if n_fft == 64:
        return kavro_sdr.OfdmConfig(64, 16, np.zeros(0, np.int32), np.array([-21, -7, 7, 21], np.int32),
                                    np.ones(4, np.complex64), 1e6, 0.0, 1.0, "qpsk", edge_guard=4)
    empty = np.zeros(0, np.int32)
    return kavro_sdr.OfdmConfig(n_fft, n_fft // 4, empty, empty, np.zeros(0, np.complex64), 1e6, 0.0, 1.0, "qpsk",
                                edge_guard=n_fft // 16)


class Link:
    def __init__(self, n_fft=64, repeats=4, length=16):
        self.cfg, self.repeats, self.length = config(n_fft), repeats, length
        self.mod = kavro_sdr.OfdmFrameMod(self.cfg, LADDER, repeats, length)

    def receiver(self):
        return kavro_sdr.OfdmFrameStreamDemod(self.cfg, LADDER, self.repeats, self.length)

    def frame(self, seq, size, entry=0, rng=None):
        payload = support.random_bytes(rng, size) if rng is not None else np.arange(size, dtype=np.uint8)
        return self.mod.modulate_frame(kavro_sdr.FramePacket(payload, seq, entry))

    def sequences(self, x, chunk=None):
        rx = self.receiver()
        sizes = support.chunk_sizes(x.size, chunk or "whole")
        got = sum(support.feed_in_chunks(rx.feed, x, sizes), []) + rx.flush()
        return [f.sequence_num for f in got]


def tones_before_frames(quick):
    lost = tried = 0
    rng = np.random.default_rng(1)
    for n_fft in (64, 128, 256, 512):
        for repeats in (4, 2):
            link = Link(n_fft, repeats, 16)
            f = link.frame(7, 100)
            rms = np.sqrt(np.mean(np.abs(f) ** 2))
            for case in range(15 if quick else 60):
                level, gap, length = rng.uniform(1, 8), int(rng.integers(0, 21)), int(rng.integers(200, 1001))
                lead = 3000
                x = np.concatenate([np.zeros(lead, np.complex64), f, np.zeros(2000, np.complex64)])
                x[lead - gap - length:lead - gap] = level * rms * np.exp(2j * np.pi * rng.uniform(-0.5, 0.5)
                                                                         * np.arange(length) + 1j * rng.uniform(0, 7))
                lost += 7 not in link.sequences(x)
                tried += 1
    return lost, tried


def repeating_bursts():
    """Frames lost after two copies of the preamble's segment ending 1 to 20 samples before a frame,
    to a frame whose first segment is overwritten, and to copies ending right at its first sample
    (a longer preamble, as far as any correlation can tell)."""
    lost = {"gap 1-20": 0, "first segment 1e-15": 0, "gap 0": 0}
    tried = dict.fromkeys(lost, 0)
    for repeats in (4, 2):
        link = Link(64, repeats, 16)
        f = link.frame(7, 100)
        for gap in range(21):
            x = np.concatenate([np.zeros(3000, np.complex64), f, np.zeros(2000, np.complex64)])
            x[3000 - gap - 32:3000 - gap] = np.tile(f[:16], 2)
            key = "gap 0" if gap == 0 else "gap 1-20"
            lost[key] += 7 not in link.sequences(x)
            tried[key] += 1
        x = np.concatenate([np.zeros(3000, np.complex64), f, np.zeros(2000, np.complex64)])
        x[3000:3016] = 1e-15
        lost["first segment 1e-15"] += 7 not in link.sequences(x)
        tried["first segment 1e-15"] += 1
    return ", ".join(f"{key}: {lost[key]} of {tried[key]}" for key in lost)


def steady_tone(under_db, seeds):
    link = Link()
    dem = kavro_sdr.OfdmFrameDemod(link.cfg, LADDER)
    batch = stream = 0
    for seed in seeds:
        r = np.random.default_rng(seed)
        for i in range(10):
            f = link.mod.modulate_frame(kavro_sdr.FramePacket(r.integers(0, 256, 200).astype(np.uint8), i, i % 4))
            a = np.sqrt(np.mean(np.abs(f) ** 2))
            x = np.concatenate([np.zeros(500, np.complex64), f, np.zeros(500, np.complex64)])
            x = (x + 10 ** (-under_db / 20) * a * np.exp(2j * np.pi * r.uniform(-0.5, 0.5) * np.arange(x.size))
                 + 0.07 * a * (r.standard_normal(x.size) + 1j * r.standard_normal(x.size))).astype(np.complex64)
            try:
                batch += dem.decode(x[500 + 144:]) is not None
            except ValueError:
                pass
            stream += len(link.sequences(x))
    return batch, stream


def cut_frames(quick):
    link = Link()
    lost = tried = 0
    for case in range(40 if quick else 280):
        rng = np.random.default_rng(500 + case)
        cut = link.frame(0, int(rng.integers(1, 301)), case % 4, rng)
        kept = int(cut.size * rng.uniform(0.34, 0.60))
        following = [link.frame(seq, int(rng.integers(1, 301)), int(rng.integers(0, 4)), rng) for seq in (1, 2)]
        x = np.concatenate([cut[:kept]] + following + [np.zeros(300, np.complex64)])
        for chunk in (None, 997):
            got = link.sequences(x, chunk)
            lost += (1 not in got) + (2 not in got)
            tried += 2
    return lost, tried


def noise_failures(n_fft, repeats, length, samples):
    link = Link(n_fft, repeats, length)
    rx = link.receiver()
    n = (np.random.default_rng(2).standard_normal(2 * samples).view(np.complex128) / np.sqrt(2)).astype(np.complex64)
    failures = 0
    for at in range(0, samples, 1 << 16):
        failures += len(rx.feed_with_errors(n[at:at + (1 << 16)]))
    return failures


def decoded_curve(repeats, length, trials):
    """Frames received from single 50-byte frames at ladder entry 0, per per-carrier Es/N0."""
    link = Link(64, repeats, length)
    row = []
    for es_n0_db in (1.0, 1.5, 2.0, 2.5, 3.0, 4.0):
        rng = np.random.default_rng(int(es_n0_db * 10) + repeats)
        rx, got = link.receiver(), 0
        for seq in range(trials):
            f = link.frame(seq, 50, 0, rng).astype(np.complex128)
            x = np.concatenate([np.zeros(int(rng.integers(0, 300))), f, np.zeros(200)])
            x = x + support.complex_noise(rng, x.size, support.per_carrier_noise_variance(es_n0_db, 64))
            x = (x * np.exp(2j * np.pi * 0.37 / 64 * np.arange(x.size) + 1j * rng.uniform(0, 6.3))).astype(np.complex64)
            rx.clear()
            got += any(p.sequence_num == seq for p in rx.feed(x) + rx.flush())
        row.append(f"{es_n0_db} dB: {got}")
    return ", ".join(row)


def back_to_back_curve(repeats, length, frames):
    """Frames received from 50-byte frames at ladder entry 0 sent back to back (each found inside
    the body the one before it announced), per per-carrier Es/N0."""
    link = Link(64, repeats, length)
    row = []
    for es_n0_db in (2.0, 2.5, 3.0, 4.0):
        rng = np.random.default_rng(int(es_n0_db * 10) + repeats)
        sent = [link.frame(seq, 50, 0, rng).astype(np.complex128) for seq in range(frames)]
        x = np.concatenate([np.zeros(500)] + sent + [np.zeros(500)])
        x = x + support.complex_noise(rng, x.size, support.per_carrier_noise_variance(es_n0_db, 64))
        x = (x * np.exp(2j * np.pi * 0.37 / 64 * np.arange(x.size))).astype(np.complex64)
        rx = link.receiver()
        row.append(f"{es_n0_db} dB: {len({p.sequence_num for p in rx.feed(x) + rx.flush()})}")
    return ", ".join(row)


def cpu_seconds(x, link):
    rx = link.receiver()
    start = time.process_time()
    failures = 0
    for at in range(0, x.size, 1 << 16):
        failures += len(rx.feed_with_errors(x[at:at + (1 << 16)]))
    return time.process_time() - start, failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer cases and 2e6 instead of 2e7 samples")
    args = parser.parse_args()

    print("Frames lost after a tone: %d of %d" % tones_before_frames(args.quick))
    print("Frames lost to repeating bursts (4x16 and 2x16):", repeating_bursts())
    for under in (10, 6):
        batch, stream = steady_tone(under, range(3))
        print(f"Steady tone {under} dB under: batch {batch}, stream {stream} of 30")
    print("Frames lost after a frame cut by 40-66%%: %d of %d" % cut_frames(args.quick))
    for n_fft, repeats, length in ((64, 2, 16), (64, 3, 8), (64, 4, 16), (256, 2, 16), (512, 2, 16)):
        failures = noise_failures(n_fft, repeats, length, 2_000_000)
        print(f"Noise 2e6 samples, N={n_fft} {repeats}x{length}: {failures} failures reported")
    for repeats, length in ((4, 16), (2, 16)):
        trials = 50 if args.quick else 200
        print(f"Frames received of {trials}, {repeats}x{length}: {decoded_curve(repeats, length, trials)}")
        frames = 25 if args.quick else 100
        print(f"Frames received back to back of {frames}, {repeats}x{length}: {back_to_back_curve(repeats, length, frames)}")
    total = 2_000_000 if args.quick else 20_000_000
    rng = np.random.default_rng(3)
    n = (rng.standard_normal(2 * total).view(np.complex128) / np.sqrt(2)).astype(np.complex64)
    link = Link()
    noise_cpu, noise_fail = cpu_seconds(n, link)
    tone = (n + np.exp(2j * np.pi * 0.2 * np.arange(total))).astype(np.complex64)
    tone_cpu, tone_fail = cpu_seconds(tone, link)
    print(f"Noise {total:.0e} samples: {noise_fail} failures, {noise_cpu:.2f} s; with a steady tone: "
          f"{tone_fail} failures, {tone_cpu:.2f} s ({tone_cpu / noise_cpu:.2f}x)")


if __name__ == "__main__":
    main()
