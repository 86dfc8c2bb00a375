"""DvbTFrameStreamDemod: chunk invariance and when frames appear, failures in place, finding frame
starts again after an entry inside a frame, a gap or a frame cut short (also at a carrier offset),
one bad sample, flush and clear, and the constructor's limits."""

import inspect

import numpy as np
import pytest

import kavro_sdr as k
import support

S, N, F, LEN = 2112, 68, 68 * 2112, 1000
PARAMS = k.DvbTFrameParams("1/32", "qpsk", "1/2")
PAYLOAD_TEXT = "payload FEC/CRC decode failed"
TPS_TEXT = "TPS word failed to decode (BCH uncorrectable)"


@pytest.fixture(scope="module")
def frames():
    """Twenty reference frames at 20 dB, numbered 0, 1, 2, 3, 0, ... as in super-frames (the odd
    ones carry the inverted sync word), and their payloads."""
    rng = np.random.default_rng(15)
    payloads = [support.random_bytes(rng, LEN).tobytes() for _ in range(20)]
    iqs = []
    for i, p in enumerate(payloads):
        mod = k.DvbTFrameMod(k.DvbTFrameParams("1/32", "qpsk", "1/2", i % 4))
        iq = mod.modulate(np.frombuffer(p, np.uint8)).iq
        assert iq.size == F
        iqs.append(iq + support.complex_noise(rng, F, 1e-2 / 2048))
    power = float(np.mean([np.mean(np.abs(iq) ** 2) for iq in iqs]))
    return payloads, iqs, power


def receiver(n_symbols=N, payload_len=LEN):
    return k.DvbTFrameStreamDemod(PARAMS, n_symbols, payload_len)


def payloads_of(results):
    return [f.payload for f in results]


@pytest.mark.parametrize("plan", ["whole", 4096, 997, "random"])
def test_chunking_changes_nothing_and_frames_appear_once_their_symbol_of_slack_is_in(frames, plan):
    payloads, iqs, _ = frames
    stream = np.concatenate(iqs[:10] + [np.zeros(S, np.complex64)])
    rx = receiver()
    outcomes, fed, first_seen = [], 0, []
    for size in support.chunk_sizes(stream.size, plan, np.random.default_rng(3)):
        got = rx.feed(stream[fed:fed + size])
        outcomes += [(f.payload, repr(f.tps)) for f in got]
        first_seen += [(fed, fed + size)] * len(got)
        fed += size
        assert rx.buffered < F + S
    tps = "TpsWord(frame_number={}, constellation=\"qpsk\", code_rate=\"1/2\", guard=\"1/32\", cell_id=0)"
    assert outcomes == [(p, tps.format(i % 4)) for i, p in enumerate(payloads[:10])]
    for i, (before, after) in enumerate(first_seen):
        # Frame i comes from the first feed after which (i + 1)·F + S samples are in.
        assert before < (i + 1) * F + S <= after


def test_failed_attempts_do_not_depend_on_chunking_either(frames):
    payloads, iqs, power = frames
    rng = np.random.default_rng(4)
    stream = np.concatenate(
        [iqs[0][5 * S + 333:], iqs[1], support.complex_noise(rng, F // 3, power)] + iqs[2:5]
        + [support.complex_noise(rng, S + 5, power)] + iqs[5:7] + [np.zeros(S, np.complex64)]
    )

    def outcomes(plan):
        rx, got, fed = receiver(), [], 0
        for size in support.chunk_sizes(stream.size, plan, np.random.default_rng(9)):
            got += [(f.payload if f else None, e) for f, e in rx.feed_with_errors(stream[fed:fed + size])]
            fed += size
        return got

    whole = outcomes("whole")
    assert [p for p, _ in whole if p is not None] == payloads[1:7]
    assert any(e is not None for _, e in whole)
    assert outcomes(997) == whole
    assert outcomes("random") == whole


def test_a_damaged_frame_is_one_failure_in_place(frames, rng):
    payloads, iqs, _ = frames
    stream = np.concatenate(iqs[:10] + [np.zeros(S, np.complex64)])
    burst = slice(5 * F + 10 * S, 5 * F + 20 * S)
    stream[burst] += support.complex_noise(rng, 10 * S, 1.0 / 2048)
    outcomes = receiver().feed_with_errors(stream)
    assert [(f.payload if f else None, e) for f, e in outcomes] == (
        [(p, None) for p in payloads[:5]] + [(None, PAYLOAD_TEXT)] + [(p, None) for p in payloads[6:10]]
    )
    assert payloads_of(receiver().feed(stream)) == payloads[:5] + payloads[6:10]


@pytest.mark.parametrize("symbol", [1, 2, 5, 10, 22, 23, "random"])
def test_entering_inside_a_frame_loses_only_that_frame(frames, symbol):
    payloads, iqs, _ = frames
    stream = np.concatenate(iqs[:6] + [np.zeros(S, np.complex64)])
    start = int(np.random.default_rng(8).integers(1, F)) if symbol == "random" else symbol * S
    got = payloads_of(receiver().feed(stream[start:]))
    assert got == payloads[1:6]


@pytest.mark.parametrize("noise", [S + 17, 3 * S, F // 2, 2 * F + 5])
def test_noise_before_the_stream_costs_at_most_the_first_frame(frames, rng, noise):
    payloads, iqs, power = frames
    stream = np.concatenate([support.complex_noise(rng, noise, power)] + iqs[:10] + [np.zeros(S, np.complex64)])
    got = payloads_of(receiver().feed(stream))
    assert got in (payloads[:10], payloads[1:10])


def test_gaps_cost_at_most_the_frame_after_a_long_one(frames):
    payloads, iqs, power = frames
    rng = np.random.default_rng(21)
    lengths = [int(n) for n in rng.integers(1, S, 5)] + [int(n) for n in rng.integers(S, 2 * F + 1, 5)]
    rng.shuffle(lengths)
    after = sorted(rng.choice(np.arange(19), 10, replace=False))  # a gap after frame i
    gap_after = dict(zip(after, lengths))
    pieces = []
    for i, iq in enumerate(iqs):
        pieces.append(iq)
        if i in gap_after:
            pieces.append(support.complex_noise(rng, gap_after[i], power))
    pieces.append(np.zeros(S, np.complex64))
    got = payloads_of(receiver().feed(np.concatenate(pieces)))
    may_lose = {i + 1 for i, n in gap_after.items() if n >= S}
    assert all(p in got for i, p in enumerate(payloads) if i not in may_lose)
    assert got == [p for p in payloads if p in got]  # in order, none twice


def test_a_short_gap_after_a_long_one_costs_nothing():
    # The long gap's failed attempts sit on a grid that the next frames are not on.
    mod, rng = k.DvbTFrameMod(PARAMS), np.random.default_rng(1)
    payloads = [support.random_bytes(rng, LEN) for _ in range(3)]
    a, b, c = (mod.modulate(p).iq for p in payloads)
    noise = lambda n: (0.015 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)
    long_gap, short_gap = int(rng.integers(S, 2 * F)), int(rng.integers(1, S))
    stream = np.concatenate([noise(long_gap), a, noise(short_gap), b, c, np.zeros(S, np.complex64)])
    got = payloads_of(receiver().feed(stream))
    assert got in ([p.tobytes() for p in payloads], [p.tobytes() for p in payloads[1:]])


def test_alternating_long_and_short_gaps_cost_at_most_the_frames_after_the_long_ones(frames):
    payloads, iqs, power = frames
    rng = np.random.default_rng(26)
    pieces = []
    for i, iq in enumerate(iqs[:14]):
        gap = int(rng.integers(S, 2 * F + 1)) if i % 2 == 0 else int(rng.integers(1, S))
        pieces += [support.complex_noise(rng, gap, power), iq]
    got = payloads_of(receiver().feed(np.concatenate(pieces + [np.zeros(S, np.complex64)])))
    assert all(p in got for p in payloads[1:14:2])
    assert got == [p for p in payloads[:14] if p in got]  # in order, none twice


@pytest.mark.parametrize("cut", [S, 2 * S, 3 * S, 7 * S, 6 * S + 1000])
def test_a_frame_cut_short_does_not_swallow_the_next(frames, cut):
    # The cut frame's payload sits in its first symbols: it decodes as long as its TPS word
    # survives the next frame's bits in its last symbols (at most two wrong), here up to 3 symbols.
    payloads, iqs, _ = frames
    stream = np.concatenate([iqs[0][:-cut], iqs[1], iqs[2], np.zeros(S, np.complex64)])
    outcomes = [(f.payload if f else None, e) for f, e in receiver().feed_with_errors(stream)]
    assert outcomes[-2:] == [(p, None) for p in payloads[1:3]]
    cut_frame = [(payloads[0], None)] if cut <= 3 * S else [(None, TPS_TEXT)] * 2
    assert outcomes[:-2] == cut_frame


def test_a_frame_cut_short_does_not_swallow_the_next_at_a_carrier_offset(frames):
    # The kept symbols' TPS bits are read with the decoded frame's offset removed.
    payloads, iqs, _ = frames
    stream = np.concatenate([iqs[0][:-2 * S], iqs[1], iqs[2], np.zeros(S, np.complex64)])
    moved = (stream * np.exp(2j * np.pi * 3.3 * np.arange(stream.size) / 2048)).astype(np.complex64)
    outcomes = k.DvbTFrameStreamDemod(PARAMS, N, LEN, integer_cfo_correction=True).feed_with_errors(moved)
    assert [(f.payload if f else None, e) for f, e in outcomes] == [(p, None) for p in payloads[:3]]


@pytest.mark.parametrize("value", [np.nan, np.inf])
@pytest.mark.parametrize("ahead", [300, 2000, S - 1])
def test_one_non_finite_sample_ahead_of_a_frame_costs_nothing(frames, value, ahead):
    payloads, iqs, _ = frames
    stream = np.concatenate([np.zeros(ahead, np.complex64), iqs[0], iqs[1], np.zeros(S, np.complex64)])
    stream[0] = value
    assert payloads_of(receiver().feed(stream)) == payloads[:2]


def test_long_frames_entered_at_their_second_block(rng):
    mod = k.DvbTFrameMod(PARAMS)
    payloads = [support.random_bytes(rng, 25000) for _ in range(3)]
    iqs = [mod.modulate(p).iq for p in payloads]
    assert iqs[0].size == 157 * S
    stream = np.concatenate(iqs + [np.zeros(S, np.complex64)])[68 * S:]
    got = payloads_of(k.DvbTFrameStreamDemod(PARAMS, 157, 25000).feed(stream))
    assert got == [p.tobytes() for p in payloads[1:]]


def test_flush_needs_one_more_symbol_and_clear_empties(frames):
    payloads, iqs, _ = frames
    rx = receiver()
    assert rx.feed(iqs[0]) == []
    assert rx.flush() == []
    assert rx.buffered == F
    assert payloads_of(rx.feed(np.zeros(S, np.complex64))) == payloads[:1]
    assert rx.flush() == []
    assert rx.buffered == S
    rx.clear()
    assert rx.buffered == 0
    assert rx.feed(np.zeros(0, np.complex64)) == []


def test_an_impossible_payload_length_fails_each_frame(frames):
    payloads, iqs, _ = frames
    stream = np.concatenate(iqs[:3] + [np.zeros(S, np.complex64)])
    outcomes = receiver(payload_len=2**64 - 1).feed_with_errors(stream)
    assert outcomes == [(None, PAYLOAD_TEXT)] * 3


@pytest.mark.parametrize(
    "n_symbols, message",
    [(0, "DvbTFrameStreamDemod: n_symbols must be at least 1"),
     (2**63, "DvbTFrameStreamDemod: n_symbols (9223372036854775808) is too large"),
     (2**64 - 1, "DvbTFrameStreamDemod: n_symbols (18446744073709551615) is too large")],
)
def test_constructor_refuses_unusable_symbol_counts(n_symbols, message):
    with pytest.raises(ValueError) as error:
        receiver(n_symbols=n_symbols)
    assert str(error.value) == message


def test_class_surface():
    rx = k.DvbTFrameStreamDemod(PARAMS, N, LEN, rx_window_backoff=16, integer_cfo_correction=True)
    assert (rx.rx_window_backoff, rx.integer_cfo_correction, rx.buffered) == (16, True, 0)
    assert (receiver().rx_window_backoff, receiver().integer_cfo_correction) == (0, False)
    assert k.DvbTFrameStreamDemod.__text_signature__ == (
        "(params, n_symbols, payload_len, integer_cfo_correction=False, rx_window_backoff=0)")
    for name in ("feed", "feed_with_errors"):
        assert str(inspect.signature(getattr(k.DvbTFrameStreamDemod, name))) == "(self, /, iq)"
    assert "samples_per_symbol" in k.DvbTFrameStreamDemod.flush.__doc__
    with pytest.raises(TypeError):
        rx.feed(np.zeros(4, np.complex128))
    with pytest.raises(TypeError):
        k.DvbTFrameStreamDemod(k.DvbTSuperFrameParams("1/8", "qpsk", "1/2"), N, LEN)
