"""From a recording to text: every BPSK31 (or QPSK31) signal in real audio, with its carrier in Hz.

    python examples/psk31_recording.py recording.wav [qpsk]

The audio (8, 11.025, 12, 44.1 or 48 kHz, mono or stereo, which is mixed to mono; NaN, infinite and
outlying samples count as a gap) is rid of its DC and resampled to 8 kHz, where `psk31_sync` finds
the carriers on its 31.25 Hz grid. Each signal is mixed to a 1 kHz baseband, its carrier refined
from the line that its squared samples (fourth power for QPSK31) hold and followed through the
recording, and a squelch opened where its level stands clear of the noise beside it. The symbol
timing is measured every few seconds and the baseband resampled onto a steady symbol grid, so one
`Psk31Stream` reads the whole signal however far the sender's clock is off; a character is kept
only where the squelch was open for all its symbols. Signals are read strongest first; a strong
one is read in its own mode (only those of the mode asked for are returned), rebuilt from its
symbols and taken out of the recording, and the carrier search run again beside it, so a weak
signal next to a strong one is read without the strong one's sidebands.
"""

import sys
from dataclasses import dataclass
from fractions import Fraction

import numpy as np
from scipy.signal import lfilter, oaconvolve, resample_poly

import kavro_sdr
from recording_input import mono, read_wav, sample_rate

BAUD = 31.25
FS_SEARCH = 8000           # every recording is resampled to this rate for the carrier search
FS_BASEBAND = 1000         # one signal's baseband: 32 samples per symbol
SPS = 32
TIMING_WINDOW = 125        # symbols (4 s) per timing estimate
TRACK_WINDOW = 250         # symbols (8 s) per carrier estimate
TRACK_STEP_HZ = 3.0        # how far the carrier may move from one estimate to the next
SQUELCH_SYMBOLS = 16       # symbols averaged on each side of a symbol by the squelch
SQUELCH_DB = 3.0           # level above the neighbouring noise, in the signal's 50 Hz
NEIGHBOUR_HZ = 80.0        # where the noise beside a signal is measured, either side
TIMING_OFFSET = 0.125      # where the demodulator starts in each symbol, in symbols
DEMOD_CUTOFF_HZ = 16.0     # the demodulator's input filter: narrower than the signal, measured best
MIN_SPACING_HZ = 35.0      # of two carriers closer than this, the weaker is taken for the other's
CLEAR_DB = 10.0            # a signal this far above its noise is heard in its own mode, taken out of the
                           # recording once read, and the squelch's edges follow its symbols' own levels
SEARCH_AGAIN_HZ = 125.0    # how far either side of a signal taken out the carrier search is run again
NEAR_HZ = 20.0             # how far from near_hz the carrier it picks may lie
OUTLIER_LEVEL = 1e6        # samples this many times the recording's typical level count as a gap
DC_BLOCK_HZ = 5.0          # the corner of the DC blocker, a first-order high-pass filter


POWER = {"bpsk": 2, "qpsk": 4}   # the power of a signal's samples that holds a line at its carrier


def code_length(byte):
    """Bits of a character with the two zeros either side of it: a character counts only when the
    squelch was open from the end of the one before."""
    encoder = kavro_sdr.VaricodeEncoder()
    encoder.push_byte(byte)
    return len(encoder.drain_bits()) + 4


CODE_LENGTHS = np.array([code_length(byte) for byte in range(256)])


@dataclass
class Heard:
    """A signal found in the recording: its mode, its carrier, the carrier's drift away from it
    (radians per baseband sample) and the squelch's verdict, level per symbol and noise level."""
    mode: str
    carrier_hz: float
    drift: np.ndarray
    open_syms: np.ndarray
    level: np.ndarray
    floor: float

    @property
    def strength(self):
        return float(self.level[self.open_syms].mean())

    @property
    def strong(self):
        return self.strength >= self.floor * 10 ** (CLEAR_DB / 10)


class Recording:
    """The FS_SEARCH audio held as its real FFT, from which one signal's baseband is cut and out
    of which a decoded signal is taken."""

    def __init__(self, audio):
        self.size = audio.size
        self.n = 1 << max(audio.size - 1, 7).bit_length()     # a multiple of FS_SEARCH // FS_BASEBAND
        self.spectrum = np.fft.rfft(audio, self.n)

    def _window(self, carrier_hz):
        """The FFT bins within FS_BASEBAND / 2 of the carrier, in the order of a baseband FFT, and
        the mixing by the part of a bin left over."""
        m = self.n * FS_BASEBAND // FS_SEARCH
        centre = round(carrier_hz * self.n / FS_SEARCH)
        bins = centre + np.fft.ifftshift(np.arange(m) - m // 2)
        rest = carrier_hz - centre * FS_SEARCH / self.n
        return bins, np.exp(-2j * np.pi * rest * np.arange(m) / FS_BASEBAND)

    def baseband(self, carrier_hz):
        """FS_BASEBAND samples mixed down by carrier_hz (bins below 0 Hz conjugate those above)."""
        bins, mix = self._window(carrier_hz)
        picked = self.spectrum[np.abs(bins)]
        picked[bins < 0] = np.conj(picked[bins < 0])
        return (np.fft.ifft(picked) * (bins.size / self.n) * mix)[:-(-self.size * FS_BASEBAND // FS_SEARCH)]

    def take_out(self, carrier_hz, component):
        """Subtracts a signal given as its baseband at carrier_hz."""
        bins, mix = self._window(carrier_hz)
        taken = np.fft.fft(np.pad(component, (0, bins.size - component.size)) / mix) * (self.n / bins.size)
        self.spectrum[bins[bins >= 0]] -= taken[bins >= 0]


def cleaned(audio, fs):
    """The audio about its median at a typical level of 1 (so that neither its squares nor the
    carrier search overflow or underflow), NaN, infinite and outlying samples set to zero (a gap),
    through a radio's DC blocker started as if the first sample had always been there: DC left at
    the recording's ends would make steps whose spectrum reaches the signals."""
    finite = np.isfinite(audio)
    centred = np.where(finite, audio - (np.median(audio[finite]) if finite.any() else 0.0), 0.0)
    magnitude = np.abs(centred)
    typical = (np.percentile(magnitude, 99) if audio.size else 0.0) or magnitude.max(initial=1.0)
    kept = np.where(magnitude <= OUTLIER_LEVEL * typical, centred / typical, 0.0)
    pole = np.exp(-2 * np.pi * DC_BLOCK_HZ / sample_rate(fs))
    return lfilter([1, -1], [1, -pole], kept, zi=[-kept[0]])[0] if kept.size else kept


def at_search_rate(audio, fs):
    """The audio resampled from fs to FS_SEARCH."""
    ratio = Fraction(FS_SEARCH) / Fraction(sample_rate(fs)).limit_denominator(1000)
    return resample_poly(audio, ratio.numerator, ratio.denominator) if ratio != 1 else audio


def lowpass(x, cutoff_hz, fs, taps=201):
    """Zero-phase windowed-sinc low-pass filter."""
    n = np.arange(taps) - taps // 2
    h = np.sinc(2 * cutoff_hz / fs * n) * np.blackman(taps)
    return oaconvolve(x, h / h.sum(), "same")


def symbol_means(x):
    """Mean of x over each whole symbol."""
    return x[:x.size - x.size % SPS].reshape(-1, SPS).mean(axis=1)


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


def gated(bb, open_syms, power):
    """bb within 40 Hz of 0 Hz, to the given power, where the squelch is open; zero elsewhere."""
    return (lowpass(bb, 40.0, FS_BASEBAND)[:open_syms.size * SPS] * np.repeat(open_syms, SPS)) ** power


def line_share(samples, reach_hz):
    """The share of the samples' summed magnitude that their strongest line near 0 Hz holds."""
    near = np.abs(np.fft.fftfreq(samples.size, 1 / FS_BASEBAND)) <= reach_hz
    return np.abs(np.fft.fft(samples))[near].max() / max(np.abs(samples).sum(), 1e-300)


def own_mode(bb, open_syms, snr, mode):
    """The mode of a signal at 0 Hz in bb, snr (a power ratio r) above its noise: BPSK31's squared
    line holds (r^2 + 4r + 2) / (r^2 + r) times the share its fourth-power line does; QPSK31's a
    fraction of that, from its reversals and steady carrier (a half in 8 characters, a fifth in 60).
    `mode` where the fourth-power line holds half its share or less: other signals fill the band."""
    squared, fourth = (line_share(gated(bb, open_syms, power), power * 24.0) for power in (2, 4))
    as_bpsk = (snr ** 2 + 4 * snr + 2) / (snr ** 2 + snr)
    if fourth * as_bpsk < 0.4:
        return mode
    return "qpsk" if squared < 0.8 * as_bpsk * fourth else "bpsk"


def drift_phase(bb, power, open_syms):
    """The phase (radians per sample of bb) that a carrier near 0 Hz gains by moving: its line
    measured over every TRACK_WINDOW symbols where the squelch is open, followed from the window
    where it stands highest to either end, each within TRACK_STEP_HZ of the one before; the
    frequency is interpolated between windows."""
    samples = gated(bb, open_syms, power)
    n_windows = max(1, open_syms.size // TRACK_WINDOW)
    edges = np.linspace(0, open_syms.size, n_windows + 1).astype(int)
    counts = np.array([open_syms[a:b].sum() for a, b in zip(edges[:-1], edges[1:])])
    size = 1 << (4 * TRACK_WINDOW * SPS - 1).bit_length()
    lines = [np.abs(np.fft.fft(samples[a * SPS:b * SPS], size)) ** 2 for a, b in zip(edges[:-1], edges[1:])]
    freqs = np.fft.fftfreq(size, 1 / FS_BASEBAND) / power
    reach = np.abs(freqs) <= 24.0
    used = counts >= TRACK_WINDOW // 4
    if not used.any():
        used = counts == counts.max()
    anchor = max(np.flatnonzero(used), key=lambda w: lines[w][reach].max())
    offsets = np.zeros(n_windows)
    offsets[anchor] = freqs[reach][np.argmax(lines[anchor][reach])]
    for walk in (range(anchor + 1, n_windows), range(anchor - 1, -1, -1)):
        last = offsets[anchor]
        for w in (w for w in walk if used[w]):
            near = np.abs(freqs - last) <= TRACK_STEP_HZ
            offsets[w] = last = freqs[near][np.argmax(lines[w][near])]
    centres = (edges[:-1] + edges[1:])[used] / 2 * SPS
    frequency = np.interp(np.arange(bb.size), centres, offsets[used])
    return 2 * np.pi * np.cumsum(frequency) / FS_BASEBAND


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
    return trimmed(np.minimum(before, after) > floor * 10 ** (SQUELCH_DB / 10), level, floor), level, floor


def trimmed(open_syms, level, floor):
    """open_syms with the end symbols of each run whose median stands CLEAR_DB above the noise
    closed while their level stands less than a quarter of the way from the noise to that median
    (a reversal, the quietest symbol, is half way): the squelch's means still open a symbol that a
    strong signal fills by a sliver, and the demodulator reads noise there."""
    edges = np.flatnonzero(np.diff(np.concatenate([[0], open_syms.astype(np.int8), [0]])))
    trimmed_syms = open_syms.copy()
    for start, end in zip(edges[::2], edges[1::2]):
        median = np.median(level[start:end])
        if median >= floor * 10 ** (CLEAR_DB / 10):
            clear = start + np.flatnonzero(level[start:end] >= floor + (median - floor) / 4)
            trimmed_syms[start:end] = False
            trimmed_syms[clear[0]:clear[-1] + 1] = True
    return trimmed_syms


def hear(recording, coarse_hz, mode, apart_from=(), tell_mode=False):
    """The signal near coarse_hz as one of `mode`, or None where the squelch never opens or its
    carrier lies closer than MIN_SPACING_HZ to one of apart_from. With tell_mode, a strong one is
    heard in the mode its lines give (lines beside a stronger signal not yet taken out mislead)."""
    carrier = coarse_hz + refine_carrier(recording.baseband(coarse_hz), POWER[mode])
    if any(abs(carrier - c) < MIN_SPACING_HZ for c in apart_from):
        return None
    bb = recording.baseband(carrier)
    open_syms, level, floor = squelch(bb)
    if not open_syms.any():
        return None
    heard = Heard(mode, carrier, drift_phase(bb, POWER[mode], open_syms), open_syms, level, floor)
    if tell_mode and heard.strong and (own := own_mode(bb, open_syms, heard.strength / floor - 1, mode)) != mode:
        return hear(recording, carrier, own) or heard
    return heard


def symbol_starts(bb, open_syms):
    """The time of a symbol start (seconds, unwrapped) amid each timing window, from the 31.25 Hz
    component of the envelope, which peaks at the symbol starts, over the symbols the squelch opens."""
    envelope = np.abs(lowpass(bb, 25.0, FS_BASEBAND)) ** 2
    envelope = envelope[:open_syms.size * SPS] * np.repeat(open_syms, SPS)
    tone = envelope * np.exp(-2j * np.pi * BAUD * np.arange(envelope.size) / FS_BASEBAND)
    n_windows = max(1, open_syms.size // TIMING_WINDOW)
    edges = np.linspace(0, open_syms.size, n_windows + 1).astype(int)
    components = np.array([tone[a * SPS:b * SPS].sum() for a, b in zip(edges[:-1], edges[1:])])
    counts = np.array([open_syms[a:b].sum() for a, b in zip(edges[:-1], edges[1:])])
    # Each estimate sums three windows, which agree: at 100 ppm the start moves 1/8 symbol in 40 s.
    smoothed, counted = (np.pad(x, 1)[:-2] + x + np.pad(x, 1)[2:] for x in (components, counts))
    valid = counted >= TIMING_WINDOW // 2
    if not valid.any():
        valid = counts == counts.max()
    centres = (edges[:-1] + edges[1:]) / 2 / BAUD
    phase = np.unwrap(-np.angle(smoothed[valid]))
    phase -= 2 * np.pi * np.floor(phase[0] / (2 * np.pi))
    return centres[valid], phase / (2 * np.pi * BAUD)


def steady_grid(bb, heard):
    """The signal (carrier at 0 Hz in bb) resampled onto a steady symbol grid at unit amplitude,
    and where in bb each grid sample was read: demodulator time tau reads bb at tau + the symbol
    start measured near it, plus the offset into the symbol where the demodulator does best."""
    centres, starts = symbol_starts(bb, heard.open_syms)
    tau = np.arange(bb.size) / FS_BASEBAND
    at = (tau + np.interp(tau, centres, starts) + TIMING_OFFSET / BAUD) * FS_BASEBAND
    at = at[at <= bb.size - 1]
    amplitude = np.sqrt(max(heard.strength - heard.floor, heard.floor * 1e-3))
    grid = np.interp(at, np.arange(bb.size), lowpass(bb, DEMOD_CUTOFF_HZ, FS_BASEBAND) / amplitude)
    return grid.astype(np.complex64), at


def read_text(grid, at, heard):
    """The characters `Psk31Stream` reads from the grid whose symbols the squelch held open
    from the end of the character before to the end of the character itself."""
    n_syms = grid.size // SPS
    # A grid symbol is open where the recording's symbol amid it is, and where that one stands
    # CLEAR_DB above the noise, also those at its ends (a symbol filled by a sliver opens the squelch).
    read_from = np.minimum(at.astype(int) // SPS, heard.open_syms.size - 1)
    middle = read_from[SPS // 2::SPS][:n_syms]
    ends = heard.open_syms[read_from[:n_syms * SPS:SPS]] & heard.open_syms[read_from[SPS - 1::SPS][:n_syms]]
    opened = heard.open_syms[middle] & (ends | (heard.level[middle] < heard.floor * 10 ** (CLEAR_DB / 10)))
    closed_before = np.concatenate([[0], np.cumsum(~opened)])
    delay = 32 if heard.mode == "qpsk" else 0   # the QPSK31 Viterbi decoder's decision delay
    stream = kavro_sdr.Psk31Stream(heard.mode, float(FS_BASEBAND), 0.0)
    text = []
    for k in range(n_syms + 1):
        chars = stream.feed(grid[k * SPS:(k + 1) * SPS]) if k < n_syms else stream.flush()
        last = k - delay
        for char in chars:
            first = last - CODE_LENGTHS[ord(char)] + 1
            if 0 <= first and last < n_syms and closed_before[last + 1] == closed_before[first]:
                text.append(char)
    return "".join(text)


def symbol_values(grid, mode):
    """The sender's symbol values (1, j, -1 or -j, up to a common phase) from the demodulator's
    decisions: a kept or reversed phase (BPSK31), or the quarter turn nearest each step (QPSK31)."""
    if mode == "qpsk":
        steps = np.asarray(kavro_sdr.Qpsk31Demod(float(FS_BASEBAND), 0.0, 1.0).process(grid)).reshape(-1, 2)
        quarters = np.round(np.arctan2(steps[:, 1], steps[:, 0]) / (np.pi / 2)).astype(int)
    else:
        quarters = np.where(kavro_sdr.Bpsk31Demod(float(FS_BASEBAND), 0.0, 1.0).process(grid) >= 0, 0, 2)
    return 1j ** (np.cumsum(quarters) % 4)


def symbol_runs(position, open_syms):
    """Each open run of the squelch as (first symbol, symbol past the last) at the whole positions
    nearest its ends, where the sender starts and stops, from symbol 1 (after a first value) on."""
    edges = np.flatnonzero(np.diff(np.concatenate([[0], open_syms.astype(np.int8), [0]]))) * SPS
    whole = np.round(position[np.minimum(edges, position.size - 1)]).astype(int)
    return [(max(first, 1), end) for first, end in zip(whole[::2], whole[1::2]) if max(first, 1) < end]


def run_waveform(values, position, first, end, samples):
    """Symbols first to end - 1 of a signal at the given samples: within symbol k the value moves
    from values[k - 1] to values[k] along a half cosine, as the sender's does; zero outside."""
    at = position[samples]
    k = np.clip(np.floor(at).astype(int), first, end - 1)
    moved = (1 - np.cos(np.pi * (at % 1))) / 2
    return np.where((at >= first) & (at < end), values[k - 1] + (values[k] - values[k - 1]) * moved, 0)


def fitted_gain(bb, shape):
    """The complex gain of shape in bb per sample, fitted over each second and interpolated."""
    edges = np.arange(0, bb.size, FS_BASEBAND)
    energy = np.add.reduceat(np.abs(shape) ** 2, edges)
    gains = np.add.reduceat(bb * np.conj(shape), edges) / np.maximum(energy, 1e-12)
    used = energy >= FS_BASEBAND / 10
    if not used.any():
        return np.zeros_like(bb)
    centres = (edges + np.minimum(edges + FS_BASEBAND, bb.size))[used] / 2
    t = np.arange(bb.size)
    return np.interp(t, centres, gains[used].real) + 1j * np.interp(t, centres, gains[used].imag)


def rebuilt(bb, grid, at, heard):
    """The signal in bb (carrier at 0 Hz) as its sender made it from the symbols decided on the
    grid, each run of them at the gain fitted to it. A run starts where it fits best within a
    symbol of where the squelch opens, from the value (a quarter or half turn from its first) that
    fits best, since the demodulator decided that step against noise, and ends where it fits best."""
    values = symbol_values(grid, heard.mode)
    position = np.interp(np.arange(bb.size), at, np.arange(at.size)) / SPS + TIMING_OFFSET
    turns = [1, 1j, -1, -1j] if heard.mode == "qpsk" else [1, -1]
    component, gain = np.zeros_like(bb), np.zeros_like(bb)

    def misfit(trial, first, end, around):
        near = np.flatnonzero(np.abs(position - around) < 2)
        return np.sum(np.abs(bb[near] - gain[near] * run_waveform(trial, position, first, end, near)) ** 2)

    for first, end in symbol_runs(position, heard.open_syms):
        end = min(end, values.size)
        span = np.flatnonzero((position >= first - 2) & (position < end + 2))
        gain[span] = fitted_gain(bb[span], run_waveform(values, position, first, end, span))
        options = []
        for start in range(max(first - 1, 1), min(first + 2, end)):
            for turn in turns:
                trial = values.copy()
                trial[start - 1] = trial[start] * turn
                options.append((misfit(trial, start, end, first), start, turn))
        _, start, turn = min(options, key=lambda option: option[0])
        values[start - 1] = values[start] * turn
        stop = min(range(max(end - 1, start + 1), min(end + 2, values.size + 1)),
                   key=lambda stop: misfit(values, start, stop, end))
        component[span] += gain[span] * run_waveform(values, position, start, stop, span)
    return component


def read_signal(recording, heard):
    """The text of a heard signal in its mode; a strong one is then taken out of the recording."""
    bb = recording.baseband(heard.carrier_hz) * np.exp(-1j * heard.drift)
    grid, at = steady_grid(bb, heard)
    text = read_text(grid, at, heard)
    if heard.strong:
        recording.take_out(heard.carrier_hz, rebuilt(bb, grid, at, heard) * np.exp(1j * heard.drift))
    return text


def grid_carriers(iq, fs, low_hz, high_hz):
    """The grid frequencies between low_hz and high_hz where psk31_sync finds a run of carrier."""
    found = kavro_sdr.psk31_sync(iq.astype(np.complex64), float(fs), low_hz, high_hz, peak_margin_db=4.0, n_bits=0,
                                 max_cand=100000)
    return {c["carrier_hz"] for c in found}


def strongest_apart(recording, coarse, mode, read):
    """The signals at the grid points `coarse`, each refined on its own, but the weaker of two
    closer than MIN_SPACING_HZ, or closer than that to a carrier already read (a signal lights up
    to three grid points); a grid point less than MIN_SPACING_HZ - BAUD / 2 from one is its."""
    carriers = [heard.carrier_hz for heard, _ in read]
    fresh = [f for f in sorted(coarse) if all(abs(f - c) >= MIN_SPACING_HZ - BAUD / 2 for c in carriers)]
    heard = [hear(recording, f, mode, carriers) for f in fresh]
    kept = []
    for signal in sorted((h for h in heard if h is not None), key=lambda h: h.strength, reverse=True):
        if all(abs(signal.carrier_hz - c) >= MIN_SPACING_HZ for c in carriers):
            kept.append(signal)
            carriers.append(signal.carrier_hz)
    return kept


def decode_recording(audio, fs, mode="bpsk", low_hz=200.0, high_hz=3400.0, near_hz=None):
    """Every PSK31 signal of `mode` between low_hz and high_hz in real audio (mono, or stereo as
    two rows or two columns) at sample rate fs, or with near_hz only the one whose carrier lies
    nearest it, within NEAR_HZ: a list of {"carrier_hz": float, "text": str}, strongest first. A
    strong signal of the other mode is read only to be taken out of the recording."""
    kavro_sdr.Psk31Stream(mode, float(FS_BASEBAND), 0.0)   # an unknown mode word fails here, at once
    mode, top = mode.lower(), min(sample_rate(fs), FS_SEARCH) / 2
    if not 0 <= low_hz < high_hz <= top:
        raise ValueError(f"band {low_hz!r} to {high_hz!r} Hz: expected 0 <= low_hz < high_hz <= {top:g} Hz")
    audio = at_search_rate(cleaned(mono(audio), fs), fs)
    recording = Recording(audio)
    read, taken = [], []
    # The positive-frequency half of the real audio is searched, at half amplitude.
    for found in strongest_apart(recording, grid_carriers(audio, FS_SEARCH, low_hz, high_hz), mode, []):
        # Heard again: the recording may have changed, and a grid point nearer a line that reversals put
        # 15.6 Hz from the carrier refines onto that line, from which the carrier's own is within reach.
        heard = hear(recording, found.carrier_hz, mode, tell_mode=True)
        if heard is not None:
            read.append((heard, read_signal(recording, heard)))
            taken += [heard.carrier_hz] if heard.strong else []
    # What a strong signal hid beside it, searched for in its baseband now that it is gone.
    hidden = {c + f for c in taken for f in grid_carriers(recording.baseband(c), FS_BASEBAND, -SEARCH_AGAIN_HZ,
                                                          SEARCH_AGAIN_HZ) if low_hz <= c + f <= high_hz}
    for found in strongest_apart(recording, hidden, mode, read):
        heard = hear(recording, found.carrier_hz, mode, tell_mode=True)
        if heard is not None:
            read.append((heard, read_signal(recording, heard)))
    read.sort(key=lambda r: r[0].strength, reverse=True)
    signals = [{"carrier_hz": heard.carrier_hz, "text": text} for heard, text in read if text and heard.mode == mode]
    if near_hz is None:
        return signals
    nearest = sorted(signals, key=lambda s: abs(s["carrier_hz"] - near_hz))[:1]
    return [s for s in nearest if abs(s["carrier_hz"] - near_hz) <= NEAR_HZ]


if __name__ == "__main__":
    mode = sys.argv[2] if len(sys.argv) > 2 else "bpsk"
    if len(sys.argv) > 1:
        audio, fs = read_wav(sys.argv[1])
    else:
        fs, audio = 8000.0, np.random.default_rng(1).normal(0, 0.05, 12 * 8000)
        for carrier, text, at in [(1234.0, b"CQ CQ de K1ABC K1ABC pse k", 4077), (1500.0, b"K1ABC de W9XYZ", 12000)]:
            sent = kavro_sdr.Bpsk31Mod(fs, carrier, 1.0).modulate_text(text).real
            audio[at:at + sent.size] += sent
    for signal in decode_recording(audio, fs, mode):
        print(f"{signal['carrier_hz']:8.2f} Hz  {signal['text']}")
