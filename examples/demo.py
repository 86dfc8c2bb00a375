"""A short end-to-end run: text through a BPSK link with carrier offset removed and noise added."""

import numpy as np

import kavro_sdr

message = b"Hello from kavro_sdr!"
bits = np.unpackbits(np.frombuffer(message, np.uint8))

fs, rf_hz = 48_000.0, 6_000.0
iq = kavro_sdr.BpskMod(fs, rf_hz, 1.0).process(bits)
print(f"sent {len(message)} bytes as {iq.size} complex64 samples at {rf_hz:.0f} Hz")

# Back to baseband with the receiver's own oscillator, then a little noise.
n = np.arange(1, iq.size + 1)
baseband = (iq * np.exp(-2j * np.pi * rf_hz * n / fs)).astype(np.complex64)
rng = np.random.default_rng(1)
noisy = (baseband + 0.3 * (rng.normal(size=iq.size) + 1j * rng.normal(size=iq.size))).astype(np.complex64)

received = kavro_sdr.BpskDemod(1.0).process(noisy)
print(f"bit errors: {np.count_nonzero(received != bits)} of {bits.size}")
print("received:", np.packbits(received).tobytes().decode(errors="replace"))
print(f"{len(kavro_sdr.__all__)} names in kavro_sdr: {', '.join(kavro_sdr.__all__)}")
