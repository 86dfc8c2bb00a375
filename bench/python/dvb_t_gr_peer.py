"""GNU Radio's gr-dtv 2K transmitter (the chain of its dvbt_tx_2k example) on one core: prints the
median output samples per second over several runs. Run with the Python that has gnuradio:
    dvb_t_gr_peer.py CORE CONSTELLATION RATE PACKETS"""

import os
import statistics
import sys
import time

import numpy as np
from gnuradio import blocks, digital, dtv, gr

CONSTELLATIONS = {"qpsk": dtv.MOD_QPSK, "qam16": dtv.MOD_16QAM, "qam64": dtv.MOD_64QAM}
RATES = {"1/2": dtv.C1_2, "2/3": dtv.C2_3, "3/4": dtv.C3_4, "5/6": dtv.C5_6, "7/8": dtv.C7_8}


def transport_stream(packets):
    stream = np.random.default_rng(1).integers(0, 256, (packets, 188), dtype=np.uint8)
    stream[:, 0] = 0x47
    return stream.ravel().tolist()


GUARDS = {"1/32": (64, dtv.GI_1_32), "1/16": (128, dtv.GI_1_16), "1/8": (256, dtv.GI_1_8), "1/4": (512, dtv.GI_1_4)}


def transmit_chain(constellation, rate, guard="1/32"):
    """The gr-dtv 2K transmit blocks from transport stream to cyclic prefix, in order."""
    c, r = CONSTELLATIONS[constellation], RATES[rate]
    cp, gi = GUARDS[guard]
    return [
        dtv.dvbt_energy_dispersal(1),
        dtv.dvbt_reed_solomon_enc(2, 8, 0x11D, 255, 239, 8, 51, 8),
        dtv.dvbt_convolutional_interleaver(136, 12, 17),
        dtv.dvbt_inner_coder(1, 1512, c, dtv.NH, r),
        dtv.dvbt_bit_inner_interleaver(1512, c, dtv.NH, dtv.T2k),
        dtv.dvbt_symbol_inner_interleaver(1512, dtv.T2k, 1),
        dtv.dvbt_map(1512, c, dtv.NH, dtv.T2k, 1.0),
        dtv.dvbt_reference_signals(gr.sizeof_gr_complex, 1512, 2048, c, dtv.NH, r, r, gi, dtv.T2k, 0, 0),
        digital.ofdm_cyclic_prefixer(2048, 2048 + cp, 0, ""),
    ]


def run_once(stream, constellation, rate):
    tb = gr.top_block()
    chain = [blocks.vector_source_b(stream, False), *transmit_chain(constellation, rate)]
    sink = blocks.null_sink(gr.sizeof_gr_complex)
    tb.connect(*chain)
    tb.connect(chain[-1], sink)
    start = time.perf_counter()
    tb.run()
    elapsed = time.perf_counter() - start
    return sink, elapsed


def main():
    core, constellation, rate, packets = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
    os.sched_setaffinity(0, {core})
    stream = transport_stream(packets)
    rates = []
    for _ in range(5):
        sink, elapsed = run_once(stream, constellation, rate)
        samples = sink.nitems_read(0)
        rates.append(samples / elapsed)
    print(f"{statistics.median(rates):.6e} {samples}")


if __name__ == "__main__":
    main()
