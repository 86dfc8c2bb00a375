"""A few packets over a simulated radio link: OfdmFrameMod on the transmit side, noise and a
carrier-frequency offset in between, OfdmFrameStreamDemod fed in chunks on the receive side."""

import numpy as np

import kavro_sdr

FS = 1e6
N_FFT = 64
SNR_DB = 18.0           # per-carrier Es/N0
OFFSET_HZ = 7_500.0     # carrier-frequency offset between the radios (almost half a bin)
CHUNK = 4096            # samples per feed() call, as a sound card or SDR would deliver them

cfg = kavro_sdr.OfdmConfig(N_FFT, 16, np.zeros(0, np.int32), np.array([-21, -7, 7, 21], np.int32),
                           np.ones(4, np.complex64), FS, 0.0, 1.0, "qpsk", edge_guard=4).with_rx_window_backoff(4)
ladder = kavro_sdr.McsTable.default_ladder()  # entries 0..3: BPSK, QPSK, 16-QAM, 64-QAM
cache = kavro_sdr.CodecCache()                # both ends build each code once
tx = kavro_sdr.OfdmFrameMod(cfg, ladder, cache=cache)
rx = kavro_sdr.OfdmFrameStreamDemod(cfg, ladder, cache=cache)

messages = [b"hello, world", b"frames find their own way", b"sixteen points per cell", b"64-QAM carries the most"]
rng = np.random.default_rng(7)

# Transmit: each packet names its modulation-and-coding entry; gaps of silence between bursts.
bursts = []
for seq, text in enumerate(messages):
    packet = kavro_sdr.FramePacket(np.frombuffer(text, np.uint8), sequence_num=seq, mcs_index=seq % ladder.len)
    bursts += [np.zeros(int(rng.integers(200, 2000)), np.complex64), tx.modulate_frame(packet)]
    print(f"sent     #{seq} mcs {packet.mcs_index}: {text.decode()}")
signal = np.concatenate(bursts + [np.zeros(500, np.complex64)])

# Channel: a carrier offset with an unknown phase, and white noise.
n = np.arange(signal.size)
received = signal * np.exp(1j * (2 * np.pi * OFFSET_HZ / FS * n + rng.uniform(0, 2 * np.pi)))
sigma = np.sqrt(1 / (N_FFT * 10 ** (SNR_DB / 10)) / 2)
received = (received + sigma * (rng.normal(size=n.size) + 1j * rng.normal(size=n.size))).astype(np.complex64)

# Receive in chunks: frames come back as soon as their last sample has arrived.
for start in range(0, received.size, CHUNK):
    for frame, error in rx.feed_with_errors(received[start:start + CHUNK]):
        if frame is None:
            print(f"lost     ({error})")
        else:
            print(f"received #{frame.sequence_num} mcs {frame.mcs_index}: {bytes(frame.payload).decode()}")
print(f"{rx.buffered} samples left in the receiver's buffer")
