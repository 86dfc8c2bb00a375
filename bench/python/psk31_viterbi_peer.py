"""GNU Radio's trellis Viterbi decoder on the QPSK31 code, the peer of the C++ benchmark
BM_ViterbiDecode (bench/psk31): fsm(1, 2, [0o25, 0o23]), the four rotations as its
two-dimensional table, Euclidean metric, 10^6 noisy pairs of its own encoder's output.

Runs under the Python that has gnuradio (Debian's /usr/bin/python3), pinned to one core; prints
the median pairs per second and checks, before timing, that noiseless pairs decode to the sent
bits (but for a block's last bit now and then). Skipped when `import gnuradio` fails there.
"""

import os
import subprocess
import sys

PEER = r'''
import statistics, sys, time
import numpy as np
from gnuradio import blocks, digital, gr, trellis

n = 1_000_000
code = trellis.fsm(1, 2, [0o25, 0o23])
table = [1.0, 0.0, 0.0, 1.0, -1.0, 0.0, 0.0, -1.0]      # output symbol o -> rotation j^o


def run(bits, sigma, seed):
    tb = gr.top_block()
    source = blocks.vector_source_b(bits.tolist(), False)
    encoder = trellis.encoder_bb(code, 0, 1000)  # restarts at state 0 every decoder block
    mapper = digital.chunks_to_symbols_bf(table, 2)
    noise = np.random.default_rng(seed).normal(0.0, sigma, 2 * n).astype(np.float32)
    # The channel: the mapped pairs plus noise, captured first so that only the decoder is timed.
    sink = blocks.vector_sink_f()
    tb.connect(source, encoder, mapper, sink)
    tb.run()
    pairs = np.asarray(sink.data(), np.float32) + noise
    decode = gr.top_block()
    decoder = trellis.viterbi_combined_fb(code, 1000, 0, -1, 2, table, digital.TRELLIS_EUCLIDEAN)
    out = blocks.vector_sink_b()
    decode.connect(blocks.vector_source_f(pairs.tolist(), False), decoder, out)
    start = time.perf_counter()
    decode.run()
    return time.perf_counter() - start, np.asarray(out.data(), np.uint8)


bits = np.random.default_rng(1).integers(0, 2, n, dtype=np.uint8)
_, clean = run(bits, 0.0, 2)
# Its blocks end in an unknown state, which can cost a block's last bit even without noise.
assert np.mean(clean != bits) < 1e-3, "GNU Radio did not decode its own noiseless pairs"
times = [run(bits, 0.5, 3 + k)[0] for k in range(5)]
print(f"GNU Radio trellis viterbi_combined_fb (QPSK31 code): {n / statistics.median(times) / 1e6:.1f} M pairs/s")
'''


def main():
    core = os.environ.get("KAVRO_BENCH_CORE", "5")
    if subprocess.run(["/usr/bin/python3", "-c", "import gnuradio"], capture_output=True).returncode != 0:
        print("GNU Radio not installed: the Viterbi peer is skipped")
        return
    subprocess.run(["taskset", "-c", core, "/usr/bin/python3", "-c", PEER], check=True)


if __name__ == "__main__":
    sys.exit(main())
