"""DvbTFrameDemod through multipath channels: the C/N at which half the frames decode, and the
echo delays at which a constellation decodes at all.

Frames: guard "1/8", 68 symbols, payloads that fill the frame (QPSK 1/2 9537 bytes, 16-QAM 1/2
21318, 64-QAM 2/3 44880). Channel: the direct path (0 dB, delay 0) plus echoes, each of a given
level and delay (in samples at the DVB-T sample rate) with a random phase; a negative delay is a
pre-echo, arriving ahead of the direct path. The earliest path comes after a lead-in of noise only
of random length (up to one symbol), then white Gaussian noise over everything. C/N is the
received power (all paths) over the noise power in the 1705 occupied carriers, that is over
1705/2048 of the noise variance. Each frame of a point has its own seed (phases, lead-in, noise),
the same at every C/N.

For each channel the C/N is scanned upwards in 1 dB steps until at least half the frames decode,
then in 0.25 dB steps across that last step; the 50% point is interpolated linearly between the
two fine points around it. "never" means fewer than half decoded up to --max-cn.

--reach scans one echo (0 dB or -6 dB, after or before the direct path) over delays of 1 to the
guard length in --step steps, refined to single samples wherever the verdict changes, and prints
the delays at which at least half the frames decode at --max-cn.

    dvb_t_echo.py [--frames N] [--modes qpsk,qam16,qam64] [--channels SPEC] [--max-cn DB] [--jobs J]
    dvb_t_echo.py --at CN --modes qpsk --channels=0@2,-6@8   (decoded frames at one C/N)
    dvb_t_echo.py --reach [--step S]

A channel SPEC is "awgn" or its echoes LEVEL@DELAY joined by "+" (-6@32, -3@-64, -3@24+-6@60),
channels comma-separated; give the list with "=" when it starts with a minus sign. --jobs runs
that many processes, one channel (or delay) at a time each.

Run from the build tree: PYTHONPATH=build/rel python bench/python/dvb_t_echo.py
"""

import argparse
from multiprocessing import Pool

import numpy as np

import kavro_sdr as k

GUARD, CP = "1/8", 256
PERIOD = CP + 2048
OCCUPIED = 1705
MODES = {"qpsk": ("qpsk", "1/2", 9537), "qam16": ("qam16", "1/2", 21318), "qam64": ("qam64", "2/3", 44880)}
FIRST_CN = {"qpsk": 1.0, "qam16": 7.0, "qam64": 13.0}

# Each channel: its echoes as (level in dB, delay in samples); () is no echo.
CHANNELS = [
    (),
    ((0, 2),), ((0, 8),), ((0, 16),), ((0, 32),), ((0, 64),), ((0, 84),), ((0, 88),),
    ((-6, 2),), ((-6, 8),), ((-6, 32),), ((-6, 48),), ((-6, 64),),
    ((-6, -8),), ((-6, -32),), ((-6, -64),), ((-6, -128),),
    ((-3, 64),), ((-3, -64),), ((-3, 100),), ((-3, -100),),
    ((-3, 24), (-6, 60)),
    ((-4, 80), (-8, 180)),
]
REACH_ECHOES = [0, -6]  # levels in dB, each scanned after and before the direct path


def spec_of(echoes):
    return "+".join(f"{level:g}@{delay}" for level, delay in echoes) or "awgn"


def parse_channel(spec):
    if spec == "awgn":
        return ()
    return tuple((float(level), int(delay)) for level, delay in (echo.split("@") for echo in spec.split("+")))


def multipath(iq, echoes, phases):
    """The frame through the direct path and its echoes, the last path's tail included."""
    paths = [(0.0, 0, 0.0)] + [(level, delay, phase) for (level, delay), phase in zip(echoes, phases)]
    first = min(delay for _, delay, _ in paths)
    out = np.zeros(iq.size + max(delay for _, delay, _ in paths) - first, np.complex64)
    for level, delay, phase in paths:
        start = delay - first
        out[start:start + iq.size] += (10 ** (level / 20) * np.exp(1j * phase) * iq).astype(np.complex64)
    return out


class Trial:
    """One frame through the channel, ready for any C/N: its own phases, lead-in and noise shape."""

    def __init__(self, iq, echoes, seed):
        rng = np.random.default_rng(seed)
        lead = int(rng.integers(0, PERIOD))
        received = multipath(iq, echoes, rng.uniform(0, 2 * np.pi, len(echoes)))
        self.power = float(np.mean(np.abs(received) ** 2))
        self.signal = np.concatenate([np.zeros(lead, np.complex64), received])
        self.unit_noise = rng.standard_normal(2 * self.signal.size, dtype=np.float32).view(np.complex64)
        self.unit_noise *= np.float32(np.sqrt(0.5))

    def at(self, cn_db):
        variance = self.power * 2048 / (OCCUPIED * 10 ** (cn_db / 10))
        return self.signal + self.unit_noise * np.float32(np.sqrt(variance))


class Point:
    """Decoded-frame counts of one mode and channel at any C/N (cached)."""

    def __init__(self, mode, echoes, frames):
        constellation, rate, size = MODES[mode]
        params = k.DvbTFrameParams(GUARD, constellation, rate)
        payload = np.random.default_rng(1).integers(0, 256, size, dtype=np.uint8)
        frame = k.DvbTFrameMod(params).modulate(payload)
        self.n_symbols, self.size, self.expected = frame.n_symbols, size, payload.tobytes()
        self.demod = k.DvbTFrameDemod(params)
        self.trials = [Trial(frame.iq, echoes, 5000 + seed) for seed in range(frames)]
        self.counts = {}

    def decoded(self, cn_db):
        if cn_db not in self.counts:
            good = 0
            for trial in self.trials:
                try:
                    good += self.demod.decode(trial.at(cn_db), self.n_symbols, self.size).payload == self.expected
                except ValueError:
                    pass
            self.counts[cn_db] = good
        return self.counts[cn_db]


def half_point(point, frames, start, max_cn):
    """The interpolated C/N of 50% decoded frames, or None."""
    half = frames / 2
    cn = start
    while point.decoded(cn) < half:
        cn += 1.0
        if cn > max_cn:
            return None
    low = cn - 1.0
    fine = [low + 0.25 * i for i in range(5)]
    for a, b in zip(fine, fine[1:]):
        fa, fb = point.decoded(a), point.decoded(b)
        if fa < half <= fb:
            return a + (b - a) * (half - fa) / (fb - fa)
    return low if point.decoded(low) >= half else cn


def label(mode, echoes):
    constellation, rate, _ = MODES[mode]
    return f"{constellation:5s} {rate}  {spec_of(echoes):11s}"


def threshold_line(task):
    mode, echoes, frames, max_cn = task
    found = half_point(Point(mode, echoes, frames), frames, FIRST_CN[mode], max_cn)
    text = f"{found:5.1f} dB" if found is not None else f"never up to {max_cn:.0f} dB"
    return f"{label(mode, echoes)}  50% at {text}"


def count_line(task):
    mode, echoes, frames, cn = task
    return f"{label(mode, echoes)}  C/N {cn:5.1f} dB: {Point(mode, echoes, frames).decoded(cn)}/{frames} decoded"


def decodes(task):
    """Whether at least half the frames decode at the C/N given."""
    mode, echoes, frames, cn = task
    return 2 * Point(mode, echoes, frames).decoded(cn) >= frames


def decoding_runs(delays, verdicts):
    """The runs of consecutive delays that decode, as "a-b" texts."""
    runs, start = [], None
    for i, (delay, good) in enumerate(zip(delays, verdicts)):
        if good and start is None:
            start = delay
        if start is not None and (not good or i == len(delays) - 1):
            runs.append(f"{start}-{delay if good else delays[i - 1]}")
            start = None
    return ", ".join(runs) or "none"


def reach_line(pool, mode, level, sign, args):
    """The delays (1 to the guard length) at which one echo lets half the frames decode."""
    verdict = {}

    def judge(delays):
        tasks = [(mode, ((level, sign * d),), args.frames, args.max_cn) for d in delays]
        verdict.update(zip(delays, pool.map(decodes, tasks)))

    judge(sorted({*range(1, CP + 1, args.step), CP}))
    coarse = sorted(verdict)
    judge([d for a, b in zip(coarse, coarse[1:]) if verdict[a] != verdict[b] for d in range(a + 1, b)])
    delays = sorted(verdict)
    echo = f"{level:g} dB echo " + ("after" if sign > 0 else "before")
    constellation, rate, _ = MODES[mode]
    return (f"{constellation:5s} {rate}  {echo:19s}  decodes at {args.max_cn:.0f} dB "
            f"at delays {decoding_runs(delays, [verdict[d] for d in delays])}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--modes", default="qpsk,qam16,qam64")
    parser.add_argument("--channels", default=None)
    parser.add_argument("--max-cn", type=float, default=40.0)
    parser.add_argument("--at", type=float, default=None)
    parser.add_argument("--reach", action="store_true")
    parser.add_argument("--step", type=int, default=4)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()
    modes = args.modes.split(",")
    with Pool(args.jobs) as pool:
        if args.reach:
            for mode in modes:
                for level in REACH_ECHOES:
                    for sign in (1, -1):
                        print(reach_line(pool, mode, level, sign, args), flush=True)
            return
        channels = [parse_channel(s) for s in args.channels.split(",")] if args.channels else CHANNELS
        work, last = (count_line, args.at) if args.at is not None else (threshold_line, args.max_cn)
        tasks = [(mode, echoes, args.frames, last) for mode in modes for echoes in channels]
        for line in pool.imap(work, tasks):
            print(line, flush=True)


if __name__ == "__main__":
    main()
