"""DVB-T frame reception beside GNU Radio's gr-dtv receiver, both on one core.

Ours: one DvbTFrameDemod decoding 68-symbol frames back to back (QPSK 1/2 at "1/4", 9537 bytes
each; 64-QAM 7/8 at "1/32", 59653 bytes each), eight different frames in turn until at least
20,000 transport packets have been decoded, with the default heap; samples per second of the
frames, and minor page faults per frame (getrusage) over the run. Medians of three runs.
Peer: the receive chain of gr-dtv's dvbt_rx_8k example re-parameterised for 2K in every block
(symbol acquisition, FFT, reference signals, demapper, inner deinterleavers, Viterbi, outer
deinterleaver, Reed-Solomon, energy descrambling) over a file of its own 2K transmitter's output
(the dvbt_tx_2k chain) for 20,000 packets with the same guard, constellation and rate, run by
Debian's /usr/bin/python3 in its own process; the stream is long enough that the packets lost
while the receiver locks on do not inflate its rate. The peer is skipped when `import gnuradio`
fails there.

Both sides run pinned to the same core (KAVRO_BENCH_CORE, default 5) in the same run and are
timed twice: in wall-clock time and in process CPU time (user + system, all threads; other load
on a shared machine does not count there).

Run from the build tree: PYTHONPATH=build/rel python bench/python/dvb_t_rx_peer.py
"""

import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

CASES = [("1/4", "qpsk", "1/2", 9537), ("1/32", "qam64", "7/8", 59653)]
CORE = int(os.environ.get("KAVRO_BENCH_CORE", "5"))
PACKETS = 20000


def cpu_seconds():
    return time.process_time()


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def ours(guard, constellation, rate, size, distinct=8, runs=3):
    """Median wall and CPU rates (samples per second) and page faults per frame."""
    import numpy as np

    import kavro_sdr as k

    params = k.DvbTFrameParams(guard, constellation, rate)
    mod = k.DvbTFrameMod(params)
    payloads = [np.random.default_rng(7 + i).integers(0, 256, size, dtype=np.uint8) for i in range(distinct)]
    frames = [mod.modulate(p) for p in payloads]
    n = frames[0].n_symbols
    iqs = [f.iq for f in frames]
    demod = k.DvbTFrameDemod(params)
    for iq, payload in zip(iqs, payloads):
        assert demod.decode(iq, n, size).payload == payload.tobytes()
    count = -(-PACKETS // -(-size // 187))  # frames for PACKETS packets
    wall, cpu, faults = [], [], []
    for _ in range(runs):
        start_faults, start_wall, start_cpu = minor_faults(), time.perf_counter(), cpu_seconds()
        for i in range(count):
            demod.decode(iqs[i % distinct], n, size)
        wall.append(time.perf_counter() - start_wall)
        cpu.append(cpu_seconds() - start_cpu)
        faults.append((minor_faults() - start_faults) / count)
    samples = count * iqs[0].size
    return samples / statistics.median(wall), samples / statistics.median(cpu), statistics.median(faults)


def peer(guard, constellation, rate, packets=PACKETS):
    """Samples per second of the gr-dtv 2K receive chain (runs under /usr/bin/python3)."""
    from gnuradio import blocks, dtv, fft, gr
    from gnuradio.fft import window

    from dvb_t_gr_peer import CONSTELLATIONS, GUARDS, RATES, transmit_chain, transport_stream

    cp, gi = GUARDS[guard]
    mod, cr = CONSTELLATIONS[constellation], RATES[rate]
    ts = transport_stream(packets)
    with tempfile.NamedTemporaryFile(suffix=".cf32") as air:
        tx = gr.top_block()
        tx.connect(blocks.vector_source_b(ts, False), *transmit_chain(constellation, rate, guard),
                   blocks.file_sink(gr.sizeof_gr_complex, air.name))
        tx.run()
        samples = os.path.getsize(air.name) // 8

        rx = gr.top_block()
        rchain = [
            dtv.dvbt_ofdm_sym_acquisition(1, 2048, 1705, cp, 30),
            fft.fft_vcc(2048, True, window.rectangular(2048), True, 1),
            dtv.dvbt_demod_reference_signals(gr.sizeof_gr_complex, 2048, 1512, mod, dtv.NH, cr, cr, gi, dtv.T2k, 0, 0),
            dtv.dvbt_demap(1512, mod, dtv.NH, dtv.T2k, 1),
            dtv.dvbt_symbol_inner_interleaver(1512, dtv.T2k, 0),
            dtv.dvbt_bit_inner_deinterleaver(1512, mod, dtv.NH, dtv.T2k),
            blocks.vector_to_stream(gr.sizeof_char, 1512),
            dtv.dvbt_viterbi_decoder(mod, dtv.NH, cr, 768),
            dtv.dvbt_convolutional_deinterleaver(136, 12, 17),
            dtv.dvbt_reed_solomon_dec(2, 8, 0x11D, 255, 239, 8, 51, 8),
            dtv.dvbt_energy_descramble(8),
        ]
        out = blocks.vector_sink_b()
        rx.connect(blocks.file_source(gr.sizeof_gr_complex, air.name, False), *rchain, out)
        start_wall, start_cpu = time.perf_counter(), cpu_seconds()
        rx.run()
        wall, cpu = time.perf_counter() - start_wall, cpu_seconds() - start_cpu
    decoded = bytes(out.data())
    sent = bytes(ts)
    # The receiver locks after a few symbols; count the sent packets found in its output.
    found = sum(1 for i in range(0, len(decoded) - 188, 188 * 50) if decoded[i:i + 188] in sent)
    return {"wall": samples / wall, "cpu": samples / cpu, "ts_bytes_out": len(decoded), "packets_checked_found": found}


def with_peer(line, wall, cpu, guard, constellation, rate):
    """`line` followed by gr-dtv's rates for the same frames and the ratios (run by /usr/bin/python3
    in its own process), or by a note when GNU Radio is absent."""
    if subprocess.run(["/usr/bin/python3", "-c", "import gnuradio"], capture_output=True).returncode != 0:
        return line + "  (gr-dtv absent: no peer)"
    result = subprocess.run(["/usr/bin/python3", __file__, "--peer", guard, constellation, rate],
                            capture_output=True, text=True, check=True)
    peer_result = json.loads(result.stdout.strip().splitlines()[-1])
    return line + (f"  gr-dtv {peer_result['wall'] / 1e6:6.2f} (cpu {peer_result['cpu'] / 1e6:6.2f})"
                   f"  ratio {wall / peer_result['wall']:4.2f} (cpu {cpu / peer_result['cpu']:4.2f})")


def main():
    os.sched_setaffinity(0, {CORE})
    if len(sys.argv) > 1 and sys.argv[1] == "--peer":
        print(json.dumps(peer(*sys.argv[2:5])))
        return
    for guard, constellation, rate, size in CASES:
        wall, cpu, faults = ours(guard, constellation, rate, size)
        line = (f"{constellation} {rate} {guard:5s} ours {wall / 1e6:6.2f} (cpu {cpu / 1e6:6.2f}) Msamples/s"
                f" {faults:6.1f} faults/frame")
        print(with_peer(line, wall, cpu, guard, constellation, rate), flush=True)


if __name__ == "__main__":
    main()
