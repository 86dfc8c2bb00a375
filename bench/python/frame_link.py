"""The COFDM frame link through Python on the reference configuration (64-point FFT, 16-sample
prefix, 50 data carriers, 1 Msample/s, receive back-off 4):

- frame-error-rate curves of the streaming receiver for the four default-ladder entries: AWGN at a
  per-carrier Es/N0, a 0.37-bin carrier offset, random phase and start, 100-byte payloads, a fixed
  seed, 1000 frames a point (--frames to change);
- throughput of modulate_frame, OfdmFrameDemod.decode and OfdmFrameStreamDemod.feed for 1500-byte
  QPSK frames at 14.5 dB, median of repeated runs.

Run: PYTHONPATH=build/<dir> python bench/python/frame_link.py [--frames N] [--no-fer]
"""

import argparse
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "python"))
import support  # noqa: E402
from timing import median_seconds  # noqa: E402

import kavro_sdr  # noqa: E402

N_FFT = 64
CURVES = {  # ladder entry: per-carrier Es/N0 points in dB; the last is the 1% target
    0: [5, 6, 7, 8, 9, 10],
    1: [7, 8, 9, 10, 11, 11.5],
    2: [10, 11, 12, 13, 14, 14.5],
    3: [15, 16, 17, 18, 19, 21],
}


def config():
    return support.frame_link_config().with_rx_window_backoff(4)


def noise(rng, n, snr_db):
    return support.complex_noise(rng, n, support.per_carrier_noise_variance(snr_db, N_FFT))


def frame_error_rate(mod, rx, entry, snr_db, frames, seed):
    rng = np.random.default_rng(seed)
    lost = 0
    for seq in range(frames):
        payload = support.random_bytes(rng, 100)
        frame = mod.modulate_frame(kavro_sdr.FramePacket(payload, seq, entry)).astype(np.complex128)
        x = np.concatenate([np.zeros(int(rng.integers(0, 400))), frame, np.zeros(200)])
        x = x + noise(rng, x.size, snr_db)
        x *= np.exp(1j * (2 * np.pi * 0.37 / N_FFT * np.arange(x.size) + rng.uniform(0, 2 * np.pi)))
        rx.clear()
        got = rx.feed(x.astype(np.complex64))
        lost += not (len(got) == 1 and got[0].sequence_num == seq and np.array_equal(got[0].payload, payload))
    return lost / frames


def throughput(mod, demod, rx):
    rng = np.random.default_rng(5)
    packet = kavro_sdr.FramePacket(support.random_bytes(rng, 1500), 1, 1)
    frame = mod.modulate_frame(packet)
    seconds = median_seconds(lambda: mod.modulate_frame(packet), repeat=50)
    print(f"modulate_frame 1500 B QPSK      {seconds * 1e3:8.3f} ms  {frame.size / seconds / 1e6:7.1f} Msample/s")
    lowpass = kavro_sdr.OfdmFrameMod(config().with_tx_lowpass(31), kavro_sdr.McsTable.default_ladder())
    seconds = median_seconds(lambda: lowpass.modulate_frame(packet), repeat=50)
    print(f"  with a 31-tap low-pass        {seconds * 1e3:8.3f} ms  {frame.size / seconds / 1e6:7.1f} Msample/s")
    body = (frame[144:] + noise(rng, frame.size - 144, 14.5)).astype(np.complex64)
    seconds = median_seconds(lambda: demod.decode(body), repeat=50)
    print(f"OfdmFrameDemod.decode at 14.5 dB {seconds * 1e3:7.3f} ms")
    stream = np.concatenate([mod.modulate_frame(kavro_sdr.FramePacket(packet.payload, i, 1)) for i in range(50)])
    stream = (stream + noise(rng, stream.size, 14.5)).astype(np.complex64)

    def feed_all():
        rx.clear()
        count = sum(len(rx.feed(stream[i:i + 16384])) for i in range(0, stream.size, 16384))
        assert count == 50
    seconds = median_seconds(feed_all, repeat=5)
    print(f"OfdmFrameStreamDemod.feed 16384  {stream.size / seconds / 1e6:7.1f} Msample/s (50 back-to-back frames)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--no-fer", action="store_true")
    args = parser.parse_args()
    cfg, ladder, cache = config(), kavro_sdr.McsTable.default_ladder(), kavro_sdr.CodecCache()
    mod = kavro_sdr.OfdmFrameMod(cfg, ladder, cache=cache)
    demod = kavro_sdr.OfdmFrameDemod(cfg, ladder, cache=cache)
    rx = kavro_sdr.OfdmFrameStreamDemod(cfg, ladder, cache=cache)
    if not args.no_fer:
        names = ["BPSK", "QPSK", "16-QAM", "64-QAM"]
        for entry, points in CURVES.items():
            rates = [frame_error_rate(mod, rx, entry, snr, args.frames, seed=1000 + entry) for snr in points]
            curve = "  ".join(f"{snr:4.1f} dB {rate:6.3f}" for snr, rate in zip(points, rates))
            print(f"FER entry {entry} ({names[entry]:6s}, {args.frames} frames): {curve}")
    throughput(mod, demod, rx)


if __name__ == "__main__":
    main()
