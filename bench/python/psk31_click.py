"""One strong sample (a static crash) in the quiet between two PSK31 transmissions or within the
second, swept over its size: 40 streams per size, each two texts with 36 symbols of noise between
them and the sample at a random place in that gap or in the second text. Per place, mode and size:
in how many streams `Psk31Stream` gives both texts whole (the noise between them decodes to
characters, which the sample may change); against the same signal without the sample, the symbols
whose soft values move by more than 0.05 and (QPSK31) the bits that `Qpsk31Demod.flush` decides
differently, the median and largest count of each; and how far the farthest of those bits lies
outside the span of the moved symbols and the sample's own (the decoder's settling)."""

import numpy as np

import kavro_sdr

FS, RF, SPS = 8000.0, 1000.0, 256
TEXTS = (b"The quick brown fox jumps over", b"PACK MY BOX WITH FIVE DOZEN LIQ")
MODS = {"bpsk": kavro_sdr.Bpsk31Mod, "qpsk": kavro_sdr.Qpsk31Mod}
SIZES = (1e3, 1e4, 1e5, 1e6, 1e10, 1e15, 1e20, 1e25, 1e30, 1e35)
STREAMS = 40


def signal(mode, place, seed):
    """Both texts with the noisy gap between them, and the index of a random sample in the gap or
    in the second text."""
    rng = np.random.default_rng(seed)
    first, second = (MODS[mode](FS, RF, 1).modulate_text(t) for t in TEXTS)
    gap = (0.05 * (rng.standard_normal(36 * SPS) + 1j * rng.standard_normal(36 * SPS))).astype(np.complex64)
    start, length = (first.size, gap.size) if place == "gap" else (first.size + gap.size, second.size)
    at = start + int(rng.integers(2 * SPS, length - 2 * SPS))
    return np.concatenate([first, gap, second]), at


def receive(mode, iq):
    """The stream's text, the soft values and (QPSK31) the batch decoder's bits."""
    stream = kavro_sdr.Psk31Stream(mode, FS, RF)
    text = stream.feed(iq) + stream.flush()
    if mode == "bpsk":
        return text, kavro_sdr.Bpsk31Demod(FS, RF, 1).process(iq), None
    demod = kavro_sdr.Qpsk31Demod(FS, RF, 1)
    soft = demod.process(iq)
    return text, soft, demod.flush()


def one_size(mode, place, size):
    intact, moved, wrong, beyond = 0, [], [], []
    for seed in range(STREAMS):
        iq, at = signal(mode, place, seed)
        _, clean_soft, clean_bits = receive(mode, iq)
        iq[at] += np.float32(size)
        text, soft, bits = receive(mode, iq)
        intact += all(t.decode() in text for t in TEXTS)
        per_symbol = np.abs(soft - clean_soft).reshape(-1, 2 if mode == "qpsk" else 1).max(axis=1)
        spoiled = np.flatnonzero(~(per_symbol <= 0.05))
        moved.append(spoiled.size)
        if bits is not None:
            differ = np.flatnonzero(bits != clean_bits)
            wrong.append(differ.size)
            first, last = min(spoiled.min(initial=at // SPS), at // SPS), max(spoiled.max(initial=0), at // SPS)
            beyond.append(int(np.maximum(first - differ, differ - last).max(initial=0)))
    return intact, moved, wrong, beyond


def main():
    print(f"PSK31, one strong sample, {STREAMS} streams per size; medians and largest counts")
    print(f"{'place':5} {'mode':5} {'size':>7} {'texts whole':>12} {'symbols moved':>14} {'bits wrong':>11} "
          f"{'beyond':>10}")
    for place in ("gap", "text"):
        for mode in MODS:
            for size in SIZES:
                intact, moved, wrong, beyond = one_size(mode, place, size)
                bits = "   -    -      -    -"
                if wrong:
                    bits = f"{int(np.median(wrong)):4d} {max(wrong):4d}   {int(np.median(beyond)):4d} {max(beyond):4d}"
                print(f"{place:5} {mode:5} {size:7.0e} {intact:8d}/{STREAMS} {int(np.median(moved)):6d} "
                      f"{max(moved):5d}  {bits}")


if __name__ == "__main__":
    main()
