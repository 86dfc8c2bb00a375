"""English text for the PSK31 error-rate and detection tests: about 1000 characters, with `!`
and `3` early on (their codes hold eight ones in a row)."""

ENGLISH = (
    b"Good evening from the lighthouse on the north cape! The wind dropped at 3 pm and the sea "
    b"went flat, so tonight the band is quiet and the signals are clean. I am running a small "
    b"transceiver into a wire antenna strung between the tower and an old oak tree, about ten "
    b"metres above the rocks. The power supply is a car battery charged by a solar panel on the "
    b"roof, which works well in summer but struggles when the fog rolls in for days at a time. "
    b"My keeper's log says the last big storm took down the antenna twice in one week, and each "
    b"time we climbed up in the rain to fix it. This station has been on the air for many years, "
    b"and the old operators left notes about every contact they made across the ocean. Reading "
    b"them by lamplight is one of the small pleasures of this job. If you copy this message, "
    b"please send a short report with your name, your location and the weather where you are. "
    b"Thanks for the contact, and good luck with the rest of your evening on the waterfall."
)


def noisy(iq, eb_n0_db, rng, sps=256, power=None):
    """`iq` plus complex Gaussian noise at Eb/N0, Eb = P·sps with P the mean |x|² of the
    noiseless samples (or the given power) and N0 = σ², the noise variance per sample."""
    import numpy as np

    import support

    if power is None:
        power = float(np.mean(np.abs(iq.astype(np.complex128)) ** 2))
    return support.add_fast_noise(rng, iq, support.noise_variance_at_snr(power * sps, eb_n0_db))


def clocked_audio(text, carrier_hz, ppm, phase=0.0, fs=8000.0):
    """BPSK31 `text` as real audio of amplitude 1 from a sender whose sample clock runs `ppm` parts
    per million fast: its baseband (nothing above about 100 Hz, so linear interpolation is exact
    enough) read at the sender's instants, on a carrier moved by the same fraction."""
    import numpy as np

    import kavro_sdr

    baseband = kavro_sdr.Bpsk31Mod(fs, 0.0, 1.0).modulate_text(text).astype(np.complex128)
    rate = 1 + ppm * 1e-6
    at = np.arange(int((baseband.size - 1) / rate)) * rate
    carrier = np.exp(1j * (2 * np.pi * carrier_hz * at / fs + phase))
    return np.real(np.interp(at, np.arange(baseband.size), baseband) * carrier)
