"""DVB-T receivers at a carrier offset: the C/N at which half the frames decode, against no offset.

Frames, channels, C/N and the 50% search are those of dvb_t_echo.py (guard "1/8", 68 symbols,
payloads that fill the frame, a random lead-in, white Gaussian noise over everything). The
received signal (all paths) is then turned by the offset, in carrier spacings (one spacing is
1/2048 of the sample rate, 586.5 Hz at the "1mhz" rate), before the noise is added. Offsets marked
"search" are decoded with the whole-carrier search on; the others without it. Each line gives the
50% point and its distance from the same channel's point at no offset without the search.

--receivers decodes super-frames of four such frames (QPSK 1/2 unless --modes says otherwise) at
one C/N, AWGN only, with the three receivers on the same samples: each frame alone
(DvbTFrameDemod), the super-frame (DvbTSuperFrameDemod) and the stream of them
(DvbTFrameStreamDemod), and counts the frames each decodes.

    dvb_t_offset.py [--frames N] [--modes qpsk,qam64] [--channels SPEC] [--offsets LIST] [--jobs J]
    dvb_t_offset.py --receivers CN [--frames N] [--offsets LIST]

An offset LIST is comma-separated, "s" after an offset turning the search on (0.45,3.3s); give it
with "=" when it starts with a minus sign. Channels as in dvb_t_echo.py.

Run from the build tree: PYTHONPATH=build/rel python bench/python/dvb_t_offset.py
"""

import argparse
import os
import sys
from multiprocessing import Pool

import numpy as np

import kavro_sdr as k

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dvb_t_echo import FIRST_CN, GUARD, MODES, Point, Trial, half_point, parse_channel, spec_of  # noqa: E402

OFFSETS = "0,0.25,-0.25,0.45,-0.45,0s,3.3s,-2.4s"
CHANNELS = "awgn,-6@32"


def parse_offset(text):
    """(offset in carrier spacings, whether the whole-carrier search runs)."""
    return (float(text[:-1]), True) if text.endswith("s") else (float(text), False)


def shifted(iq, offset):
    return (iq * np.exp(2j * np.pi * offset * np.arange(iq.size) / 2048)).astype(np.complex64)


class OffsetPoint(Point):
    """Decoded-frame counts of one mode, channel and carrier offset at any C/N (cached)."""

    def __init__(self, mode, echoes, frames, offset, search):
        super().__init__(mode, echoes, frames)
        self.demod = self.demod.with_integer_cfo_correction(search)
        for trial in self.trials:
            trial.signal = shifted(trial.signal, offset)


def threshold(task):
    mode, echoes, frames, (offset, search) = task
    return half_point(OffsetPoint(mode, echoes, frames, offset, search), frames, FIRST_CN[mode], 40.0)


def offset_label(offset, search):
    return f"{offset:+5.2f}" + (" search" if search else "       ")


def threshold_lines(pool, args):
    modes = args.modes.split(",")
    channels = [parse_channel(spec) for spec in args.channels.split(",")]
    offsets = [parse_offset(text) for text in args.offsets.split(",")]
    for mode in modes:
        constellation, rate, _ = MODES[mode]
        for echoes in channels:
            tasks = [(mode, echoes, args.frames, offset) for offset in [(0.0, False)] + offsets]
            reference, *found = pool.map(threshold, tasks)
            for (offset, search), cn in zip(offsets, found):
                text = "never" if cn is None else f"{cn:5.2f} dB"
                delta = "" if cn is None or reference is None else f"  ({cn - reference:+.2f} dB)"
                print(f"{constellation:5s} {rate}  {spec_of(echoes):7s}  offset {offset_label(offset, search)}"
                      f"  50% at {text}{delta}", flush=True)


def receivers(task):
    """Frames decoded by the three receivers from the same noisy super-frames."""
    mode, frames, cn, (offset, search) = task
    constellation, rate, size = MODES[mode]
    sp = k.DvbTSuperFrameParams(GUARD, constellation, rate)
    payload = np.random.default_rng(1).integers(0, 256, 4 * size, dtype=np.uint8)
    sf = k.DvbTSuperFrameMod(sp).modulate(payload)
    quarter = sf.iq.size // 4
    expected = [payload[i * size:(i + 1) * size].tobytes() for i in range(4)]
    frame_rx = k.DvbTFrameDemod(k.DvbTFrameParams(GUARD, constellation, rate)).with_integer_cfo_correction(search)
    super_rx = k.DvbTSuperFrameDemod(sp).with_integer_cfo_correction(search)
    counts = [0, 0, 0]
    for seed in range(frames):
        trial = Trial(sf.iq, (), 7000 + seed)
        trial.signal = shifted(trial.signal, offset)
        iq = trial.at(cn)
        lead = iq.size - sf.iq.size
        for i in range(4):
            # From half a prefix before the frame: an earlier start could lock onto the frame before.
            start, end = max(lead + i * quarter - 128, 0), lead + (i + 1) * quarter + 2304
            try:
                got = frame_rx.decode(iq[start:end], sf.symbols_per_frame, size)
                counts[0] += got.payload == expected[i]
            except ValueError:
                pass
        try:
            counts[1] += 4 * (super_rx.decode(iq, sf.symbols_per_frame, sf.frame_payload_lens).payload
                              == payload.tobytes())
        except ValueError:
            pass
        stream = k.DvbTFrameStreamDemod(k.DvbTFrameParams(GUARD, constellation, rate), sf.symbols_per_frame, size,
                                        integer_cfo_correction=search)
        tail = np.zeros(quarter // sf.symbols_per_frame, np.complex64)
        counts[2] += sum(f.payload in expected for f in stream.feed(np.concatenate([iq, tail])))
    return offset, search, counts


def receiver_lines(pool, args):
    mode = args.modes.split(",")[0]
    constellation, rate, _ = MODES[mode]
    offsets = [parse_offset(text) for text in args.offsets.split(",")]
    tasks = [(mode, args.frames, args.receivers, offset) for offset in offsets]
    print(f"{constellation} {rate}, AWGN, C/N {args.receivers:.1f} dB, frames decoded of {4 * args.frames}:")
    for offset, search, (alone, whole, stream) in pool.imap(receivers, tasks):
        print(f"  offset {offset_label(offset, search)}  frame {alone:3d}  super-frame {whole:3d}  stream {stream:3d}",
              flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--modes", default="qpsk,qam64")
    parser.add_argument("--channels", default=CHANNELS)
    parser.add_argument("--offsets", default=OFFSETS)
    parser.add_argument("--receivers", type=float, default=None)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()
    with Pool(args.jobs) as pool:
        if args.receivers is not None:
            receiver_lines(pool, args)
        else:
            threshold_lines(pool, args)


if __name__ == "__main__":
    main()
