"""The streaming PSK31 text receiver and the carrier search through Python."""

import numpy as np
import pytest

import kavro_sdr as k
import support
from psk31_text import ENGLISH, noisy

PRINTABLE = bytes(range(32, 127))
MODS = {"bpsk": k.Bpsk31Mod, "qpsk": k.Qpsk31Mod}


def test_surface():
    first = k.__all__.index("Qpsk31Demod")
    assert k.__all__[first + 1:first + 4] == ["Psk31Stream", "psk31_sync", "best_psk31_sync"]
    assert k.Psk31Stream.__text_signature__ == "(mode, fs, carrier_hz, gain=1.0)"
    assert k.Psk31Stream.__doc__ == (
        "Streaming PSK31 decoder.\n\nWires demod \u2192 decider/viterbi \u2192 varicode into a single feed/flush API.\n"
        "Use `Psk31Stream(\"bpsk\", fs, carrier_hz, gain)` for BPSK31 or\n`Psk31Stream(\"qpsk\", ...)` for QPSK31.")
    assert k.Psk31Stream.feed.__text_signature__ == "($self, iq)"
    assert k.Psk31Stream.feed.__doc__ == "Feed IQ samples and return any newly decoded text."
    assert k.Psk31Stream.flush.__text_signature__ == "($self)"
    assert k.Psk31Stream.flush.__doc__ == "Flush the decoder and return any remaining text."
    assert sorted(m for m in dir(k.Psk31Stream) if not m.startswith("_")) == ["feed", "flush"]
    assert k.psk31_sync.__text_signature__ == (
        "(iq, fs, base_hz, max_hz, min_carrier_syms=8, peak_margin_db=6.0, n_bits=1024, max_cand=10)")
    assert k.psk31_sync.__doc__ == (
        "Scan for PSK31 carriers in an IQ buffer.\n\nReturns a list of dicts:\n"
        "  {\"time_sym\": int, \"freq_bin\": int, \"carrier_hz\": float, \"score\": float, \"soft_bits\": float32[N]}")
    assert k.best_psk31_sync.__text_signature__ == "(candidates, carrier_hz, baud=...)"
    assert k.best_psk31_sync.__doc__ == (
        "Pick the best PSK31 sync result nearest to `carrier_hz`.\n\nTakes the list of dicts returned by "
        "`psk31_sync()` and returns the best\ncandidate as a dict, or None if no candidate is within 2\u00d7baud "
        "of the carrier.")


class ShoutingStr(str):
    def lower(self):
        return "bpsk"


@pytest.mark.parametrize("mode, ok", [
    ("BPSK", True), ("Bpsk31", True), ("qpsk", True), ("QPSK31", True), ("BPS\u212a", True),
    ("psk31", False), ("bpsk ", False), ("bpsk-31", False), (ShoutingStr("fsk"), False),
])
def test_mode_words(mode, ok):
    if ok:
        k.Psk31Stream(mode, 8000, 0.0)
    else:
        with pytest.raises(ValueError) as caught:
            k.Psk31Stream(mode, 8000, 0.0)
        assert str(caught.value) == "mode must be 'bpsk' or 'qpsk', got '" + str(mode) + "'"


CAND = {"time_sym": 1, "freq_bin": 2, "carrier_hz": 1000.0, "score": 1.0}
ERRORS = [
    (lambda: k.Psk31Stream("fsk", "x", 0.0), TypeError, "argument 'fs'"),
    (lambda: k.Psk31Stream(3, 8000, 0.0), TypeError, "argument 'mode'"),
    (lambda: k.Psk31Stream("bpsk", 10.0, 0.0), ValueError,
     "Psk31Stream: fs gives 0 samples per symbol (must be 1 to 1048576)"),
    (lambda: k.Psk31Stream("qpsk", float("inf"), 0.0), ValueError,
     "Psk31Stream: fs gives 18446744073709551615 samples per symbol (must be 1 to 1048576)"),
    (lambda: k.Psk31Stream("nope", 10.0, 0.0), ValueError, "mode must be 'bpsk' or 'qpsk', got 'nope'"),
    (lambda: k.Psk31Stream("bpsk", 8000, 0.0).feed(np.zeros(4, np.complex128)), TypeError, "argument 'iq'"),
    (lambda: k.Psk31Stream("bpsk", 8000, 0.0).feed(np.zeros(8, np.complex64)[::2]), TypeError,
     "The given array is not contiguous or is misaligned."),
    (lambda: k.best_psk31_sync((), 1000.0), TypeError,
     "argument 'candidates': 'tuple' object is not an instance of 'list'"),
    (lambda: k.best_psk31_sync([1], 1000.0), TypeError, "'int' object is not an instance of 'dict'"),
    (lambda: k.best_psk31_sync([{"carrier_hz": "x"}], 1000.0), TypeError, "must be real number, not str"),
    (lambda: k.best_psk31_sync([{"carrier_hz": 1.0}], 1000.0), KeyError, "'time_sym'"),
    (lambda: k.best_psk31_sync([dict(CAND), {"carrier_hz": 1.0, "time_sym": 0, "freq_bin": 0}], 1000.0),
     KeyError, "'score'"),
    (lambda: k.best_psk31_sync([dict(CAND, time_sym=-1)], 1000.0), OverflowError, ""),
    (lambda: k.psk31_sync(np.ones(64000, np.complex64), 8000, 0, 4e7), ValueError,
     "psk31_sync: waterfall of 250 x 1280001 cells is too large (max 268435456)"),
    (lambda: k.psk31_sync(np.ones(8, np.complex64), 8000, 0, 100, -1), OverflowError, ""),
]


@pytest.mark.parametrize("call, error, text", ERRORS)
def test_errors(call, error, text):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value).startswith(text)


def stream_text(mode, iq, fs, carrier, sizes, gain=1.0):
    stream = k.Psk31Stream(mode, fs, carrier, gain)
    return "".join(support.feed_in_chunks(stream.feed, iq, sizes)) + stream.flush()


@pytest.mark.parametrize("mode", ["bpsk", "qpsk"])
@pytest.mark.parametrize("fs", [8000, 48000])
@pytest.mark.parametrize("carrier", [0.0, 1000.0])
def test_round_trips(mode, fs, carrier, rng):
    iq = MODS[mode](fs, carrier, 1).modulate_text(PRINTABLE)
    plans = ["whole", 37, 4096, "random"] + ([1] if fs == 8000 else [])
    for plan in plans:
        assert stream_text(mode, iq, fs, carrier, support.chunk_sizes(iq.size, plan, rng)) == PRINTABLE.decode(), plan
    for gain in (0.1, 4.0, 100.0):
        assert stream_text(mode, iq, fs, carrier, support.chunk_sizes(iq.size, 4096), gain) == PRINTABLE.decode()
    hi = MODS[mode](fs, carrier, 1).modulate_text(b"Hi\r\n")
    assert stream_text(mode, hi, fs, carrier, [hi.size]) == "Hi"


def test_empty_feed_changes_nothing():
    iq = k.Bpsk31Mod(8000, 1000, 1).modulate_text(b"abc")
    a, b = k.Psk31Stream("bpsk", 8000, 1000), k.Psk31Stream("bpsk", 8000, 1000)
    assert a.feed(iq[:1000]) == b.feed(iq[:1000])
    assert a.feed(np.zeros(0, np.complex64)) == ""
    assert a.feed(iq[1000:]) + a.flush() == b.feed(iq[1000:]) + b.flush() == "abc"


def release_symbol(mode, delay):
    """Feeds four zeros, `e` and 60 more zeros one symbol per call; returns the index of the call
    that gives "e" counted from e's last code symbol."""
    bits = np.array([0, 0, 0, 0, 1, 1] + [0] * 60, np.uint8)
    iq = MODS[mode](8000, 0, 1).modulate_bits(bits)
    stream = k.Psk31Stream(mode, 8000, 0)
    for symbol in range(bits.size):
        if stream.feed(iq[symbol * 256:(symbol + 1) * 256]):
            return symbol - 5
    return None


def test_latency_and_flush():
    assert release_symbol("bpsk", 2) == 2
    assert release_symbol("qpsk", 34) == 34
    assert k.Psk31Stream("qpsk", 8000, 0).flush() == ""
    iq = k.Bpsk31Mod(8000, 0, 1).modulate_bits(np.array([0, 0, 1, 1], np.uint8))
    stream = k.Psk31Stream("bpsk", 8000, 0)
    assert stream.feed(iq) == "" and stream.flush() == "e"
    iq = k.Qpsk31Mod(8000, 0, 1).modulate_text(b"ok", 8, 0)
    stream = k.Psk31Stream("qpsk", 8000, 0)
    assert stream.feed(iq) == "" and stream.flush() == "ok"


def stream_cer(mode, eb_n0_db, amplitude=1.0):
    rates = []
    for seed in range(10):
        iq = noisy(MODS[mode](8000, 1000, amplitude).modulate_text(ENGLISH), eb_n0_db, np.random.default_rng(seed))
        text = stream_text(mode, iq, 8000, 1000, support.chunk_sizes(iq.size, 4096)).encode()
        rates.append(support.edit_distance(text, ENGLISH) / len(ENGLISH))
    return float(np.mean(rates))


@pytest.mark.parametrize("mode, eb_n0_db, bar", [
    ("bpsk", 10, 0.10), ("bpsk", 12, 0.02), ("bpsk", 14, 0.005),
    ("qpsk", 10, 0.02), ("qpsk", 12, 0.005), ("qpsk", 14, 0.005),
])
def test_stream_character_error_rate(mode, eb_n0_db, bar):
    assert stream_cer(mode, eb_n0_db) <= bar


def test_qpsk31_at_low_level():
    for amplitude in (0.1, 0.01):
        iq = k.Qpsk31Mod(8000, 1000, amplitude).modulate_text(b"weak but clear")
        assert "weak but clear" in stream_text("qpsk", iq, 8000, 1000, [iq.size])
    assert stream_cer("qpsk", 12, amplitude=0.01) <= 0.005


def test_low_sample_rate_loses_nothing():
    iq = k.Bpsk31Mod(500, 0, 1).modulate_text(b"slow")
    whole = stream_text("bpsk", iq, 500, 0, [iq.size])
    assert whole == stream_text("bpsk", iq, 500, 0, support.chunk_sizes(iq.size, 64)) == "slow"
    iq = k.Qpsk31Mod(500, 0, 1).modulate_text(b"slow")
    assert stream_text("qpsk", iq, 500, 0, [iq.size]) == "slow"


@pytest.mark.parametrize("mode", ["bpsk", "qpsk"])
@pytest.mark.parametrize("bad", [np.nan, np.inf, 1e30])
def test_a_bad_sample_costs_little(mode, bad):
    iq = MODS[mode](8000, 1000, 1).modulate_text(ENGLISH[:300])
    at = int(np.random.default_rng(3).integers(iq.size // 4, 3 * iq.size // 4))
    iq[at] = bad
    text = stream_text(mode, iq, 8000, 1000, support.chunk_sizes(iq.size, 4096)).encode()
    assert support.edit_distance(text, ENGLISH[:300]) <= 3


@pytest.mark.parametrize("mode", ["bpsk", "qpsk"])
@pytest.mark.parametrize("size", [1e5, 1e12, 1e20])
def test_a_crash_before_a_transmission_costs_none_of_it(mode, size):
    texts = b"The quick brown fox jumps over", b"PACK MY BOX WITH FIVE DOZEN LIQ"
    first, second = (MODS[mode](8000, 1000, 1).modulate_text(t) for t in texts)
    rng = np.random.default_rng(3)
    gap = (0.05 * (rng.standard_normal(36 * 256) + 1j * rng.standard_normal(36 * 256))).astype(np.complex64)
    clean = np.concatenate([first, gap, second])
    iq = clean.copy()
    iq[first.size + 10 * 256 + 100] += size
    stream = k.Psk31Stream(mode, 8000, 1000)
    text = stream.feed(iq) + stream.flush()
    assert texts[0].decode() in text and texts[1].decode() in text
    if mode == "qpsk":
        bits = []
        for samples in (clean, iq):
            demod = k.Qpsk31Demod(8000, 1000, 1)
            demod.process(samples)
            bits.append(demod.flush())
        assert np.all(np.flatnonzero(bits[0] != bits[1]) < (first.size + gap.size) // 256)


# --- carrier search


def test_sync_edge_cases():
    tone = np.exp(2j * np.pi * 1000 * np.arange(256 * 40) / 8000).astype(np.complex64)
    assert k.psk31_sync(tone, 15.5, 500, 2500) == []
    assert k.psk31_sync(np.zeros(0, np.complex64), 8000, 500, 2500) == []
    assert k.psk31_sync(tone[:255], 8000, 500, 2500) == []
    assert k.psk31_sync(tone, 8000, 500, 2500, max_cand=0) == []
    assert k.psk31_sync(tone, 8000, 0, 1e30) == []
    found = k.psk31_sync(tone, 8000, 500, 2500, 8)
    assert found and found[0]["freq_bin"] == 16 and found[0]["carrier_hz"] == 1000.0
    [d] = [c for c in found if c["freq_bin"] == 16]
    assert list(d) == ["time_sym", "freq_bin", "carrier_hz", "score", "soft_bits"]
    assert [type(d[key]) for key in list(d)[:4]] == [int, int, float, float]
    assert d["soft_bits"].dtype == np.float32 and d["soft_bits"].size == 40 - d["time_sym"]
    for n_bits, size in ((0, 0), (5, 5), (10**6, 40 - d["time_sym"])):
        [c] = [c for c in k.psk31_sync(tone, 8000, 500, 2500, 8, n_bits=n_bits) if c["freq_bin"] == 16]
        assert c["soft_bits"].size == size
    assert k.psk31_sync(np.full(8000, np.nan, np.complex64), 8000, 500, 1000) == []
    nan_iq = tone.copy()
    nan_iq[::7] = np.nan
    assert k.psk31_sync(nan_iq, 8000, 500, 2500, 1) == []             # a NaN in every symbol
    # NaN in symbols 18 and 19 splits the carrier: it is found on both sides, and every other
    # symbol's soft value is the clean tone's, counted from the start of its run.
    nan_iq = tone.copy()
    nan_iq[[18 * 256 + 5, 19 * 256 + 100]] = np.nan
    split = {c["time_sym"]: c["soft_bits"] for c in k.psk31_sync(nan_iq, 8000, 500, 2500, 8) if c["freq_bin"] == 16}
    clean = d["soft_bits"]
    assert d["time_sym"] == 0 and sorted(split) == [0, 20]
    assert np.array_equal(split[0][:18], clean[:18]) and np.allclose(split[0][20:], clean[:20], atol=1e-4)
    assert np.allclose(split[20], clean[:20], atol=1e-4)


def min_carrier_syms_zero_is_one():
    rng = np.random.default_rng(1)
    keyed = np.exp(2j * np.pi * 1000 * np.arange(256 * 40) / 8000) * (rng.random(40).repeat(256) > 0.5)
    keyed = (keyed + 0.01 * rng.standard_normal(keyed.size)).astype(np.complex64)
    zero, one = (k.psk31_sync(keyed, 8000, 500, 2500, m) for m in (0, 1))
    key = lambda found: [(c["time_sym"], c["freq_bin"], c["score"], c["soft_bits"].tolist()) for c in found]
    return len(zero) > 1 and key(zero) == key(one)


def detection(offset_hz, lead_bits=False):
    """A BPSK31 transmission near 1000 Hz at Eb/N0 12 dB, 64 noise symbols either side, aligned."""
    rng = np.random.default_rng(int(offset_hz * 10) + 5)
    mod = k.Bpsk31Mod(8000, 1000 + offset_hz, 1)
    sent = mod.modulate_text(ENGLISH)
    power = float(np.mean(np.abs(sent.astype(np.complex128)) ** 2))
    quiet = np.zeros(64 * 256, np.complex64)
    iq = noisy(np.concatenate([quiet, sent, quiet]), 12, rng, power=power)
    enc = k.VaricodeEncoder()
    enc.push_preamble(32)
    for b in ENGLISH:
        enc.push_byte(b)
    enc.push_postamble(32)
    return k.psk31_sync(iq, 8000, 500, 2500), enc.drain_bits()


def agreement(candidate, bits):
    soft = candidate["soft_bits"]
    first = candidate["time_sym"] + 1 - 64
    sent = bits[first:first + soft.size - 1]
    return np.mean((soft[1:sent.size + 1] >= 0) == (sent == 1)) if sent.size == soft.size - 1 else 0.0


def test_detection():
    assert min_carrier_syms_zero_is_one()
    found, bits = detection(0.0)
    in_bin = [c for c in found if c["freq_bin"] == 16 and c["soft_bits"].size == 1024]
    assert max(agreement(c, bits) for c in in_bin) >= 0.99
    found, bits = detection(1.0)
    in_bin = [c for c in found if c["freq_bin"] == 16 and c["soft_bits"].size == 1024]
    assert max(agreement(c, bits) for c in in_bin) >= 0.97
    for offset in (5.0, 15.0):
        found, _ = detection(offset)
        assert any(abs(c["carrier_hz"] - (1000 + offset)) <= 31.25 for c in found)


def cand(time_sym, carrier_hz, **extra):
    return dict({"time_sym": time_sym, "freq_bin": 0, "carrier_hz": carrier_hz, "score": 0.0}, **extra)


def test_best_sync_choice():
    a, b = cand(5, 1000.0), cand(3, 1040.0)
    assert k.best_psk31_sync([a, b], 1000.0) is b                   # earliest start wins over nearer carrier
    edge = cand(1, 1062.5)
    assert k.best_psk31_sync([a, edge], 1000.0) is edge              # 2 × baud is inside
    assert k.best_psk31_sync([cand(1, 1062.6)], 1000.0) is None
    assert k.best_psk31_sync([cand(1, 1000.5)], 1000.0, 0.0) is None
    exact = cand(1, 1000.0)
    assert k.best_psk31_sync([cand(1, 1000.5), exact], 1000.0, 0.0) is exact
    near, far = cand(2, 1010.0), cand(2, 989.5)
    assert k.best_psk31_sync([far, near], 1000.0) is near             # equal start: nearer carrier
    first, second = cand(2, 1010.0), cand(2, 990.0)
    assert k.best_psk31_sync([first, second], 1000.0) is first        # equal distance: earlier in the list
    extra = cand(0, 1000.0, note="mine")
    assert k.best_psk31_sync([extra], 1000.0) is extra and extra["note"] == "mine"
    dup, chosen = cand(4, 1000.004 + 0.004), cand(4, 1000.004)
    assert k.best_psk31_sync([cand(9, 1000.0), dup, chosen], 1000.0) is dup
    assert k.best_psk31_sync([], 1000.0) is None
    assert k.best_psk31_sync([cand(1, float("nan"))], 1000.0) is None
