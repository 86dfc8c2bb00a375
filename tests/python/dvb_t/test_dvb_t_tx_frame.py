"""DvbTFrameMod through Python: frame length, the spectrum of every symbol, TPS signalling and the
optional transmit shaping."""

import math

import numpy as np
import pytest

import kavro_sdr
import support
from kavro_sdr import DvbTFrameMod, DvbTFrameParams

N_FFT = 2048
CONTINUAL = [0, 48, 54, 87, 141, 156, 192, 201, 255, 279, 282, 333, 432, 450, 483, 525, 531, 618, 636, 714, 759,
             765, 780, 804, 873, 888, 918, 939, 942, 969, 984, 1050, 1101, 1107, 1110, 1137, 1140, 1146, 1206, 1269,
             1323, 1377, 1491, 1683, 1704]
TPS = [34, 50, 209, 346, 413, 569, 595, 688, 790, 901, 1073, 1219, 1262, 1286, 1469, 1594, 1687]
CP = {"1/32": 64, "1/16": 128, "1/8": 256, "1/4": 512}
LEVELS = {"qpsk": np.array([-1, 1]) / math.sqrt(2), "qam16": np.array([-3, -1, 1, 3]) / math.sqrt(10),
          "qam64": np.array([-7, -5, -3, -1, 1, 3, 5, 7]) / math.sqrt(42)}


def reference_bits():
    """The pilot PRBS: an 11-bit register of ones, w_k = bit 10, feedback bit 10 XOR bit 1."""
    r, bits = 0x7FF, []
    for _ in range(1705):
        bits.append((r >> 10) & 1)
        r = ((r & 0x3FF) << 1) | (((r >> 10) ^ (r >> 1)) & 1)
    return np.array(bits)


W = reference_bits()


def bin_of(k):
    return (np.asarray(k) - 852) % N_FFT


def spectra(frame, cp):
    """One unscaled FFT per symbol, taken after the cyclic prefix."""
    iq = frame.iq
    s = frame.samples_per_symbol
    symbols = iq.reshape(frame.n_symbols, s)[:, cp:]
    return np.fft.fft(symbols.astype(np.complex128), axis=1)


def modulate(guard="1/32", constellation="qpsk", rate="1/2", frame_number=0, cell_id=0, payload=b"", mod=None):
    params = DvbTFrameParams(guard, constellation, rate, frame_number, cell_id)
    mod = mod or DvbTFrameMod(params)
    return mod.modulate(np.frombuffer(payload, np.uint8) if isinstance(payload, bytes) else payload)


def tps_word_bits(guard, constellation, rate, frame_number, cell_id, parity):
    """s1..s67 filled from the published field table."""
    sync = 0xCA11 if frame_number & 1 else 0x35EE
    con = {"qpsk": 0, "qam16": 1, "qam64": 2}[constellation]
    r = ["1/2", "2/3", "3/4", "5/6", "7/8"].index(rate)
    g = ["1/32", "1/16", "1/8", "1/4"].index(guard)
    fields = [(sync, 16), (0b011111, 6), (frame_number & 3, 2), (con, 2), (0, 3), (r, 3), (r, 3), (g, 2), (0, 2),
              (cell_id, 8), (0, 6), (parity, 14)]
    bits = []
    for value, width in fields:
        bits += [(value >> (width - 1 - i)) & 1 for i in range(width)]
    return bits


LARGEST_68 = {
    "qpsk": [9537, 13464, 15521, 17391, 18513],
    "qam16": [21318, 29172, 33099, 37026, 39083],
    "qam64": [33099, 44880, 50864, 56661, 59653],
}


@pytest.mark.parametrize("constellation", ["qpsk", "qam16", "qam64"])
@pytest.mark.parametrize("rate_index, rate", list(enumerate(["1/2", "2/3", "3/4", "5/6", "7/8"])))
def test_largest_payload_of_a_68_symbol_frame(constellation, rate_index, rate):
    size = LARGEST_68[constellation][rate_index]
    mod = DvbTFrameMod(DvbTFrameParams("1/32", constellation, rate))
    assert mod.modulate(np.zeros(size, np.uint8)).n_symbols == 68
    assert mod.modulate(np.zeros(size + 1, np.uint8)).n_symbols == 69


@pytest.mark.parametrize("guard", ["1/32", "1/16", "1/8", "1/4"])
def test_empty_payload_gives_68_symbols(guard):
    frame = modulate(guard=guard)
    iq = frame.iq
    assert (frame.n_symbols, frame.samples_per_symbol) == (68, N_FFT + CP[guard])
    assert iq.dtype == np.complex64 and iq.shape == (68 * (N_FFT + CP[guard]),)
    if guard == "1/4":
        assert iq.size == 174080


def pilot_carriers(phase):
    return sorted(set(CONTINUAL) | set(range(3 * phase, 1705, 12)))


def data_carriers(phase):
    pilots = set(pilot_carriers(phase)) | set(TPS)
    return [k for k in range(1705) if k not in pilots]


@pytest.mark.parametrize("constellation", ["qpsk", "qam16", "qam64"])
def test_every_symbol_spectrum_holds_pilots_tps_and_constellation_points(constellation, rng):
    guard = "1/8"
    frame = modulate(guard=guard, constellation=constellation, rate="2/3",
                     payload=support.random_bytes(rng, 5000))
    x = spectra(frame, CP[guard])
    levels = LEVELS[constellation]
    for l, bins in enumerate(x):
        np.testing.assert_allclose(bins[853:1196], 0, atol=1e-4)
        pilots = pilot_carriers(l % 4)
        np.testing.assert_allclose(bins[bin_of(pilots)], (0.5 - W[pilots]) * 8 / 3, atol=1e-4)
        tps = bins[bin_of(TPS)]
        np.testing.assert_allclose(np.abs(tps), 1, atol=1e-4)
        np.testing.assert_allclose(tps.imag, 0, atol=1e-4)
        cells = bins[bin_of(data_carriers(l % 4))]
        assert cells.size == 1512
        for axis in (cells.real, cells.imag):
            distance = np.min(np.abs(axis[:, None] - levels[None, :]), axis=1)
            assert distance.max() < 1e-4, l
    np.testing.assert_allclose(x[0, bin_of(TPS)], 1 - 2 * W[TPS], atol=1e-4)


def decoded_blocks(x):
    """s1..s67 of every whole 68-symbol block, read from the sign changes of the TPS carriers."""
    signs = np.sign(x[:, bin_of(TPS)].real)
    blocks = []
    for start in range(0, x.shape[0] - 67, 68):
        block = signs[start:start + 68]
        changes = block[1:] != block[:-1]
        assert (changes == changes[:, :1]).all()  # all 17 carriers agree
        blocks.append([int(c) for c in changes[:, 0]])
    return blocks


@pytest.mark.parametrize(
    "params, parity",
    [(("1/32", "qpsk", "1/2", 0, 0), 0x13CD), (("1/8", "qam16", "3/4", 2, 171), 0x1B97)],
)
def test_tps_sign_changes_carry_the_word(params, parity):
    guard, constellation, rate, frame_number, cell_id = params
    x = spectra(modulate(*params), CP[guard])
    assert decoded_blocks(x) == [tps_word_bits(*params, parity)]


def test_odd_frame_number_sends_the_inverted_sync_word_in_every_block():
    payload = np.zeros(24872, np.uint8)
    frame = modulate(frame_number=1, payload=payload)
    assert frame.n_symbols == 157
    x = spectra(frame, CP["1/32"])
    blocks = decoded_blocks(x)
    assert len(blocks) == 2
    for block in blocks:
        assert int("".join(map(str, block[:16])), 2) == 0xCA11
        assert block[22:24] == [0, 1]
    tps = x[:, bin_of(TPS)]
    np.testing.assert_allclose(tps[68:136], tps[0:68], atol=1e-4)
    np.testing.assert_allclose(tps[136], 1 - 2 * W[TPS], atol=1e-4)


def test_without_shaping_each_prefix_repeats_the_symbol_tail():
    frame = modulate(guard="1/16", payload=b"\x01")
    s, cp = frame.samples_per_symbol, CP["1/16"]
    symbols = frame.iq.reshape(frame.n_symbols, s)
    np.testing.assert_array_equal(symbols[:, :cp], symbols[:, s - cp:])


def test_same_payload_twice_gives_the_same_frame(rng):
    mod = DvbTFrameMod(DvbTFrameParams("1/8", "qam64", "5/6", 3, 9)).with_symbol_window(20)
    payload = support.random_bytes(rng, 3000)
    np.testing.assert_array_equal(mod.modulate(payload).iq, mod.modulate(payload).iq)


def float32_taper(w):
    i = np.arange(w, dtype=np.float32)
    return np.float32(0.5) * (np.float32(1) - np.cos(np.float32(3.1415927) * (i + np.float32(0.5)) / np.float32(w)))


@pytest.mark.parametrize("guard, roll_off, effective", [("1/32", 16, 16), ("1/32", 5000, 1056), ("1/4", 85, 85)])
def test_symbol_window_tapers_both_edges_of_every_symbol(guard, roll_off, effective):
    params = DvbTFrameParams(guard, "qam16", "1/2")
    base = DvbTFrameMod(params)
    plain = base.modulate(np.zeros(10, np.uint8)).iq
    windowed_mod = base.with_symbol_window(roll_off)
    frame = windowed_mod.modulate(np.zeros(10, np.uint8))
    s = frame.samples_per_symbol
    ramp = float32_taper(effective)
    expected = plain.reshape(-1, s).copy()
    gain = np.ones(s, np.float32)
    gain[:effective] = ramp
    gain[s - effective:] *= ramp[::-1]
    expected = (expected * gain).astype(np.complex64)
    np.testing.assert_allclose(frame.iq.reshape(-1, s), expected, rtol=1e-5, atol=1e-7)
    # The single-precision ramp loses its digits to cancellation at long roll-offs.
    if effective < 100:
        assert frame.iq[0] == pytest.approx(plain[0] * 0.5 * (1 - math.cos(math.pi / (2 * effective))), rel=1e-3)
    np.testing.assert_array_equal(base.modulate(np.zeros(10, np.uint8)).iq, plain)


def test_roll_off_zero_changes_nothing():
    mod = DvbTFrameMod(DvbTFrameParams("1/8", "qpsk", "3/4"))
    np.testing.assert_array_equal(mod.with_symbol_window(0).modulate(np.ones(7, np.uint8)).iq,
                                  mod.modulate(np.ones(7, np.uint8)).iq)


def test_tx_lowpass_keeps_the_length_and_leaves_its_source_unfiltered():
    mod = DvbTFrameMod(DvbTFrameParams("1/8", "qpsk", "1/2"))
    plain = mod.modulate(np.zeros(3, np.uint8)).iq
    filtered = mod.with_tx_lowpass(45).modulate(np.zeros(3, np.uint8)).iq
    assert filtered.shape == plain.shape
    assert not np.array_equal(filtered, plain)
    np.testing.assert_array_equal(mod.modulate(np.zeros(3, np.uint8)).iq, plain)
    # Unit gain at DC and a linear phase centred on each sample: the in-band content survives.
    in_band = np.abs(np.fft.fft(filtered[256:2304])[bin_of(CONTINUAL)])
    np.testing.assert_allclose(in_band, 4 / 3, rtol=0.1)


LOWPASS_BUILDERS = [
    pytest.param(lambda: DvbTFrameMod(DvbTFrameParams("1/8", "qpsk", "1/2")), id="frame"),
    pytest.param(lambda: kavro_sdr.DvbTSuperFrameMod(kavro_sdr.DvbTSuperFrameParams("1/8", "qpsk", "1/2")),
                 id="super_frame"),
]


@pytest.mark.parametrize("make", LOWPASS_BUILDERS)
class TestTxLowpassLimits:
    @pytest.mark.parametrize("args", [(4095,), (45, 300.0), (45, math.nan), (45, -math.inf), (45, 10.0), (0,)])
    def test_accepted(self, make, args):
        source = make()
        assert type(source.with_tx_lowpass(*args)) is type(source)

    @pytest.mark.parametrize(
        "args, message",
        [
            ((4096,), "with_tx_lowpass: num_taps must not exceed 4095 (got 4096)"),
            ((10**12,), "with_tx_lowpass: num_taps must not exceed 4095 (got 1000000000000)"),
            ((45, 300.5), "with_tx_lowpass: stopband_db must not exceed 300 (got 300.5)"),
            ((45, 1e6), "with_tx_lowpass: stopband_db must not exceed 300 (got 1000000)"),
            ((45, math.inf), "with_tx_lowpass: stopband_db must not exceed 300 (got inf)"),
            ((4096, math.inf), "with_tx_lowpass: num_taps must not exceed 4095 (got 4096)"),
        ],
    )
    def test_refused(self, make, args, message):
        with pytest.raises(ValueError) as error:
            make().with_tx_lowpass(*args)
        assert str(error.value) == message

    def test_sources_stay_unfiltered(self, make):
        mod = make()
        plain = mod.modulate(np.zeros(3, np.uint8)).iq
        with pytest.raises(ValueError):
            mod.with_tx_lowpass(31, math.inf)
        mod.with_tx_lowpass(31)
        np.testing.assert_array_equal(mod.modulate(np.zeros(3, np.uint8)).iq, plain)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda m: m.modulate(np.zeros(4, np.int8)), TypeError),
        (lambda m: m.modulate(np.zeros(8, np.uint8)[::2]), TypeError),
        (lambda m: m.modulate(b"abc"), TypeError),
        (lambda m: m.with_symbol_window(-1), OverflowError),
        (lambda m: m.with_tx_lowpass(-1), OverflowError),
        (lambda m: m.with_tx_lowpass(45, "60"), TypeError),
        (lambda m: DvbTFrameMod("1/8"), TypeError),
    ],
)
def test_argument_errors(call, error):
    with pytest.raises(error):
        call(DvbTFrameMod(DvbTFrameParams("1/8", "qpsk", "1/2")))


def test_docstrings():
    import inspect

    assert kavro_sdr.DvbTFrame.__doc__ == ("A modulated DVB-T frame: the time-domain IQ plus the numerology a receiver\n"
                                           "needs to acquire it.")
    assert kavro_sdr.DvbTFrame.iq.__doc__ == "The time-domain baseband IQ (no preamble; a whole number of OFDM symbols)."
    assert DvbTFrameMod.__text_signature__ == "(params)"
    assert str(inspect.signature(DvbTFrameMod.modulate)) == "(self, /, payload)"
    assert str(inspect.signature(DvbTFrameMod.with_tx_lowpass)) == "(self, /, num_taps, stopband_db=60.0)"
    assert str(inspect.signature(DvbTFrameMod.with_symbol_window)) == "(self, /, roll_off)"
