"""From a recording to text: every BPSK31 (or QPSK31) signal in real audio, each with its carrier
in hertz.

    python examples/psk31_recording.py recording.wav [qpsk]

The audio (8, 11.025, 12, 44.1 or 48 kHz, mono or stereo, which is mixed to mono) is resampled to
8 kHz, where `psk31_sync` finds the carriers on its 31.25 Hz grid. Each signal is then mixed to a
1 kHz baseband by its grid carrier, its carrier refined from the line that the squared signal
(fourth power for QPSK31) holds, and a squelch opened where its level stands clear of the noise
beside it. The symbol timing is measured every few seconds and the baseband resampled onto a
steady symbol grid, so one `Psk31Stream` reads the whole signal however far the sender's clock
is off; characters are kept only where the squelch was open for every symbol they span.
"""

import sys
from fractions import Fraction

import numpy as np
from scipy.io import wavfile
from scipy.signal import resample_poly

import kavro_sdr

BAUD = 31.25
FS_SEARCH = 8000           # every recording is resampled to this rate for the carrier search
FS_BASEBAND = 1000         # one signal's baseband: 32 samples per symbol
SPS = 32
TIMING_WINDOW = 125        # symbols (4 s) per timing estimate
SQUELCH_SYMBOLS = 16       # symbols averaged on each side of a symbol by the squelch
SQUELCH_DB = 3.0           # level above the neighbouring noise, in the signal's 50 Hz
NEIGHBOUR_HZ = 80.0        # where the noise beside a signal is measured, either side
TIMING_OFFSET = 0.125      # where the demodulator starts in each symbol, in symbols
DEMOD_CUTOFF_HZ = 16.0     # the demodulator's input filter: narrower than the signal, measured best
MIN_SPACING_HZ = 35.0      # of two carriers closer than this, the weaker is taken for the other's


def _code_lengths():
    """Bits of a character with the two zeros either side of it, per byte value: a character
    counts only when the squelch was open from the end of the one before."""
    lengths = np.zeros(256, int)
    for byte in range(32, 127):
        encoder = kavro_sdr.VaricodeEncoder()
        encoder.push_byte(byte)
        lengths[byte] = len(encoder.drain_bits()) + 4
    return lengths


CODE_LENGTHS = _code_lengths()


def read_wav(path):
    """The samples of a WAV file as float64, stereo mixed to mono, and its sample rate."""
    fs, audio = wavfile.read(path)
    audio = audio.astype(np.float64)
    return (audio.mean(axis=1) if audio.ndim == 2 else audio), float(fs)


def lowpass(x, cutoff_hz, fs, taps=201):
    """Zero-phase windowed-sinc low-pass filter."""
    n = np.arange(taps) - taps // 2
    h = np.sinc(2 * cutoff_hz / fs * n) * np.blackman(taps)
    return np.convolve(x, h / h.sum(), "same")


def symbol_means(x):
    """Mean of x over each whole symbol."""
    n = x.size // SPS
    return x[:n * SPS].reshape(n, SPS).mean(axis=1)


def moving_mean(x, n):
    """Mean over the n values from each index on (fewer at the end)."""
    c = np.concatenate([[0.0], np.cumsum(x)])
    start = np.arange(x.size)
    end = np.minimum(start + n, x.size)
    return (c[end] - c[start]) / (end - start)


def refine_carrier(bb, power):
    """The offset in hertz of a carrier near 0 Hz in baseband `bb`, from the line that its squared
    (BPSK) or fourth-power (QPSK) samples hold at power x the offset."""
    wide = lowpass(bb, 40.0, FS_BASEBAND) ** power
    n = 1 << (2 * wide.size - 1).bit_length()
    spectrum = np.abs(np.fft.fft(wide, n))
    freqs = np.fft.fftfreq(n, 1 / FS_BASEBAND)
    near = np.abs(freqs) <= power * 24.0
    return float(freqs[near][np.argmax(spectrum[near])]) / power


def squelch(bb):
    """Per symbol: open where the mean level over the symbols before it and over those after it
    both stand SQUELCH_DB above the noise beside the signal (the quieter side, its median over the
    recording); also the level of each symbol and that noise level, both in the signal's 50 Hz."""
    t = np.arange(bb.size) / FS_BASEBAND
    level = symbol_means(np.abs(lowpass(bb, 25.0, FS_BASEBAND)) ** 2)
    noise = []
    for side in (-NEIGHBOUR_HZ, NEIGHBOUR_HZ):
        beside = symbol_means(np.abs(lowpass(bb * np.exp(-2j * np.pi * side * t), 25.0, FS_BASEBAND)) ** 2)
        noise.append(np.median(moving_mean(beside, SQUELCH_SYMBOLS)))
    floor = min(noise)
    after = moving_mean(level, SQUELCH_SYMBOLS)
    before = moving_mean(level[::-1], SQUELCH_SYMBOLS)[::-1]
    return np.minimum(before, after) > floor * 10 ** (SQUELCH_DB / 10), level, floor


def symbol_starts(bb, open_syms):
    """The time of a symbol start (seconds, unwrapped) at the middle of every timing window, from the
    31.25 Hz component of the envelope, which peaks at the symbol starts; only symbols where the
    squelch is open count."""
    envelope = np.abs(lowpass(bb, 25.0, FS_BASEBAND)) ** 2
    envelope = envelope[:open_syms.size * SPS] * np.repeat(open_syms, SPS)
    tone = envelope * np.exp(-2j * np.pi * BAUD * np.arange(envelope.size) / FS_BASEBAND)
    n_windows = max(1, open_syms.size // TIMING_WINDOW)
    edges = np.linspace(0, open_syms.size, n_windows + 1).astype(int)
    components = np.array([tone[a * SPS:b * SPS].sum() for a, b in zip(edges[:-1], edges[1:])])
    counts = np.array([open_syms[a:b].sum() for a, b in zip(edges[:-1], edges[1:])])
    # Each estimate also takes its neighbours' windows: the start moves by 1/8 symbol in 40 s at
    # 100 ppm, so the three windows agree while their sum holds three times the symbols.
    smoothed, counted = (np.pad(x, 1)[:-2] + x + np.pad(x, 1)[2:] for x in (components, counts))
    valid = counted >= TIMING_WINDOW // 2
    if not valid.any():
        valid = counts == counts.max()
    centres = (edges[:-1] + edges[1:]) / 2 / BAUD
    phase = np.unwrap(-np.angle(smoothed[valid]))
    phase -= 2 * np.pi * np.floor(phase[0] / (2 * np.pi))
    return centres[valid], phase / (2 * np.pi * BAUD)


def decode_signal(bb, mode, open_syms, level, floor):
    """Text of one signal whose carrier has been mixed to 0 Hz in `bb` (FS_BASEBAND), with the
    squelch's verdicts, levels and noise level for it."""
    # A steady symbol grid: demodulator time tau reads the recording at tau + the symbol start
    # measured near it, plus the offset into the symbol where the demodulator does best.
    centres, starts = symbol_starts(bb, open_syms)
    tau = np.arange(bb.size) / FS_BASEBAND
    at = (tau + np.interp(tau, centres, starts) + TIMING_OFFSET / BAUD) * FS_BASEBAND
    at = at[at <= bb.size - 1]
    amplitude = np.sqrt(max(level[open_syms].mean() - floor, floor * 1e-3))
    grid = np.interp(at, np.arange(bb.size), lowpass(bb, DEMOD_CUTOFF_HZ, FS_BASEBAND) / amplitude)
    grid = grid.astype(np.complex64)
    n_syms = grid.size // SPS
    # Squelch state of each grid symbol: that of the recording's symbol it reads.
    opened = open_syms[np.minimum(at[SPS // 2::SPS][:n_syms].astype(int) // SPS, open_syms.size - 1)]
    closed_before = np.concatenate([[0], np.cumsum(~opened)])
    delay = 32 if mode.lower().startswith("q") else 0   # the QPSK31 Viterbi decoder's decision delay
    stream = kavro_sdr.Psk31Stream(mode, float(FS_BASEBAND), 0.0)
    text = []
    for k in range(n_syms + 1):
        chars = stream.feed(grid[k * SPS:(k + 1) * SPS]) if k < n_syms else stream.flush()
        last = k - delay
        for char in chars:
            first = last - CODE_LENGTHS[ord(char)] + 1
            if 0 <= first and last < n_syms and closed_before[last + 1] == closed_before[first]:
                text.append(char)
    return "".join(text)


def baseband(spectrum, n, carrier_hz):
    """FS_BASEBAND samples of the FS_SEARCH audio whose real FFT of length n is `spectrum`, mixed
    down by carrier_hz: the FFT bins within FS_BASEBAND / 2 of the carrier (the negative
    frequencies are the conjugates of the positive ones), then the part of a bin left over."""
    m = n * FS_BASEBAND // FS_SEARCH
    centre = round(carrier_hz * n / FS_SEARCH)
    bins = centre + np.fft.ifftshift(np.arange(m) - m // 2)
    picked = spectrum[np.abs(bins)]
    picked[bins < 0] = np.conj(picked[bins < 0])
    bb = np.fft.ifft(picked) * (m / n)
    rest = carrier_hz - centre * FS_SEARCH / n
    return bb * np.exp(-2j * np.pi * rest * np.arange(m) / FS_BASEBAND)


def decode_recording(audio, fs, mode="bpsk", low_hz=200.0, high_hz=3400.0, near_hz=None):
    """Every PSK31 signal between low_hz and high_hz in real audio (mono, or stereo as rows of two
    samples) at sample rate fs, or with near_hz only the one that best_psk31_sync picks within
    62.5 Hz of it: a list of {"carrier_hz": float, "text": str}, strongest first."""
    kavro_sdr.Psk31Stream(mode, float(FS_BASEBAND), 0.0)   # an unknown mode word fails here, at once
    audio = np.asarray(audio, np.float64)
    if audio.ndim == 2:
        audio = audio.mean(axis=1)
    ratio = Fraction(FS_SEARCH) / Fraction(fs).limit_denominator(1000)
    if ratio != 1:
        audio = resample_poly(audio, ratio.numerator, ratio.denominator)
    iq = audio.astype(np.complex64)   # the positive-frequency half is decoded, at half amplitude
    found = kavro_sdr.psk31_sync(iq, float(FS_SEARCH), low_hz, high_hz, peak_margin_db=4.0, n_bits=0,
                                 max_cand=100000)
    if near_hz is not None:
        best = kavro_sdr.best_psk31_sync(found, near_hz)
        found = [best] if best is not None else []
    power = 4 if mode.lower().startswith("q") else 2
    n = 1 << max(audio.size - 1, 7).bit_length()     # a multiple of FS_SEARCH // FS_BASEBAND
    spectrum = np.fft.rfft(audio, n)

    def mixed(carrier_hz):
        return baseband(spectrum, n, carrier_hz)[:-(-audio.size * FS_BASEBAND // FS_SEARCH)]

    # Each grid point that holds a run of carrier is refined on its own, then the strongest
    # signal wins among those closer than MIN_SPACING_HZ: a signal lights up to three grid points
    # and its preamble's squared reversals hold lines 15.6 Hz either side of its carrier.
    heard = []
    for coarse in sorted({c["carrier_hz"] for c in found}):
        carrier = coarse + refine_carrier(mixed(coarse), power)
        open_syms, level, floor = squelch(mixed(carrier))
        if open_syms.any():
            heard.append((float(level[open_syms].mean()), carrier, (open_syms, level, floor)))
    signals = []
    for _, carrier, squelched in sorted(heard, key=lambda h: h[0], reverse=True):
        if all(abs(carrier - s["carrier_hz"]) >= MIN_SPACING_HZ for s in signals):
            signals.append({"carrier_hz": carrier, "text": decode_signal(mixed(carrier), mode, *squelched)})
    return [s for s in signals if s["text"]]


if __name__ == "__main__":
    if len(sys.argv) > 1:
        audio, fs = read_wav(sys.argv[1])
        mode = sys.argv[2] if len(sys.argv) > 2 else "bpsk"
    else:
        fs, mode = 8000.0, "bpsk"
        rng = np.random.default_rng(1)
        audio = rng.normal(0, 0.05, 12 * 8000)
        for carrier, text, at in [(1234.0, b"CQ CQ de K1ABC K1ABC pse k", 4077), (1500.0, b"K1ABC de W9XYZ", 12000)]:
            sent = kavro_sdr.Bpsk31Mod(fs, carrier, 1.0).modulate_text(text).real
            audio[at:at + sent.size] += sent
    for signal in decode_recording(audio, fs, mode):
        print(f"{signal['carrier_hz']:8.2f} Hz  {signal['text']}")
