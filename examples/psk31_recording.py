"""From a recording to text: the strongest BPSK31 (or QPSK31) signal in real audio sampled at
8 or 12 kHz, found with psk31_sync, refined, aligned to its symbols and decoded by Psk31Stream."""

import numpy as np

import kavro_sdr


def decode_recording(audio, fs, mode="bpsk"):
    iq = audio.astype(np.complex64)  # the positive-frequency half is decoded, at half amplitude
    found = kavro_sdr.psk31_sync(iq, fs, 500.0, 2500.0)
    if not found:
        return ""
    coarse = found[0]["carrier_hz"]  # a 31.25 Hz grid point, up to one bin off
    # Mixed down by the coarse carrier and smoothed over half a symbol (which removes the other
    # half of the real audio), the squared BPSK31 signal (its fourth power for QPSK31) holds a line
    # at 2 (or 4) x the remaining offset.
    power = 2 if mode == "bpsk" else 4
    sps = round(fs / 31.25)
    t = np.arange(iq.size) / fs
    baseband = np.convolve(iq * np.exp(-2j * np.pi * coarse * t), np.ones(sps // 2) / (sps // 2), "same")
    n = 1 << (iq.size - 1).bit_length()
    spectrum = np.abs(np.fft.fft(baseband ** power, n))
    freqs = np.fft.fftfreq(n, 1 / fs)
    near = np.abs(freqs) <= power * 40
    carrier = coarse + float(freqs[near][np.argmax(spectrum[near])]) / power
    # The envelope peaks once per symbol, at the symbol starts, so its 31.25 Hz component is
    # c·e^(-j·2π·31.25·t0) with t0 a start.
    phase = np.angle(np.sum(np.abs(baseband) * np.exp(-2j * np.pi * 31.25 * t)))
    start = int(round((-phase / (2 * np.pi)) % 1.0 * sps + sps / 8))  # 1/8 symbol after a start
    stream = kavro_sdr.Psk31Stream(mode, fs, carrier)
    return stream.feed(iq[start:]) + stream.flush()


if __name__ == "__main__":
    fs = 8000
    sent = kavro_sdr.Bpsk31Mod(fs, 1234.0, 1.0).modulate_text(b"CQ CQ de K1ABC K1ABC pse k")
    rng = np.random.default_rng(1)
    audio = np.concatenate([np.zeros(4000 + 77), sent.real, np.zeros(4000)]).astype(np.float32)
    audio += rng.normal(0, 0.05, audio.size).astype(np.float32)
    print(decode_recording(audio, fs))
