"""DvbTFrameDemod through a two-path channel: the C/N at which half the frames decode.

Frames: guard "1/8", 68 symbols, payloads that fill the frame (QPSK 1/2 9537 bytes, 16-QAM 1/2
21318, 64-QAM 2/3 44880). Channel: the frame plus one echo of the given level and delay (in
samples at the DVB-T sample rate) with a random phase, after a lead-in of noise only of random
length (up to one symbol), then white Gaussian noise over everything. C/N is the received power
(direct path plus echo) over the noise power in the 1705 occupied carriers, that is over
1705/2048 of the noise variance. Each frame of a point has its own seed (phase, lead-in, noise),
the same at every C/N.

For each channel the C/N is scanned upwards in 1 dB steps until at least half the frames decode,
then in 0.25 dB steps across that last step; the 50% point is interpolated linearly between the
two fine points around it. "never" means fewer than half decoded up to --max-cn.

    dvb_t_echo.py [--frames N] [--modes qpsk,qam16,qam64] [--channels SPEC] [--max-cn DB]
    dvb_t_echo.py --at CN --modes qpsk --channels=0@2,-6@8   (decoded frames at one C/N)

A channel SPEC is "awgn" or LEVEL@DELAY (e.g. -6@32), comma-separated; give the list with "=" when
it starts with a minus sign.

Run from the build tree: PYTHONPATH=build/rel python bench/python/dvb_t_echo.py
"""

import argparse

import numpy as np

import kavro_sdr as k

GUARD, CP = "1/8", 256
PERIOD = CP + 2048
OCCUPIED = 1705
MODES = {"qpsk": ("qpsk", "1/2", 9537), "qam16": ("qam16", "1/2", 21318), "qam64": ("qam64", "2/3", 44880)}
CHANNELS = "awgn,0@2,0@8,0@16,0@32,0@64,0@84,0@88,-6@2,-6@8,-6@32,-6@64"


def parse_channel(spec):
    """(level in dB, delay in samples), or None for AWGN."""
    if spec == "awgn":
        return None
    level, delay = spec.split("@")
    return float(level), int(delay)


def two_path(iq, channel, phase):
    """The frame and its echo, the echo's tail included."""
    if channel is None:
        return iq.astype(np.complex64)
    level, delay = channel
    out = np.zeros(iq.size + delay, np.complex64)
    out[:iq.size] = iq
    out[delay:] += (10 ** (level / 20) * np.exp(1j * phase) * iq).astype(np.complex64)
    return out


class Trial:
    """One frame through the channel, ready for any C/N: its own phase, lead-in and noise shape."""

    def __init__(self, iq, channel, seed):
        rng = np.random.default_rng(seed)
        lead = int(rng.integers(0, PERIOD))
        received = two_path(iq, channel, rng.uniform(0, 2 * np.pi))
        self.power = float(np.mean(np.abs(received) ** 2))
        self.signal = np.concatenate([np.zeros(lead, np.complex64), received])
        self.unit_noise = rng.standard_normal(2 * self.signal.size, dtype=np.float32).view(np.complex64)
        self.unit_noise *= np.float32(np.sqrt(0.5))

    def at(self, cn_db):
        variance = self.power * 2048 / (OCCUPIED * 10 ** (cn_db / 10))
        return self.signal + self.unit_noise * np.float32(np.sqrt(variance))


class Point:
    """Decoded-frame counts of one mode and channel at any C/N (cached)."""

    def __init__(self, mode, channel, frames):
        constellation, rate, size = MODES[mode]
        params = k.DvbTFrameParams(GUARD, constellation, rate)
        payload = np.random.default_rng(1).integers(0, 256, size, dtype=np.uint8)
        frame = k.DvbTFrameMod(params).modulate(payload)
        self.n_symbols, self.size, self.expected = frame.n_symbols, size, payload.tobytes()
        self.demod = k.DvbTFrameDemod(params)
        self.trials = [Trial(frame.iq, channel, 5000 + seed) for seed in range(frames)]
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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--modes", default="qpsk,qam16,qam64")
    parser.add_argument("--channels", default=None)
    parser.add_argument("--max-cn", type=float, default=40.0)
    parser.add_argument("--at", type=float, default=None)
    args = parser.parse_args()
    starts = {"qpsk": 1.0, "qam16": 7.0, "qam64": 13.0}
    for mode in args.modes.split(","):
        constellation, rate, _ = MODES[mode]
        for spec in (args.channels or CHANNELS).split(","):
            point = Point(mode, parse_channel(spec), args.frames)
            label = f"{constellation:5s} {rate}  {spec:7s}"
            if args.at is not None:
                print(f"{label}  C/N {args.at:5.1f} dB: {point.decoded(args.at)}/{args.frames} decoded", flush=True)
                continue
            found = half_point(point, args.frames, starts[mode], args.max_cn)
            text = f"{found:5.1f} dB" if found is not None else f"never up to {args.max_cn:.0f} dB"
            print(f"{label}  50% at {text}", flush=True)


if __name__ == "__main__":
    main()
