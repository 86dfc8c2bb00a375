"""The streaming frame receiver against damaged streams, on the reference configuration, with fixed
seeds; every count printed is a count of frames lost (the rules allow none):

- cut frames: a frame (any default-ladder entry, 10 to 1500 bytes) missing its last 8 samples up to
  a third of its length, cut at symbol boundaries and inside symbols, followed back to back by two
  complete frames; the two must come back in every chunking. The cut frame itself may be lost.
- bursts before a frame: a burst of 1 to 2000 samples (constant, of random phase, or noise) at
  amplitudes from 2 to 1e30 (its power overflows single precision) and of infinities and NaNs,
  ending 0 to 400 samples before a clean frame; the frame must come back in every chunking, with
  and without noise at a per-carrier Es/N0 of 20 dB. An error report for the burst is allowed.

Run: PYTHONPATH=build/<dir> python bench/python/frame_link_faults.py [--cases N]
"""

import argparse
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "python"))
import support  # noqa: E402

import kavro_sdr  # noqa: E402

N_FFT, SYMBOL = 64, 80
CHUNKINGS = ("whole", 997, SYMBOL, "small")


def chunks(total, plan, rng):
    if plan == "small":
        sizes, left = [], total
        while left > 0:
            sizes.append(min(left, int(rng.integers(1, 701))))
            left -= sizes[-1]
        return sizes
    return support.chunk_sizes(total, plan, rng)


class Link:
    def __init__(self):
        self.cfg, self.ladder = support.frame_link_config(), kavro_sdr.McsTable.default_ladder()
        self.cache = kavro_sdr.CodecCache()
        self.mod = kavro_sdr.OfdmFrameMod(self.cfg, self.ladder, cache=self.cache)

    def frame(self, rng, seq, entry, size):
        payload = support.random_bytes(rng, size)
        return self.mod.modulate_frame(kavro_sdr.FramePacket(payload, seq, entry)), bytes(payload)

    def received(self, x, plan, rng):
        """(sequence number, payload) of every frame received, in order."""
        rx = kavro_sdr.OfdmFrameStreamDemod(self.cfg, self.ladder, cache=self.cache)
        got = sum(support.feed_in_chunks(rx.feed, x, chunks(x.size, plan, rng)), []) + rx.flush()
        return [(f.sequence_num, bytes(f.payload)) for f in got]


def noisy(rng, x, es_n0_db):
    if es_n0_db is None:
        return x.astype(np.complex64)
    return support.add_noise(rng, x, support.per_carrier_noise_variance(es_n0_db, N_FFT))


def cut_lengths(rng, length):
    """Whole-symbol and mid-symbol cuts from 8 samples up to a third of the frame."""
    most = length // 3
    whole = [k * SYMBOL for k in range(1, most // SYMBOL + 1)]
    mid = sorted({8, 100, 400, 600, most} | set(int(c) for c in rng.integers(8, most + 1, 4)))
    return [c for c in mid if c <= most] + [int(c) for c in rng.choice(whole, min(3, len(whole)), replace=False)]


def cut_frames(link, cases):
    """Frames lost after a cut frame, per ladder entry and chunking, and the cases tried."""
    lost = {(entry, plan): 0 for entry in range(4) for plan in CHUNKINGS}
    tried = 0
    for case in range(cases):
        rng = np.random.default_rng(1000 + case)
        entry = case % 4
        cut_frame, _ = link.frame(rng, 0, entry, int(rng.integers(10, 1501)))
        following = [link.frame(rng, seq, int(rng.integers(0, 4)), int(rng.integers(10, 301))) for seq in (1, 2)]
        expected = [(seq, payload) for seq, (_, payload) in zip((1, 2), following)]
        for cut in cut_lengths(rng, cut_frame.size):
            x = np.concatenate([np.zeros(int(rng.integers(0, 500)), np.complex64), cut_frame[:-cut]]
                               + [f for f, _ in following] + [np.zeros(300, np.complex64)])
            x = noisy(rng, x, 30.0)
            for plan in CHUNKINGS:
                got = [r for r in link.received(x, plan, rng) if r[0] != 0]
                lost[(entry, plan)] += len(expected) - len([r for r in got if r in expected])
                tried += len(expected)
    return lost, tried


BURST_LENGTHS = (1, 3, 4, 5, 16, 50, 500, 2000)
BURST_LEVELS = (2.0, 1e3, 1e15, 1e30, np.inf, np.nan)


def burst(rng, kind, length, level):
    if kind == "constant":
        shape = np.ones(length, np.complex128)
    elif kind == "phase":
        shape = np.exp(2j * np.pi * rng.random(length))
    else:
        shape = (rng.normal(size=length) + 1j * rng.normal(size=length)) / np.sqrt(2)
    with np.errstate(invalid="ignore", over="ignore"):
        return (shape * level).astype(np.complex64)


def bursts_before_frames(link, gaps):
    """Frames lost after a burst, per burst level and chunking, and the cases tried."""
    lost = {(level, plan): 0 for level in BURST_LEVELS for plan in CHUNKINGS}
    tried = 0
    rng = np.random.default_rng(7)
    frame, payload = link.frame(rng, 1, 0, 100)
    lead = 3000
    for kind in ("constant", "phase", "noise"):
        for length in BURST_LENGTHS:
            for level in BURST_LEVELS:
                for gap in gaps:
                    for es_n0_db in (None, 20.0):
                        x = noisy(rng, np.concatenate([np.zeros(lead, np.complex64), frame,
                                                       np.zeros(3000, np.complex64)]), es_n0_db)
                        x[lead - gap - length:lead - gap] = burst(rng, kind, length, level)
                        for plan in CHUNKINGS:
                            lost[(level, plan)] += (1, payload) not in link.received(x, plan, rng)
                            tried += 1
    return lost, tried


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", type=int, default=40, help="cut frames tried (ten per ladder entry)")
    args = parser.parse_args()
    link = Link()

    lost, tried = cut_frames(link, args.cases)
    print(f"Frames after a cut frame: {sum(lost.values())} of {tried} lost")
    for entry in range(4):
        row = "  ".join(f"{str(plan):>5}: {lost[(entry, plan)]:3d}" for plan in CHUNKINGS)
        print(f"  ladder entry {entry}  {row}")

    lost, tried = bursts_before_frames(link, gaps=(0, 1, 10, 50, 100, 400))
    print(f"Frames after a burst: {sum(lost.values())} of {tried} lost")
    for level in BURST_LEVELS:
        row = "  ".join(f"{str(plan):>5}: {lost[(level, plan)]:3d}" for plan in CHUNKINGS)
        print(f"  burst amplitude {level:7.0e}  {row}")


if __name__ == "__main__":
    main()
