"""DvbTFrameMod samples per second at guard "1/32", on one core, beside GNU Radio's gr-dtv 2K
transmitter in its own process on the same core (skipped when /usr/bin/python3 has no gnuradio).
    dvb_t_throughput.py [CORE]"""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np

import kavro_sdr
from timing import median_seconds

CASES = [("qpsk", "1/2", 9537), ("qam64", "7/8", 59653)]
PEER = Path(__file__).with_name("dvb_t_gr_peer.py")


def ours(constellation, rate, size, repeat=40):
    mod = kavro_sdr.DvbTFrameMod(kavro_sdr.DvbTFrameParams("1/32", constellation, rate))
    payload = np.random.default_rng(1).integers(0, 256, size, dtype=np.uint8)
    samples = mod.modulate(payload).n_symbols * (2048 + 64)
    seconds = median_seconds(lambda: mod.modulate(payload), 1, repeat)
    return samples / seconds, seconds


def peer(core, constellation, rate):
    probe = subprocess.run(["/usr/bin/python3", "-c", "import gnuradio"], capture_output=True)
    if probe.returncode != 0:
        return None
    result = subprocess.run(["/usr/bin/python3", str(PEER), str(core), constellation, rate, "20000"],
                            capture_output=True, text=True, check=True)
    return float(result.stdout.strip().splitlines()[-1].split()[0])  # gr logs to stdout first


def main():
    core = int(sys.argv[1]) if len(sys.argv) > 1 else sorted(os.sched_getaffinity(0))[-1]
    os.sched_setaffinity(0, {core})
    for constellation, rate, size in CASES:
        rate_ours, seconds = ours(constellation, rate, size)
        rate_peer = peer(core, constellation, rate)
        line = f"{constellation:5s} {rate}  {size:6d} bytes  {seconds * 1e3:6.2f} ms  ours {rate_ours / 1e6:6.1f} Ms/s"
        if rate_peer is not None:
            line += f"  gr-dtv {rate_peer / 1e6:6.1f} Ms/s  ratio {rate_ours / rate_peer:5.2f}"
        else:
            line += "  gr-dtv absent"
        print(line)


if __name__ == "__main__":
    main()
