"""From a recording to messages: every FT8 (or FT4) signal in one period of real audio.

    python examples/ft8_recording.py period.wav [ft4]

The audio is made one channel (a stereo pair's mean), its samples that are not numbers a gap of
zeros, its clicks blanked, its level one (as an AGC would) and its rate 12000 Hz. `ft8_sync`
(`ft4_sync`) finds candidates over the whole band and DT range, on the analytic signal behind
enough zeros that a frame may start before the recording. A candidate whose soft values from the
search do not decode is measured finely on its Costas arrays and decoded from soft values of our
own: with the signal's phase followed along the frame (coherent), then over groups of three (FT4:
four) neighbouring symbols added coherently, then symbol by symbol. A decoded message stands only
if its frame, made again and measured where it was found, agrees with the audio: the 14-bit CRC
lets a wrong codeword through now and then, and several sets of soft values give it several
chances. Each message is made again with `Ft8Codec.encode` and `Ft8Mod`, fitted in amplitude and
phase two symbols at a time and subtracted from the recording, and the search runs again: FT8 for
Costas patterns around the signals taken out that were strong enough to hide another, FT4 (whose
search is cheap) over the whole band. Last, each message is checked again at the place reported,
on the audio less the other messages."""

import fractions
import functools
import itertools
import sys

import numpy as np
import scipy.fft
import scipy.ndimage
import scipy.signal

import kavro_sdr
from recording_input import mono, read_wav, sample_rate

FS = 12000                 # Hz: the rate the FT8/FT4 frames are defined at
BAND_HZ = (100.0, 3000.0)  # tone-0 frequencies searched
DT_NOMINAL = 0.5           # s: a frame sent on time starts this far into the period
FEW = 5                    # candidates searched around each signal taken out
HIDING_DB = -16.0          # dB in 2500 Hz: nothing decodable hides under a weaker signal
LLR_SCALE = 4.0            # root mean square of the soft values handed to the decoder
LEVEL_BLOCK_S = 0.04       # s: the blocks over which the audio's level is measured
LEVEL_BLOCKS = 13          # blocks whose median level the audio is divided by, and clicks measured against
CLICK_LEVELS = 8.0         # a sample this many times the level around it is a click...
CLICK_MARGIN_S = 0.001     # s: ...blanked with the samples this close, where its ringing lies


class Mode:
    """What the recipe needs to know of FT8 or FT4: the tone frame, the search, and how many
    passes, candidates and Costas tones it takes."""

    def __init__(self, sync, codec, mod, sps, spacing, length, gray, costas, blocks, group, dt_max,
                 passes, candidates, whole_band, min_screen, min_sync, min_agreement):
        self.sync, self.codec, self.mod = sync, codec, mod
        self.sps, self.spacing, self.length, self.tones = sps, spacing, length, len(gray)
        self.costas = costas  # (first symbol, tones) of each Costas array
        self.blocks = blocks  # the frame symbols of each run of data tones
        self.dt_max, self.passes, self.candidates, self.whole_band = dt_max, passes, candidates, whole_band
        self.min_screen = min_screen  # Costas tones found strongest, near the search's point, to measure it
        self.min_sync = min_sync  # Costas tones found strongest before our own soft values are tried
        self.min_agreement = min_agreement  # share of data symbols whose strongest tone a decode sends
        self.known = (np.concatenate([first + np.arange(len(t)) for first, t in costas]),
                      np.concatenate([t for _, t in costas]))
        self.slopes = np.linspace(-np.pi / 8, np.pi / 8, 201)  # of phase lines: up to 1/16 turn a symbol
        self.turns = np.exp(-1j * np.outer(self.slopes, np.arange(length)))
        self.groups = [self.group_tables(gray, size) for size in (group, 1)]

    def group_tables(self, gray, size):
        """For soft values from groups of `size` data symbols (the last of a run may be shorter):
        per group length, the groups' symbols, where their soft values go, every tone combination
        and, per bit, the combinations that send it as 0 and as 1."""
        bits = self.tones.bit_length() - 1
        inverse = np.argsort(gray)  # tone -> the bits it carries
        order = np.concatenate(self.blocks).tolist()
        tables = []
        for g in sorted({min(size, len(self.blocks[0]) - i) for i in range(0, len(self.blocks[0]), size)}):
            symbols = np.array([b[i:i + g] for b in self.blocks for i in range(0, len(b), size)
                                if min(size, len(b) - i) == g])
            slots = np.array([[order.index(s) * bits + k for s in row for k in range(bits)] for row in symbols])
            combos = np.array(list(itertools.product(range(self.tones), repeat=g))).T
            values = np.array([(inverse[combos[i]] >> (bits - 1 - k)) & 1
                               for i in range(g) for k in range(bits)])
            tables.append((symbols, slots, combos, np.array([np.flatnonzero(v == 0) for v in values]),
                           np.array([np.flatnonzero(v == 1) for v in values])))
        return tables

    def frame(self, data):
        """The frame's tones from its data tones."""
        tones = np.zeros(self.length, np.int64)
        for first, costas in self.costas:
            tones[first:first + len(costas)] = costas
        tones[np.concatenate(self.blocks)] = data
        return tones


FT8_COSTAS = [3, 1, 4, 0, 6, 5, 2]
# min_agreement: a wrong codeword's data tones are strongest in about 1/8 (FT4: 1/4) of their symbols
# (FT4: up to 0.47 over a signal that shares its CQ), a true decode's in 0.43 (FT4: 0.54) or more.
MODES = {
    "ft8": Mode(kavro_sdr.ft8_sync, kavro_sdr.Ft8Codec, kavro_sdr.Ft8Mod, 1920, 6.25, 79,
                [0, 1, 3, 2, 5, 6, 4, 7], [(0, FT8_COSTAS), (36, FT8_COSTAS), (72, FT8_COSTAS)],
                [np.arange(7, 36), np.arange(43, 72)],
                group=3, dt_max=2.5, passes=3, candidates=500, whole_band=False, min_screen=9, min_sync=7,
                min_agreement=0.35),
    "ft4": Mode(kavro_sdr.ft4_sync, kavro_sdr.Ft4Codec, kavro_sdr.Ft4Mod, 576, 62.5 / 3, 105, [0, 1, 3, 2],
                [(1, [0, 1, 3, 2]), (34, [1, 0, 2, 3]), (67, [2, 3, 1, 0]), (100, [3, 2, 0, 1])],
                [np.arange(5, 34), np.arange(38, 67), np.arange(71, 100)],
                group=4, dt_max=1.5, passes=4, candidates=250, whole_band=True, min_screen=0, min_sync=5,
                min_agreement=0.5),
}


def decode_recording(audio, fs, mode="ft8"):
    """The messages in one period of mono audio sampled at `fs` Hz (8000, 12000, 44100, 48000...),
    `mode` "ft8" (15 s) or "ft4" (7.5 s): a list of dicts, each message once, in the order
    decoded, with "text", "freq_hz" (tone 0), "dt_s" (the start less the nominal 0.5 s into the
    period) and "snr_db" (in 2500 Hz)."""
    if mode not in MODES:
        raise ValueError(f"mode {mode!r}: expected one of {', '.join(map(repr, MODES))}")
    m = MODES[mode]
    ratio = fractions.Fraction(FS, int(round(sample_rate(fs))))  # to whole hertz
    x = scaled(mono(audio), fs)
    if x is None:
        return []
    if ratio != 1:
        x = scipy.signal.resample_poly(x, ratio.numerator, ratio.denominator)
    lead = int(round((m.dt_max - DT_NOMINAL) * FS))  # zeros before a frame starting dt_max early
    iq = np.zeros(lead + x.size, np.complex128)
    iq[lead:] = scipy.signal.hilbert(x)
    last_start = int(np.ceil((lead + (DT_NOMINAL + m.dt_max) * FS) / m.sps))  # in symbols
    found, decoded, hiding = set(), [], None  # decoded: (payload, start, freq, fit, (at, amplitudes))
    for _ in range(m.passes):
        band, new = Band(iq, m), []
        for llr, start, freq in candidates(band, iq, last_start, hiding):
            if any(abs(start - s) < m.sps and abs(freq - f) < m.spacing for _, s, f in new):
                continue  # a signal decoded in this pass, seen from a neighbouring point
            got = band.decode(llr, start, freq)
            if got is not None and got[0] not in found and got[0] != bytes(10):
                found.add(got[0])
                new.append(got)
        noise, hiding = noise_density(iq[lead:], m.sps), []
        for payload, start, freq in new:
            frame = m.mod(FS, freq, 0.0, 1.0).modulate(m.codec.encode(payload))
            fit, removed = subtract(iq, lead, frame, int(round(start)), m.sps)
            decoded.append((payload, start, freq, fit, removed))
            if snr_db(fit, removed[0] - lead, noise, m.sps) > HIDING_DB:
                hiding.append(freq)
        if not new or not (hiding or m.whole_band):
            break
    noise = noise_density(iq[lead:], m.sps)  # with every signal found taken out
    return [{"text": text(payload), "freq_hz": round(float(freq), 1),
             "dt_s": round(float((start - lead) / FS - DT_NOMINAL), 2) + 0.0,
             "snr_db": round(snr_db(fit, removed[0] - lead, noise, m.sps), 1)}
            for payload, start, freq, fit, removed in decoded
            if received_agreement(iq, payload, start, freq, m, *removed) >= m.min_agreement]


def received_agreement(iq, payload, start, freq, m, at, fitted):
    """The agreement of a frame taken out from sample `at` with amplitudes `fitted` with the audio
    as received less every other signal taken out, exactly at the start and frequency reported."""
    start = int(round(start))  # as the frame was taken out
    first, frame = max(start, 0), m.mod(FS, freq, 0.0, 1.0).modulate(m.codec.encode(payload))
    audio = np.zeros(m.length * m.sps, complex)  # a frame's samples before the lead of zeros are zeros too
    audio[:iq.size - first] = iq[first:first + audio.size]
    size = min(start + frame.size, iq.size) - at
    audio[at - first:at - first + size] += held(fitted, size, m.sps // 32) * frame[at - start:at - start + size]
    # Each symbol mixed down by tone 0 (its phase aside) and summed in fours, which pass the tones alike.
    mix = np.exp(-2j * np.pi * freq * np.arange(m.sps) / FS).reshape(-1, 4)
    values = scipy.fft.fft(np.einsum("sjk,jk->sj", audio.reshape(m.length, -1, 4), mix), axis=1)[:, :m.tones]
    return agreement(values, m.frame(m.codec.encode(payload)), m)


def candidates(band, iq, last_start, hiding):
    """(soft values or None, start, tone-0 frequency) of the frames to try: from the search over
    the whole band on the first pass (FT4, whose search is cheap: on every pass), else from the
    Costas patterns around each signal taken out that was strong enough to hide another."""
    m = band.mode
    if hiding is None or m.whole_band:
        found = m.sync(iq.astype(np.complex64), FS, *BAND_HZ, 0, last_start, m.candidates)
        points = np.array([(c["time_sym"] * m.sps, BAND_HZ[0] + c["freq_bin"] * m.spacing) for c in found])
        likely = band.costas_found(points) >= m.min_screen if m.min_screen and found else [True] * len(found)
        return [(c["llr"], start, freq) for c, (start, freq), ok in zip(found, points, likely)
                if ok or m.codec.decode_soft(c["llr"]) is not None]
    found = []
    for start, freq in (point for h in hiding for point in band.hidden(h, last_start * m.sps, FEW)):
        if not any(abs(start - s) < m.sps and abs(freq - f) < m.spacing for _, s, f in found):
            found.append((None, start, freq))
    return found


def scaled(x, fs):
    """The samples as a receiver's audio path leaves them: samples that are not numbers a gap of
    zeros, DC removed, clicks blanked and the level brought to one slowly, as an AGC does, so that
    neither the recording's scale nor a step in its level matters; None for silence."""
    x = np.where(np.isfinite(x), x, 0.0)
    x = x - np.median(x)
    block = max(int(round(LEVEL_BLOCK_S * fs)), 1)
    own = block_levels(x, block)
    if not np.any(np.isfinite(own)):
        return None
    # The median over the window follows a step in level, not a click or a shorter burst of static.
    steady = scipy.ndimage.median_filter(own, LEVEL_BLOCKS, mode="nearest")
    loud = np.abs(x) > CLICK_LEVELS * np.repeat(steady, block)[:x.size]
    x[scipy.ndimage.maximum_filter1d(loud, 2 * int(np.ceil(CLICK_MARGIN_S * fs)) + 1)] = 0.0
    return x * np.interp(np.arange(x.size), block * (np.arange(own.size) + 0.5), 1.0 / steady)  # 0 in long gaps


def block_levels(x, block):
    """The level (the standard deviation, for Gaussian noise) of each run of `block` samples,
    from the median of their magnitudes, which clicks however large do not move. Samples of zero
    (gaps) do not count; a block of none has an infinite level."""
    count = -(-x.size // block)
    magnitude = np.full(count * block, np.inf)
    magnitude[:x.size] = np.where(x == 0.0, np.inf, np.abs(x))
    rows = np.sort(magnitude.reshape(count, block), axis=1)  # the median of |x| is 0.6745 standard deviations:
    return rows[np.arange(count), np.maximum((np.isfinite(rows).sum(axis=1) - 1) // 2, 0)] / 0.6745


class Band:
    """The recording's spectrum, from which the band around one signal is cut and brought down to
    32 samples per symbol, where its start and frequency are measured and its tones read."""

    PAD = 64  # zeros before and after the band's samples, so that every window looked at lies inside

    def __init__(self, iq, mode):
        self.mode, self.down = mode, mode.sps // 32
        self.m = scipy.fft.next_fast_len(-(-iq.size // self.down))
        self.n = self.m * self.down
        self.spectrum = scipy.fft.fft(iq, self.n)
        self.fs = FS / self.down

    def decode(self, llr, start, freq):
        """(payload, start, frequency) of the frame a candidate points to, or None; `llr` are the
        search's soft values, if any."""
        m = self.mode
        y, base = self.around(freq)
        start, freq = self.align(y, base, start, freq, m.costas, 24, 2, 0.75)
        payload = None if llr is None else m.codec.decode_soft(llr)
        if payload is None:
            payload = decode_tones(self.tone_values(y, base, start, freq), m)
            if payload is None:
                return None
        tones = m.frame(m.codec.encode(payload))
        start, freq = self.align(y, base, start, freq, [(0, tones)], 2, 1, 0.25)
        if agreement(self.tone_values(y, base, start, freq), tones, m) < m.min_agreement:
            return None  # a codeword that passed the CRC but is not what the audio holds
        return payload, start, freq

    @functools.cached_property
    def waterfall(self):
        """The band 75-3075 Hz brought down to 3000 Hz, in rows a quarter symbol apart and bins a
        quarter spacing apart: (power, frequency of bin 0, bin width)."""
        k0 = int(round(1575.0 * self.n / FS))
        z = scipy.fft.ifft(self.spectrum[(k0 + scipy.fft.fftfreq(self.n // 4, 4 / self.n).astype(int)) % self.n])
        size = self.mode.sps // 4
        rows = np.lib.stride_tricks.sliding_window_view(z, size)[::size // 4]
        power = scipy.fft.fftshift(np.abs(scipy.fft.fft(rows, 4 * size, axis=1)) ** 2, axes=1)
        return power, k0 * FS / self.n - 1500.0, 3000.0 / (4 * size)

    def costas_found(self, points):
        """For each (start, tone-0 frequency) on the search's grid of whole symbols and spacings,
        the most Costas tones found strongest in their symbols within half a symbol and half a
        spacing, on a grid of quarters: whether a point is worth measuring finely."""
        m = self.mode
        power, low, bin_hz = self.waterfall
        near = np.arange(-2, 3)
        row = np.round(points[:, 0] / (m.sps / 4)).astype(int)
        column = np.round((points[:, 1] - low) / bin_hz).astype(int)
        rows = row[:, None, None, None] + near[:, None, None] + 4 * m.known[0]  # points, time, 1, cells
        columns = column[:, None, None, None, None] + near[:, None, None] + 4 * np.arange(m.tones)  # ..., tones
        cells = power[np.clip(rows, 0, len(power) - 1)[..., None], np.clip(columns, 0, power.shape[1] - 1)]
        hits = np.sum(np.argmax(cells, axis=-1) == m.known[1], axis=-1)
        return hits.reshape(len(points), -1).max(axis=1)

    def hidden(self, freq, last_start, count):
        """(start, tone-0 frequency) of the `count` frames whose Costas arrays stand out most, with
        tone 0 within six spacings of `freq` and starts up to `last_start`: on a grid of quarter
        symbols and quarter spacings, the power of the arrays' tones over that of all tones in
        their symbols."""
        m = self.mode
        y, base = self.around(freq)
        rows = np.lib.stride_tricks.sliding_window_view(y[self.PAD:], 32)[::8]
        power = scipy.fft.fftshift(np.abs(scipy.fft.fft(rows, 128, axis=1)) ** 2, axes=1)
        bin_hz = self.fs / 128
        bins = 64 + int(round((freq - base) / bin_hz)) + np.arange(-24, 25)
        every = sum(power[:, bins + 4 * t] for t in range(m.tones))
        starts = int(last_start / self.down) // 8 + 1
        cells = [(4 * (first + j), 4 * tone) for first, tones in m.costas for j, tone in enumerate(tones)]
        score = (sum(power[r:r + starts, bins + c] for r, c in cells)
                 / np.maximum(sum(every[r:r + starts] for r, _ in cells), 1e-30))
        points = []
        for _ in range(count):
            r, k = np.unravel_index(np.argmax(score), score.shape)
            points.append((8 * r * self.down, base + (bins[k] - 64) * bin_hz))
            score[max(r - 3, 0):r + 4, max(k - 3, 0):k + 4] = -1.0
        return points

    def around(self, freq):
        """The band around a signal whose tone 0 is near `freq`, mixed down by the returned
        frequency."""
        k0 = int(round((freq + (self.mode.tones - 1) / 2 * self.mode.spacing) * self.n / FS))
        bins = (k0 + scipy.fft.fftfreq(self.m, 1 / self.m).astype(int)) % self.n
        y = scipy.fft.ifft(self.spectrum[bins]) * (self.m / self.n)
        tail = np.zeros(self.PAD + 32 * self.mode.length, complex)
        return np.concatenate([np.zeros(self.PAD, complex), y, tail]), k0 * FS / self.n

    def align(self, y, base, start, freq, known, reach, hop, span):
        """Start (sample) and tone-0 frequency (Hz) of a frame from a guess within `reach`
        samples at 32 per symbol, looked at every `hop` samples, and `span` tone spacings, by its
        known tones [(first symbol,
        tones), ...] in runs of one length: each run added coherently over a fine grid of
        frequencies, the runs' powers added."""
        m0 = int(round(start / self.down))
        size = 32 * len(known[0][1])
        refs = []
        for _, tones in known:
            step = np.repeat(freq + np.asarray(tones) * self.mode.spacing - base, 32) / self.fs
            refs.append(np.exp(-2j * np.pi * (np.cumsum(step) - step)))  # conjugate, phase 0 at the run's start
        at = self.PAD + m0 - reach + 32 * np.array([first for first, _ in known])
        windows = np.lib.stride_tricks.sliding_window_view(y, size)[at[:, None] + np.arange(0, 2 * reach + 1, hop)]
        nfft = scipy.fft.next_fast_len(2 * size)  # frequencies half a bin apart
        offsets = scipy.fft.fftfreq(nfft, 1 / self.fs)
        near = np.flatnonzero(np.abs(offsets) <= span * self.mode.spacing)
        runs = scipy.fft.fft(windows * np.array(refs)[:, None, :], nfft, axis=2)[:, :, near]
        level = np.sqrt(np.sum(runs.real ** 2 + runs.imag ** 2, axis=0))
        t, b = np.unravel_index(np.argmax(level), level.shape)
        dt = peak_offset(level[t - 1, b], level[t, b], level[t + 1, b], True) if 0 < t < len(level) - 1 else 0.0
        df = peak_offset(level[t, b - 1], level[t, b], level[t, b + 1]) if 0 < b < level.shape[1] - 1 else 0.0
        return (m0 - reach + hop * (t + dt)) * self.down, freq + offsets[near[b]] + df * self.fs / nfft

    def tone_values(self, y, base, start, freq):
        """Each frame symbol's complex amplitude at each tone; the phase of a steady signal runs on
        from symbol to symbol, so that neighbouring symbols add coherently."""
        length = 32 * self.mode.length
        at = self.PAD + int(round(start / self.down))
        mixed = y[at:at + length] * np.exp(-2j * np.pi * (freq - base) * np.arange(length) / self.fs)
        return scipy.fft.fft(mixed.reshape(-1, 32), axis=1)[:, :self.mode.tones]


def decode_tones(values, m):
    """The payload from a frame's tone amplitudes, or None: tried with the phase followed from the
    Costas arrays, over coherent groups, symbol by symbol, then twice with the phase followed
    through all the tones as first guessed."""
    found = sum(int(np.sum(np.argmax(np.abs(values[f:f + len(t)]), axis=1) == t)) for f, t in m.costas)
    if found < m.min_sync:
        return None
    turned = derotated(values, m, *m.known)
    tries = [(turned, m.groups[-1], True)] + [(turned, tables, False) for tables in m.groups]
    payload = next(filter(None, (m.codec.decode_soft(soft_values(*t)) for t in tries)), None)
    for _ in range(2 if payload is None else 0):
        guess = m.frame(np.argmax(np.abs(turned[np.concatenate(m.blocks)]), axis=1))
        turned = derotated(values, m, np.arange(m.length), guess)
        payload = m.codec.decode_soft(soft_values(turned, m.groups[-1], True))
        if payload is not None:
            break
    return payload


def agreement(values, tones, mode):
    """The share of a frame's data symbols whose strongest tone is the one the frame sends (the
    Costas arrays agree just as well with another message sent by the same station)."""
    data = np.concatenate(mode.blocks)
    return float(np.mean(np.argmax(np.abs(values[data]), axis=1) == tones[data]))


def derotated(values, mode, symbols, tones):
    """The tone amplitudes turned so that the signal's own are real: its phase runs on the straight
    line along which the given symbols' tones add up best."""
    sums = np.sum(mode.turns[:, symbols] * values[symbols, tones], axis=1)  # not BLAS, whose threads cost more than this small product
    best = np.argmax(np.abs(sums))
    return values * np.exp(-1j * (mode.slopes[best] * np.arange(len(values)) + np.angle(sums[best])))[:, None]


def soft_values(values, tables, coherent):
    """The 174 soft values: for each bit, the strongest sum over a group of neighbouring data
    symbols with that bit 0, less the strongest with it 1 (sums of complex amplitudes, or of their
    real parts once the phase is known), normalised."""
    llr = np.empty(174)
    for symbols, slots, combos, zeros, ones in tables:
        level = sum(values[symbols[:, j]][:, combos[j]] for j in range(symbols.shape[1]))
        level = level.real if coherent else np.abs(level)
        llr[slots] = level[:, zeros].max(axis=2) - level[:, ones].max(axis=2)
    return (LLR_SCALE / max(np.std(llr), 1e-30) * llr).astype(np.float32)


def peak_offset(left, mid, right, triangle=False):
    """The peak's offset from the middle sample, in samples, for a parabola or a triangle."""
    if triangle:
        low = min(left, right)
        return 0.5 * (right - left) / (mid - low) if mid > low else 0.0
    curve = left - 2 * mid + right
    return 0.5 * (left - right) / curve if curve < 0 else 0.0


def subtract(iq, lead, ref, start, sps):
    """Takes the frame `ref` starting at `start` out of the recorded part of `iq`, with an amplitude
    and phase fitted over about two symbols at a time; returns the frame's correlation with the
    audio in each 32nd of a symbol and (first sample, amplitudes fitted to each 32nd from there)."""
    a, b = max(start, lead), min(start + ref.size, iq.size)
    block = sps // 32
    count = (b - a) // block
    if count < 1:
        return np.zeros(1, complex), (a, np.zeros(1, complex))
    r = ref[a - start:b - start]
    z = (iq[a:b] * np.conj(r))[:count * block].reshape(count, block).mean(axis=1)
    window = np.bartlett(65)[1:-1]  # a triangle two symbols wide
    c = np.convolve(z, window)[31:31 + count] / np.convolve(np.ones(count), window)[31:31 + count]
    iq[a:b] -= held(c, b - a, block) * r
    return z, (a, c)


def held(values, size, block):
    """`size` samples of values each held over `block` samples, the last over the rest."""
    return np.repeat(values, np.append(np.full(values.size - 1, block), size - (values.size - 1) * block))


def noise_density(iq, sps):
    """Noise power per hertz in each run of `sps` samples: the median of its tone bins' power over
    the band, which a few signals do not move, over ln 2 (the median's share of the mean)."""
    rows = iq[:iq.size // sps * sps].reshape(-1, sps)
    freqs = scipy.fft.fftfreq(sps, 1 / FS)
    power = np.abs(scipy.fft.fft(rows, axis=1)[:, (freqs >= BAND_HZ[0]) & (freqs <= BAND_HZ[1])]) ** 2
    return np.median(power, axis=1) / np.log(2) / (sps * FS)


def snr_db(fit, first, noise, sps):
    """SNR in 2500 Hz from a frame's correlations with the audio (a 32nd of a symbol each, from sample
    `first`), each over the noise amplitude of its time: neither a level step nor the AGC sways it."""
    rows = np.minimum((first + np.arange(fit.size) * (sps // 32)) // sps, noise.size - 1)
    power = np.abs(np.mean(fit / np.sqrt(np.maximum(noise[rows], 1e-30)))) ** 2
    return float(10 * np.log10(max(power / 2500, 1e-4)))


def text(payload):
    """A message as WSJT-X shows it; telemetry and unknown kinds as hexadecimal."""
    message = kavro_sdr.ft8_unpack(payload)
    kind = message["type"]
    if kind in ("standard", "nonstd"):
        return " ".join(part for part in (message["call_to"], message["call_de"], message["extra"]) if part)
    if kind == "free_text":
        return message["text"].strip()
    return (message["data"] if kind == "telemetry" else message["payload"]).hex()


if __name__ == "__main__":
    if len(sys.argv) > 1:
        audio, fs = read_wav(sys.argv[1])
        mode = sys.argv[2] if len(sys.argv) > 2 else "ft8"
    else:
        fs, mode = FS, "ft8"
        audio = np.random.default_rng(1).normal(0.0, 1.0, 15 * FS)
        for call_de, freq, dt in [("K1ABC", 1000.0, 0.2), ("W9XYZ", 1012.5, 0.9), ("G4ABC", 2000.0, -1.1)]:
            tones = kavro_sdr.Ft8Codec.encode(kavro_sdr.ft8_pack_standard("CQ", call_de, "FN31"))
            frame = kavro_sdr.Ft8Mod(FS, freq, 0.0, 0.3).modulate(tones).real
            start = int((DT_NOMINAL + dt) * FS)
            audio[max(start, 0):start + frame.size] += frame[max(-start, 0):audio.size - start]
    for message in decode_recording(audio, fs, mode):
        print(message)
