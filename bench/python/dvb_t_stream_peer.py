"""DVB-T stream reception beside GNU Radio's gr-dtv 2K receiver, both on one core.

Ours: DvbTFrameStreamDemod fed twenty back-to-back 68-symbol frames (QPSK 1/2 at "1/4", 9537
bytes each) and one symbol of zeros in 8192-sample chunks, samples per second of the stream.
Peer: the gr-dtv receive chain of dvb_t_rx_peer.py (its --peer mode, run by /usr/bin/python3),
skipped when `import gnuradio` fails there. Timed in wall-clock and process CPU time.

Run from the build tree: PYTHONPATH=build/rel python bench/python/dvb_t_stream_peer.py
"""

import os
import statistics
import time

from dvb_t_rx_peer import CORE, with_peer


def ours(chunk=8192, frames=20, size=9537, repeat=7):
    import numpy as np

    import kavro_sdr as k

    params = k.DvbTFrameParams("1/4", "qpsk", "1/2")
    rng = np.random.default_rng(7)
    mod = k.DvbTFrameMod(params)
    stream = np.concatenate([mod.modulate(rng.integers(0, 256, size, dtype=np.uint8)).iq for _ in range(frames)]
                            + [np.zeros(2560, np.complex64)])
    wall, cpu = [], []
    for _ in range(repeat):
        rx = k.DvbTFrameStreamDemod(params, 68, size)
        start_wall, start_cpu = time.perf_counter(), time.process_time()
        got = sum(len(rx.feed(stream[i:i + chunk])) for i in range(0, stream.size, chunk))
        wall.append(time.perf_counter() - start_wall)
        cpu.append(time.process_time() - start_cpu)
        assert got == frames
    return stream.size / statistics.median(wall), stream.size / statistics.median(cpu)


def main():
    os.sched_setaffinity(0, {CORE})
    wall, cpu = ours()
    line = f"stream qpsk 1/2 1/4 ours {wall / 1e6:6.2f} (cpu {cpu / 1e6:6.2f}) Msamples/s"
    print(with_peer(line, wall, cpu, "1/4", "qpsk", "1/2"), flush=True)


if __name__ == "__main__":
    main()
