"""Helpers shared by the Python tests and benchmarks: seeded bits and bytes, complex noise and its
level for an SNR, chunked feeding, edit distance and the frame link's reference configuration.
Import it as `import support` from any test under tests/python."""

import importlib
import pathlib
import sys

import numpy as np

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def example(name):
    """A recipe from examples/, imported as a script beside its shared module would import it."""
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    return importlib.import_module(name)


def random_bits(rng, count):
    """`count` uint8 values of 0 or 1."""
    return rng.integers(0, 2, count, dtype=np.uint8)


def random_bytes(rng, count):
    """`count` random bytes as a uint8 array."""
    return rng.integers(0, 256, count, dtype=np.uint8)


def complex_noise(rng, count, variance):
    """complex64 Gaussian noise with E|n|^2 = variance."""
    sigma = np.sqrt(variance / 2.0)
    return (sigma * (rng.normal(size=count) + 1j * rng.normal(size=count))).astype(np.complex64)


def chunk_sizes(total, plan, rng=None):
    """Sizes that sum to `total`: an int plan gives fixed pieces; "random" gives seeded sizes of
    0 to 20000 with empty pieces among them."""
    if plan == "whole":
        return [total]
    sizes = []
    left = total
    while left > 0:
        size = min(left, int(rng.integers(0, 20001)) if plan == "random" else plan)
        sizes.append(size)
        left -= size
    return sizes


def feed_in_chunks(feed, samples, sizes):
    """Calls `feed` on consecutive pieces of `samples` and returns the list of its results."""
    results, at = [], 0
    for size in sizes:
        results.append(feed(samples[at:at + size]))
        at += size
    assert at == samples.size
    return results


def levenshtein(a, b):
    """Edit distance between two sequences."""
    previous = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        current = [i]
        for j, y in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (x != y)))
        previous = current
    return previous[-1]


def edit_distance(a, b):
    """Levenshtein distance of two byte strings, one NumPy row per character of `a`: the
    insertions along a row are a running minimum of (row - j) plus j."""
    a = np.frombuffer(bytes(a), np.uint8)
    b = np.frombuffer(bytes(b), np.uint8)
    j = np.arange(b.size + 1)
    previous = j.copy()
    for i, x in enumerate(a, 1):
        current = np.empty_like(previous)
        current[0] = i
        current[1:] = np.minimum(previous[1:] + 1, previous[:-1] + (b != x))
        previous = np.minimum.accumulate(current - j) + j
    return int(previous[-1])


def noise_variance_at_snr(signal_power, snr_db):
    """Noise variance that sits `snr_db` below a signal of mean power `signal_power`."""
    return signal_power / 10 ** (snr_db / 10)


def per_carrier_noise_variance(es_n0_db, n_fft):
    """Noise variance per sample for a per-carrier Es/N0 on an `n_fft`-point OFDM symbol whose
    cells have unit energy (the unitary inverse FFT spreads each over n_fft samples)."""
    return noise_variance_at_snr(1.0 / n_fft, es_n0_db)


def add_noise(rng, samples, variance):
    """`samples` plus complex Gaussian noise of the given variance, as complex64."""
    return (samples + complex_noise(rng, samples.size, variance)).astype(np.complex64)


def add_fast_noise(rng, iq, variance):
    """complex64 `iq` plus Gaussian noise of the given variance, drawn in single precision: quicker
    than complex_noise for the millions of samples an error rate needs."""
    sigma = np.float32(np.sqrt(variance / 2))
    return iq + rng.standard_normal(2 * iq.size, dtype=np.float32).view(np.complex64) * sigma


def frame_link_config(rf_hz=0.0, constellation="qpsk", **keywords):
    """The frame link's reference configuration: 64-point FFT, 16-sample prefix, pilots at ±7 and
    ±21 with edge guard 4 (50 data carriers), 1 Msample/s."""
    import kavro_sdr

    return kavro_sdr.OfdmConfig(64, 16, np.zeros(0, np.int32), np.array([-21, -7, 7, 21], np.int32),
                                np.ones(4, np.complex64), 1e6, rf_hz, 1.0, constellation, edge_guard=4, **keywords)
