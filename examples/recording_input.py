"""What the recording recipes share: audio from a WAV file or an array, made one channel, and a
sample rate checked before anything is computed from it."""

import numpy as np
from scipy.io import wavfile


def read_wav(path):
    """The samples of a WAV file as float64, its channels mixed to one, and its sample rate:
    (audio, fs), the order `decode_recording` takes them in."""
    fs, audio = wavfile.read(path)
    return mono(audio), float(fs)


def mono(audio):
    """One channel as float64: a 2-D array holds its channels along its shorter side, (2, n) or
    (n, 2), and they are averaged (a channel that is silent leaves the other's SNR as it was)."""
    x = np.asarray(audio, np.float64)
    if x.ndim == 2 and x.shape[0] != x.shape[1]:
        x = x.mean(axis=int(np.argmin(x.shape)))
    if x.ndim != 1:
        raise ValueError(f"audio of shape {x.shape}: expected samples (n,), or channels and samples "
                         "as (channels, n) or (n, channels) with fewer channels than samples")
    return x


def sample_rate(fs):
    """fs as a float, refused unless it is a finite number of hertz, 1 or more."""
    rate = float(fs)
    if not (np.isfinite(rate) and rate >= 1):
        raise ValueError(f"sample rate {fs!r}: expected a finite number of hertz, 1 or more")
    return rate
