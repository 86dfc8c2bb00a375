"""Messages that were not sent, from the FT8/FT4 recording recipe (examples/ft8_recording.py) on
crowded simulated bands made to tempt it: strong signals (up to +15 dB in 2500 Hz) beside weak
ones, each faded over a Watterson channel (two paths 0.5-2 ms apart, each Rayleigh-faded with a
Gaussian Doppler spectrum 0.1-1 Hz wide), whose subtraction leaves a residue. For each period
kind: the messages sent and decoded, and every message decoded that was not sent, with the share
of its data symbols whose strongest tone (of 8 or 4) is the decoded one, measured on the
recording at the reported frequency and time refined by up to 2 Hz and 40 ms.
Arguments: periods per mode (default 20)."""

import importlib.util
import pathlib
import sys

import numpy as np

import kavro_sdr

# The recipe and the period makers, from the recipe's main bench, whose file bears its name.
_spec = importlib.util.spec_from_file_location("ft8_recording_bench", pathlib.Path(__file__).with_name("ft8_recording.py"))
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)
recipe = bench.recipe
FS = bench.FS


def doppler_gains(rng, size, spread_hz, rate=100.0):
    """A unit-power complex Rayleigh fading gain per sample at FS, whose Doppler spectrum is a
    Gaussian of 2-sigma width `spread_hz`, made at `rate` Hz and interpolated."""
    count = int(np.ceil(size / FS * rate)) + 2
    spectrum = np.fft.fft(rng.normal(size=count) + 1j * rng.normal(size=count))
    sigma = spread_hz / 2
    spectrum *= np.exp(-np.fft.fftfreq(count, 1 / rate) ** 2 / (4 * sigma ** 2))  # amplitude: sqrt of the PSD
    g = np.fft.ifft(spectrum)
    g /= np.sqrt(np.mean(np.abs(g) ** 2))
    t = np.arange(size) / FS * rate
    return np.interp(t, np.arange(count), g.real) + 1j * np.interp(t, np.arange(count), g.imag)


def watterson(rng, frame):
    """The complex frame over two equal-power, independently faded paths 0.5-2 ms apart."""
    spread, delay = rng.uniform(0.1, 1.0), int(round(rng.uniform(0.5e-3, 2e-3) * FS))
    late = np.concatenate([np.zeros(delay, complex), frame[:-delay]])
    return (doppler_gains(rng, frame.size, spread) * frame + doppler_gains(rng, frame.size, spread) * late) / np.sqrt(2)


def faded_period(rng, mode, signals):
    """Real audio of one period, unit-variance noise, with the signals (message, freq, dt, snr)
    each over its own Watterson channel: SNR is the mean over the fading."""
    audio = rng.normal(0.0, 1.0, int(bench.PERIOD[mode] * FS))
    for message, freq, dt, snr in signals:
        frame = (watterson(rng, bench.library_frame(mode, message, freq)) * np.exp(2j * np.pi * rng.random())).real
        start = int(round((0.5 + dt) * FS))
        a, b = max(start, 0), min(start + frame.size, audio.size)
        audio[a:b] += np.sqrt(2 * 10 ** (snr / 10) * 2500 / 6000) * frame[a - start:b - start]
    return audio


def tone_share(audio, mode, text, freq, dt):
    """The share of a message's data symbols whose strongest tone is the one it sends, at the best
    of the places within 2 Hz and 40 ms of (freq, dt), measured on the real audio."""
    m = recipe.MODES[mode]
    fields = text.split()
    if len(fields) != 3:
        return float("nan")  # not a standard message, which is all the sweep sends
    tones = m.frame(m.codec.encode(kavro_sdr.ft8_pack_standard(*fields)))
    data = np.concatenate(m.blocks)
    best = 0.0
    for df in np.arange(-2.0, 2.01, 0.5):
        mixed = audio * np.exp(-2j * np.pi * (freq + df) * np.arange(audio.size) / FS)
        for shift in range(-int(0.04 * FS), int(0.04 * FS) + 1, m.sps // 16):
            start = int(round((0.5 + dt) * FS)) + shift
            seg = np.zeros(m.length * m.sps, complex)
            a, b = max(start, 0), min(start + seg.size, audio.size)
            seg[a - start:b - start] = mixed[a:b]
            power = np.abs(np.fft.fft(seg.reshape(m.length, m.sps), axis=1)[:, :m.tones])
            best = max(best, float(np.mean(np.argmax(power[data], axis=1) == tones[data])))
    return best


def tempting(rng, mode, strong=16, weak=24):
    """Strong signals at 0..+15 dB and weak ones at -20..-5 dB, anywhere in the band and DT range."""
    messages = bench.random_messages(rng, strong + weak)
    spread = bench.DT_SPREAD[mode]
    return [(m, rng.uniform(200, 2800), rng.uniform(-spread, spread),
             rng.uniform(0, 15) if i < strong else rng.uniform(-20, -5)) for i, m in enumerate(messages)]


def sweep(mode, periods):
    rng = np.random.default_rng(23)
    sent_total = found_total = 0
    false = []
    for _ in range(periods):
        signals = tempting(rng, mode)
        audio = faded_period(rng, mode, signals)
        decoded = recipe.decode_recording(audio, FS, mode)
        sent = {s[0] for s in signals}
        sent_total += len(sent)
        found_total += len(sent & {d["text"] for d in decoded})
        false += [(d["text"], round(tone_share(audio, mode, d["text"], d["freq_hz"], d["dt_s"]), 2))
                  for d in decoded if d["text"] not in sent]
    print(f"{mode} faded, strong beside weak, {periods} periods: {found_total}/{sent_total} decoded"
          f" ({100 * found_total / sent_total:.1f}%), {len(false)} not sent (target 0) {false}")


def main():
    periods = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    sweep("ft8", periods)
    sweep("ft4", periods)


if __name__ == "__main__":
    main()
