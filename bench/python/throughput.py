"""End-to-end throughput through Python: per-call overhead and modem rates, each beside a
NumPy-only counterpart timed in the same run."""

import numpy as np

import kavro_sdr
from timing import median_seconds


def report(label, ours, peer, unit_count=None, unit="call"):
    line = f"{label:34s} ours {ours * 1e9:10.1f} ns/{unit}  numpy {peer * 1e9:10.1f} ns/{unit}  ratio {ours / peer:5.2f}"
    if unit_count:
        line += f"  ({unit_count / ours / 1e6:7.1f} M/s vs {unit_count / peer / 1e6:7.1f} M/s)"
    print(line)


def call_overhead():
    one = np.ones(1, np.complex64)
    demod = kavro_sdr.BpskDemod(1.0)
    ours = median_seconds(lambda: demod.process(one), 200_000)
    peer = median_seconds(lambda: np.negative(one), 200_000)
    report("BpskDemod.process, 1 element", ours, peer)


def numpy_qam_mapper(order):
    width = int(np.log2(order)) // 2
    levels_count = 1 << width
    scale = np.float32(1 / np.sqrt(2 * (levels_count**2 - 1) / 3))
    rank = np.arange(levels_count)
    table = np.empty(levels_count, np.float32)
    table[rank ^ (rank >> 1)] = (2 * rank - (levels_count - 1)) * scale
    weights = 1 << np.arange(width - 1, -1, -1)

    def modulate(bits):
        groups = (bits[: bits.size // (2 * width) * 2 * width] & 1).reshape(-1, 2, width)
        index = groups @ weights
        return (table[index[:, 0]] + 1j * table[index[:, 1]]).astype(np.complex64)

    # Demapping as plain NumPy does it best: scale, round up to the rank, clip, and one table
    # look-up of the cell's bits by its two ranks.
    gray = rank ^ (rank >> 1)
    axis_bits = ((gray[:, None] >> np.arange(width - 1, -1, -1)) & 1).astype(np.uint8)
    cell_bits = np.concatenate([np.repeat(axis_bits, levels_count, axis=0), np.tile(axis_bits, (levels_count, 1))],
                               axis=1)
    inverse = np.float32(0.5) / scale
    offset = np.float32((levels_count - 2) / 2)

    def demodulate(iq):
        pairs = iq.view(np.float32) * inverse + offset
        ranks = np.clip(np.ceil(pairs), 0, levels_count - 1).astype(np.intp).reshape(-1, 2)
        return cell_bits[ranks[:, 0] * levels_count + ranks[:, 1]].ravel()

    return modulate, demodulate


def with_carrier(mapper, fs, rf_hz, symbols):
    """The NumPy peer of a modulator: the same mapping, carried to rf_hz (first sample rotated)
    by a carrier computed once, outside the timed call."""
    carrier = np.exp(1j * 2 * np.pi * rf_hz / fs * np.arange(1, symbols + 1)).astype(np.complex64)

    def modulate(bits):
        return mapper(bits) * carrier

    return modulate


def modem_rates():
    symbols = 1 << 20
    fs, rf_hz = 1e6, 12_500.0
    rng = np.random.default_rng(1)
    qpsk_level = np.float32(0.707106769)
    cases = {
        "BPSK": (1, kavro_sdr.BpskMod(fs, rf_hz, 1.0), kavro_sdr.BpskDemod(1.0),
                 lambda b: (1 - 2 * (b & 1).astype(np.float32)).astype(np.complex64),
                 lambda x: (x.real < 0).astype(np.uint8)),
        "QPSK": (2, kavro_sdr.QpskMod(fs, rf_hz, 1.0), kavro_sdr.QpskDemod(1.0),
                 lambda b: ((1 - 2 * (b[0::2] & 1).astype(np.float32)) * qpsk_level
                            + 1j * (1 - 2 * (b[1::2] & 1).astype(np.float32)) * qpsk_level).astype(np.complex64),
                 lambda x: np.stack([x.real < 0, x.imag < 0], axis=1).ravel().astype(np.uint8)),
    }
    for order in (16, 64, 256):
        width = int(np.log2(order))
        cases[f"QAM{order}"] = (width, kavro_sdr.QamMod(order, fs, rf_hz, 1.0), kavro_sdr.QamDemod(order, 1.0),
                                *numpy_qam_mapper(order))
    for name, (width, modulator, demodulator, numpy_mod, numpy_demod) in cases.items():
        bits = rng.integers(0, 2, symbols * width, dtype=np.uint8)
        numpy_mod = with_carrier(numpy_mod, fs, rf_hz, symbols)
        # The single-precision oscillator recurrence drifts from the exact carrier by up to about
        # 7e-3 over 2^20 samples.
        assert np.allclose(modulator.process(bits), numpy_mod(bits), atol=1e-2)
        iq = numpy_mod(bits) * np.exp(-1j * 2 * np.pi * rf_hz / fs * np.arange(1, symbols + 1))
        iq = iq.astype(np.complex64)
        assert np.array_equal(demodulator.process(iq), bits)
        assert np.array_equal(numpy_demod(iq), bits)
        report(f"{name} modulate 2^20 symbols", median_seconds(lambda: modulator.process(bits), 3, 7),
               median_seconds(lambda: numpy_mod(bits), 1, 5), symbols, "block")
        report(f"{name} demodulate 2^20 symbols", median_seconds(lambda: demodulator.process(iq), 3, 7),
               median_seconds(lambda: numpy_demod(iq), 1, 5), symbols, "block")


if __name__ == "__main__":
    call_overhead()
    modem_rates()
