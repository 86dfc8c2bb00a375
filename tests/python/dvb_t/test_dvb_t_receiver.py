"""DvbTFrameDemod and DvbTRxFrame: round trips, acquisition after lead-ins, failures, AWGN
thresholds, echoes inside the guard interval, carrier offsets and the receive-window back-off."""

import numpy as np
import pytest

import kavro_sdr as k
import support

GUARDS = ["1/32", "1/16", "1/8", "1/4"]
CP = {"1/32": 64, "1/16": 128, "1/8": 256, "1/4": 512}
RATES = ["1/2", "2/3", "3/4", "5/6", "7/8"]
# The largest payloads that still fit 68 symbols.
MAX68 = {
    "qpsk": [9537, 13464, 15521, 17391, 18513],
    "qam16": [21318, 29172, 33099, 37026, 39083],
    "qam64": [33099, 44880, 50864, 56661, 59653],
}
TPS_TEXT = "TPS word failed to decode (BCH uncorrectable)"
PAYLOAD_TEXT = "payload FEC/CRC decode failed"
SHORT_TEXT = "too few samples for the expected frame"
ACQ_TEXT = "guard-interval acquisition failed (buffer too short or no CP lock)"


def frame_of(params, payload, **shaping):
    mod = k.DvbTFrameMod(params)
    if "roll_off" in shaping:
        mod = mod.with_symbol_window(shaping["roll_off"])
    frame = mod.modulate(payload)
    return frame.iq, frame.n_symbols


def decode(params, iq, n_symbols, payload_len, backoff=0, integer_cfo=False):
    demod = k.DvbTFrameDemod(params).with_rx_window_backoff(backoff).with_integer_cfo_correction(integer_cfo)
    return demod.decode(iq, n_symbols, payload_len)


def shifted(iq, bins):
    n = np.arange(iq.size)
    return (iq * np.exp(2j * np.pi * bins * n / 2048)).astype(np.complex64)


PAIRS = [(c, r) for c in MAX68 for r in RATES]


@pytest.mark.parametrize("index", range(len(PAIRS)))
def test_round_trip_of_every_constellation_and_rate(index):
    constellation, rate = PAIRS[index]
    guard = GUARDS[index % 4]
    frame_number, cell_id = 4 * index + index % 4, 17 * index
    sent = k.DvbTFrameParams(guard, constellation, rate, frame_number, cell_id)
    # The receiver's own frame number and cell id do not matter: the TPS word reports the frame's.
    demod_params = k.DvbTFrameParams(guard, constellation, rate)
    rng = np.random.default_rng(index)
    for size in (0, 188, MAX68[constellation][RATES.index(rate)]):
        payload = support.random_bytes(rng, size)
        iq, n_symbols = frame_of(sent, payload)
        assert n_symbols == 68
        got = decode(demod_params, iq, n_symbols, size)
        assert got.payload == payload.tobytes()
        assert repr(got.tps) == (f'TpsWord(frame_number={frame_number % 4}, constellation="{constellation}", '
                                 f'code_rate="{rate}", guard="{guard}", cell_id={cell_id})')
        tps = got.tps
        assert (tps.frame_number, tps.constellation, tps.code_rate, tps.guard, tps.cell_id) == (
            frame_number % 4, constellation, rate, guard, cell_id)


@pytest.mark.parametrize("size", [1, 187, 25000])
def test_short_payloads_and_a_frame_beyond_68_symbols(rng, size):
    params = k.DvbTFrameParams("1/16", "qpsk", "1/2")
    payload = support.random_bytes(rng, size)
    iq, n_symbols = frame_of(params, payload)
    assert n_symbols == (157 if size == 25000 else 68)
    assert decode(params, iq, n_symbols, size).payload == payload.tobytes()


@pytest.mark.parametrize("guard", ["1/32", "1/8"])
@pytest.mark.parametrize("kind", ["zeros", "noise", "tail"])
def test_lead_ins_before_the_frame(rng, guard, kind):
    cp = CP[guard]
    S = cp + 2048
    params = k.DvbTFrameParams(guard, "qam16", "1/2")
    payload = support.random_bytes(rng, 700)
    iq, n_symbols = frame_of(params, payload)
    power = float(np.mean(np.abs(iq) ** 2))
    if kind == "tail":
        other, _ = frame_of(params, support.random_bytes(rng, 700))
        lengths = [1, 100, S - (cp - cp // 2) - 1]
    else:
        lengths = [1, 100, S - 1]
    for length in lengths:
        if kind == "zeros":
            lead = np.zeros(length, np.complex64)
        elif kind == "noise":
            lead = support.complex_noise(rng, length, power)
        else:
            lead = other[other.size - length:]
        got = decode(params, np.concatenate([lead, iq]).astype(np.complex64), n_symbols, 700)
        assert got.payload == payload.tobytes(), (kind, length)


@pytest.fixture(scope="module")
def qpsk_frame():
    params = k.DvbTFrameParams("1/8", "qpsk", "1/2")
    payload = np.arange(300, dtype=np.uint32).astype(np.uint8)
    iq, n_symbols = frame_of(params, payload)
    return params, payload, iq, n_symbols


@pytest.mark.parametrize(
    "case, text",
    [
        ("empty", ACQ_TEXT),
        ("one short", SHORT_TEXT),
        ("n 2^60", SHORT_TEXT),
        ("n 2^64-1", SHORT_TEXT),
        ("n 0", TPS_TEXT),
        ("len 2^64-1", PAYLOAD_TEXT),
        ("nan", PAYLOAD_TEXT),
        ("zeros", PAYLOAD_TEXT),
        ("scaled 1e-4", PAYLOAD_TEXT),
    ],
)
def test_failures_raise_value_error_with_the_reason(qpsk_frame, case, text):
    params, payload, iq, n_symbols = qpsk_frame
    n, length = n_symbols, payload.size
    if case == "empty":
        iq = np.zeros(0, np.complex64)
    elif case == "one short":
        iq = iq[:-1]
    elif case == "n 2^60":
        n = 2**60
    elif case == "n 2^64-1":
        n = 2**64 - 1
    elif case == "n 0":
        n = 0
    elif case == "len 2^64-1":
        length = 2**64 - 1
    elif case == "nan":
        iq = np.full(iq.size, np.nan, np.complex64)
    elif case == "zeros":
        iq = np.zeros(iq.size, np.complex64)
    else:
        iq = (iq * np.float32(1e-4)).astype(np.complex64)
    with pytest.raises(ValueError) as raised:
        decode(params, iq, n, length)
    assert str(raised.value) == text


@pytest.mark.parametrize("value", [np.nan, np.inf])
@pytest.mark.parametrize("ahead", [300, 2000, 2048 + CP["1/8"] - 1])
def test_one_non_finite_sample_ahead_of_the_frame_costs_nothing(qpsk_frame, value, ahead):
    params, payload, iq, n_symbols = qpsk_frame
    lead = np.zeros(ahead, np.complex64)
    lead[0] = value
    assert decode(params, np.concatenate([lead, iq]), n_symbols, payload.size).payload == payload.tobytes()


def test_a_weak_frame_still_decodes(qpsk_frame):
    params, payload, iq, n_symbols = qpsk_frame
    assert decode(params, (iq * np.float32(1e-2)).astype(np.complex64), n_symbols, payload.size).payload == payload.tobytes()


def test_class_surface():
    params = k.DvbTFrameParams("1/8", "qpsk", "1/2")
    demod = k.DvbTFrameDemod(params)
    with pytest.raises(TypeError):
        k.DvbTRxFrame()
    assert demod.rx_window_backoff == 0 and demod.integer_cfo_correction is False
    wide = demod.with_rx_window_backoff(10**6)
    assert wide.rx_window_backoff == 10**6 and demod.rx_window_backoff == 0
    assert demod.with_integer_cfo_correction(True).integer_cfo_correction is True
    assert wide.with_integer_cfo_correction(True).rx_window_backoff == 10**6
    doc = k.DvbTFrameDemod.__doc__
    assert k.DvbTFrameDemod.__text_signature__ == "(params)"
    assert "DvbTFrameParams" in doc and "decode(iq, n_symbols, payload_len)" in doc and "off by default" in doc
    decode_doc = k.DvbTFrameDemod.decode.__doc__
    assert k.DvbTFrameDemod.decode.__text_signature__ == "($self, iq, n_symbols, payload_len)"
    assert "ValueError" in decode_doc and ".payload" in decode_doc and ".tps" in decode_doc
    with pytest.raises(OverflowError):
        demod.decode(np.zeros(10, np.complex64), -1, 0)
    with pytest.raises(TypeError):
        demod.decode(np.zeros(10, np.complex128), 68, 0)


# Es/N0 per data cell where at least 19 of 20 frames decode; 6 dB below none may decode wrongly.
AWGN = [("qpsk", "1/2", 5.0), ("qam16", "3/4", 13.0), ("qam64", "2/3", 17.0), ("qam64", "7/8", 21.0)]


@pytest.mark.parametrize("constellation, rate, snr_db", AWGN)
def test_awgn_thresholds(constellation, rate, snr_db):
    params = k.DvbTFrameParams("1/8", constellation, rate)
    size = MAX68[constellation][RATES.index(rate)]
    payload = support.random_bytes(np.random.default_rng(1), size)
    iq, n_symbols = frame_of(params, payload)
    demod = k.DvbTFrameDemod(params)

    def outcomes(snr):
        variance = 1.0 / (2048 * 10 ** (snr / 10))
        good = wrong = 0
        for seed in range(20):
            noisy = iq + support.complex_noise(np.random.default_rng(1000 + seed), iq.size, variance)
            try:
                got = demod.decode(noisy, n_symbols, size).payload
            except ValueError:
                continue
            good += got == payload.tobytes()
            wrong += got != payload.tobytes()
        return good, wrong

    good, wrong = outcomes(snr_db)
    assert good >= 19 and wrong == 0
    assert outcomes(snr_db - 6.0)[1] == 0


# Two paths, the echo delayed inside the "1/8" guard with a random phase, after a lead-in of noise:
# at least 9 of 10 full frames decode at this C/N (received power over the noise in the 1705
# occupied carriers). The carriers in the echo's notches must count for little, and the channel
# estimate must follow a 64-sample echo between pilots 12 carriers apart.
ECHOES = [
    ("qpsk", "1/2", 0.0, 64, 12.0),
    ("qpsk", "1/2", 0.0, 32, 14.0),
    ("qam16", "1/2", 0.0, 64, 20.0),
    ("qam16", "1/2", 0.0, 32, 25.0),
    ("qam64", "2/3", -6.0, 8, 24.0),
    ("qam64", "2/3", -6.0, 32, 24.0),
]


@pytest.mark.parametrize("constellation, rate, level_db, delay, cn_db", ECHOES)
def test_echoes_inside_the_guard_interval(constellation, rate, level_db, delay, cn_db):
    params = k.DvbTFrameParams("1/8", constellation, rate)
    size = MAX68[constellation][RATES.index(rate)]
    payload = support.random_bytes(np.random.default_rng(2), size)
    iq, n_symbols = frame_of(params, payload)
    demod = k.DvbTFrameDemod(params)
    good = 0
    for seed in range(10):
        rng = np.random.default_rng(3000 + seed)
        received = np.concatenate([iq, np.zeros(delay, np.complex64)])
        received[delay:] += 10 ** (level_db / 20) * np.exp(2j * np.pi * rng.random()) * iq
        variance = np.mean(np.abs(received) ** 2) * 2048 / (1705 * 10 ** (cn_db / 10))
        lead = np.zeros(int(rng.integers(0, 2304)), np.complex64)
        signal = np.concatenate([lead, received])
        noisy = signal + support.complex_noise(rng, signal.size, variance)
        try:
            got = demod.decode(noisy, n_symbols, size).payload
        except ValueError:
            continue
        assert got == payload.tobytes()
        good += 1
    assert good >= 9


@pytest.mark.parametrize("bins", [3, -5, 32])
def test_whole_carrier_offsets_need_the_search(qpsk_frame, bins):
    params, payload, iq, n_symbols = qpsk_frame
    moved = shifted(iq, bins)
    assert decode(params, moved, n_symbols, payload.size, integer_cfo=True).payload == payload.tobytes()
    with pytest.raises(ValueError):
        decode(params, moved, n_symbols, payload.size)


@pytest.mark.parametrize("guard", ["1/32", "1/4"])
def test_the_measured_carrier_offset_is_removed(rng, guard):
    # Up to half a spacing from the prefixes alone; beyond, with the whole-carrier search.
    params = k.DvbTFrameParams(guard, "qpsk", "1/2")
    payload = support.random_bytes(rng, 2000)
    iq, n_symbols = frame_of(params, payload)
    for bins, search in ((0.45, False), (-0.45, False), (3.3, True), (-2.4, True)):
        got = decode(params, shifted(iq, bins), n_symbols, payload.size, integer_cfo=search)
        assert got.payload == payload.tobytes(), bins


@pytest.mark.parametrize("guard", GUARDS)
def test_window_backoff_with_and_without_taper(rng, guard):
    params = k.DvbTFrameParams(guard, "qam64", "2/3")
    payload = support.random_bytes(rng, 5000)
    budget = min(CP[guard] // 2, k.dvb_t_max_rx_window_backoff())
    tapered, n_symbols = frame_of(params, payload, roll_off=budget)
    # At "1/32" the taper moves the metric's peak a few samples before a symbol start; the frame
    # must not begin at the very first sample for that symbol to be the frame's first.
    lead = np.zeros(100, np.complex64)
    got = decode(params, np.concatenate([lead, tapered]), n_symbols, payload.size, backoff=budget)
    assert got.payload == payload.tobytes()
    plain, _ = frame_of(params, payload)
    assert decode(params, plain, n_symbols, payload.size, backoff=CP[guard]).payload == payload.tobytes()
