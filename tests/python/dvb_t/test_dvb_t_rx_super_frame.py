"""DvbTSuperFrameDemod and DvbTRxSuperFrame: round trips, the failure texts in their order, the
cell id of frames 2 and 3, lead-ins before the super-frame, and the class surface."""

import inspect

import numpy as np
import pytest

import kavro_sdr as k
import support

ACQ_TEXT = "guard-interval acquisition failed (buffer too short or no CP lock)"
SHORT_TEXT = "too few samples for the expected frame"
CP = {"1/32": 64, "1/16": 128, "1/8": 256, "1/4": 512}


def super_frame(guard, constellation, rate, cell_id, payload):
    return k.DvbTSuperFrameMod(k.DvbTSuperFrameParams(guard, constellation, rate, cell_id)).modulate(payload)


def demod(guard, constellation="qpsk", rate="1/2", cell_id=0):
    return k.DvbTSuperFrameDemod(k.DvbTSuperFrameParams(guard, constellation, rate, cell_id))


@pytest.fixture(scope="module")
def reference():
    """A "1/32" QPSK 1/2 super-frame of 10 bytes with cell id 0x1234."""
    payload = np.arange(1, 11, dtype=np.uint8)
    sf = super_frame("1/32", "qpsk", "1/2", 0x1234, payload)
    return payload, sf, sf.iq


@pytest.mark.parametrize(
    "guard, constellation, rate, length",
    [("1/32", "qpsk", "1/2", 0), ("1/16", "qpsk", "1/2", 1), ("1/8", "qpsk", "1/2", 10),
     ("1/4", "qpsk", "1/2", 100000), ("1/16", "qam64", "7/8", 5001)],
)
def test_payload_and_cell_id_round_trip(rng, guard, constellation, rate, length):
    payload = support.random_bytes(rng, length)
    sf = super_frame(guard, constellation, rate, 0xBEEF, payload)
    # The receiver's own cell id does not matter: the frames' TPS words give it.
    rx = demod(guard, constellation, rate, 7).decode(sf.iq, sf.symbols_per_frame, sf.frame_payload_lens)
    assert rx.payload == payload.tobytes()
    assert rx.cell_id == 0xBEEF


def test_each_quarter_alone_carries_its_frame_number_and_cell_byte(reference):
    _, sf, iq = reference
    f = iq.size // 4
    got = []
    for i in range(4):
        rx = k.DvbTFrameDemod(k.DvbTFrameParams("1/32", "qpsk", "1/2")).decode(iq[i * f:(i + 1) * f], 68, 3)
        got.append((rx.tps.frame_number, rx.tps.cell_id))
    assert got == [(0, 0x12), (1, 0x34), (2, 0x12), (3, 0x34)]


def out_of_order(iq):
    f = iq.size // 4
    return np.concatenate([iq[2 * f:], iq[:2 * f]])


@pytest.mark.parametrize(
    "cut, message",
    [
        (lambda iq: iq[:-1], "super-frame: frame 3 failed: " + SHORT_TEXT),
        (lambda iq: iq[:iq.size // 2], "super-frame: frame 2 failed: " + ACQ_TEXT),
        (out_of_order, "super-frame: frame numbers out of sequence (got [2, 3, 0, 1], expected 0..3)"),
        (lambda iq: iq[:0], "super-frame: frame 0 failed: " + ACQ_TEXT),
    ],
    ids=["last-sample-missing", "half", "order-2301", "empty"],
)
def test_failures_name_the_first_problem(reference, cut, message):
    _, sf, iq = reference
    with pytest.raises(ValueError) as error:
        demod("1/32").decode(cut(iq), sf.symbols_per_frame, sf.frame_payload_lens)
    assert str(error.value) == message


def test_a_frame_count_beyond_any_buffer_is_too_few_samples(reference):
    _, sf, iq = reference
    with pytest.raises(ValueError, match="^super-frame: frame 0 failed: " + SHORT_TEXT + "$"):
        demod("1/32").decode(iq, 2**62, sf.frame_payload_lens)


def test_cell_id_comes_from_frames_two_and_three(rng):
    payload = support.random_bytes(rng, 40)
    a = super_frame("1/8", "qpsk", "1/2", 0x1111, payload)
    b = super_frame("1/8", "qpsk", "1/2", 0x2222, payload)
    f = a.iq.size // 4
    mixed = np.concatenate([a.iq[:2 * f], b.iq[2 * f:]])
    rx = demod("1/8").decode(mixed, a.symbols_per_frame, a.frame_payload_lens)
    assert rx.cell_id == 0x2222 and rx.payload == payload.tobytes()


def with_plain_cyclic_last_symbols(rng, iq, cp):
    """Frames 0-2 end in a noise symbol with its cyclic prefix: a clean prefix correlation just
    before frames 1-3 (the last symbol carries only fill and a TPS parity bit)."""
    iq, f, s = iq.copy(), iq.size // 4, cp + 2048
    power = float(np.mean(np.abs(iq) ** 2))
    for i in (1, 2, 3):
        body = support.complex_noise(rng, 2048, power)
        iq[i * f - s:i * f] = np.concatenate([body[-cp:], body])
    return iq


@pytest.mark.parametrize("guard", ["1/32", "1/4"])
@pytest.mark.parametrize("kind", ["zeros", "noise", "zeros-cyclic-tails"])
def test_lead_ins_before_the_super_frame(rng, guard, kind):
    cp = CP[guard]
    s = cp + 2048
    half = (cp + 1) // 2
    payload = support.random_bytes(rng, 30)
    sf = super_frame(guard, "qpsk", "1/2", 0x0102, payload)
    iq = with_plain_cyclic_last_symbols(rng, sf.iq, cp) if kind.endswith("cyclic-tails") else sf.iq
    power = float(np.mean(np.abs(iq) ** 2))
    receiver = demod(guard)
    for lead in [0, 1, 100, s - half - 1, s - half, s - 1]:
        if kind == "noise":
            head = support.complex_noise(rng, lead, power)
        else:
            head = np.zeros(lead, np.complex64)
        rx = receiver.decode(np.concatenate([head, iq]), sf.symbols_per_frame, sf.frame_payload_lens)
        assert (rx.payload, rx.cell_id) == (payload.tobytes(), 0x0102), lead


class Lens(tuple):
    pass


class LensList(list):
    pass


@pytest.mark.parametrize("convert", [list, tuple, Lens, LensList])
def test_payload_lengths_may_be_a_list_or_a_tuple(reference, convert):
    payload, sf, iq = reference
    assert demod("1/32").decode(iq, 68, convert(sf.frame_payload_lens)).payload == payload.tobytes()


@pytest.mark.parametrize(
    "lens, error, message",
    [
        ([3, 3, 2], ValueError, "expected a sequence of length 4 (got 3)"),
        ((3, 3, 2, 2, 0), ValueError, "expected a sequence of length 4 (got 5)"),
        (4, TypeError, "argument 'frame_payload_lens': 'int' object is not an instance of 'list'"),
        (np.array([3, 3, 2, 2]), TypeError, "argument 'frame_payload_lens': 'ndarray' object is not an instance of 'list'"),
        ([3, 3, 2, -1], OverflowError, None),
        ([3, 3, 2, "2"], TypeError, None),
    ],
)
def test_payload_length_argument_errors(reference, lens, error, message):
    _, _, iq = reference
    with pytest.raises(error) as raised:
        demod("1/32").decode(iq, 68, lens)
    if message is not None:
        assert str(raised.value) == message


def test_class_surface():
    d = demod("1/8")
    assert (d.rx_window_backoff, d.integer_cfo_correction) == (0, False)
    e = d.with_rx_window_backoff(10**6).with_integer_cfo_correction(True)
    assert (e.rx_window_backoff, e.integer_cfo_correction) == (10**6, True)
    assert (d.rx_window_backoff, d.integer_cfo_correction) == (0, False)
    assert k.DvbTSuperFrameDemod.rx_window_backoff.__doc__ == "The receiver FFT-window back-off in samples."
    assert k.DvbTSuperFrameDemod.integer_cfo_correction.__doc__ == "Whether internal integer-CFO correction is enabled."
    assert k.DvbTRxSuperFrame.payload.__doc__ == "The four frames' payloads, concatenated."
    assert k.DvbTSuperFrameDemod.__text_signature__ == "(params)"
    assert str(inspect.signature(k.DvbTSuperFrameDemod.decode)) == "(self, /, iq, symbols_per_frame, frame_payload_lens)"
    with pytest.raises(TypeError):
        k.DvbTRxSuperFrame()
    with pytest.raises(TypeError):
        k.DvbTSuperFrameDemod(k.DvbTFrameParams("1/8", "qpsk", "1/2"))
