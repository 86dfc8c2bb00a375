"""PSK31 codecs and modems through Python: surface, argument errors, spectrum, error rates."""

import numpy as np
import pytest

import kavro_sdr as k
import support
from psk31_text import ENGLISH

NAMES = ["VaricodeEncoder", "VaricodeDecoder", "Bpsk31Mod", "Qpsk31Mod", "Bpsk31Demod", "Bpsk31Decider", "Qpsk31Demod"]

DOCS = {
    "VaricodeEncoder": "VaricodeEncoder()",
    "VaricodeDecoder": "VaricodeDecoder()",
    "Bpsk31Mod": "Bpsk31Mod(fs, rf_hz, gain)",
    "Qpsk31Mod": "Qpsk31Mod(fs, rf_hz, gain)",
    "Bpsk31Demod": "Bpsk31Demod(fs, rf_hz, gain)",
    "Bpsk31Decider": "Bpsk31Decider()",
    "Qpsk31Demod": "Qpsk31Demod(fs, rf_hz, gain)",
}

METHOD_DOCS = {
    ("VaricodeEncoder", "push_preamble"): ("($self, n)", ""),
    ("VaricodeEncoder", "push_byte"): ("($self, b)", ""),
    ("VaricodeEncoder", "push_postamble"): ("($self, n)", ""),
    ("VaricodeEncoder", "drain_bits"): ("($self)", "Drain all pending bits into a uint8 numpy array."),
    ("VaricodeEncoder", "is_empty"): ("($self)", ""),
    ("VaricodeDecoder", "push_bits"): ("($self, bits)", "Feed a uint8 numpy array of bits (0/1) into the decoder."),
    ("VaricodeDecoder", "pop_bytes"): ("($self)", "Drain all decoded bytes as a Python `bytes` object."),
    ("Bpsk31Mod", "modulate_bits"): ("($self, bits)", "Modulate raw differential bits into a complex64 IQ waveform."),
    ("Bpsk31Mod", "modulate_text"): ("($self, text, preamble_bits=..., postamble_bits=...)",
                                     "Modulate text bytes into a complex64 IQ waveform."),
    ("Bpsk31Mod", "reset"): ("($self)", ""),
    ("Bpsk31Mod", "set_gain"): ("($self, g)", ""),
    ("Qpsk31Mod", "modulate_bits"): ("($self, bits)", ""),
    ("Qpsk31Mod", "modulate_text"): ("($self, text, preamble_bits=..., postamble_bits=...)", ""),
    ("Qpsk31Mod", "reset"): ("($self)", ""),
    ("Qpsk31Mod", "set_gain"): ("($self, g)", ""),
    ("Bpsk31Demod", "process"): ("($self, iq)", "Process a complex64 IQ array and return float32 soft bits."),
    ("Bpsk31Demod", "reset"): ("($self)", ""),
    ("Bpsk31Demod", "set_gain"): ("($self, g)", ""),
    ("Bpsk31Decider", "process"): ("($self, soft)", "Threshold soft bits to hard decisions. Returns uint8 array."),
    ("Qpsk31Demod", "process"): ("($self, iq)", "Process IQ samples and buffer the resulting soft dibits.\n"
                                 "Returns the soft dibit float32 array (interleaved Re/Im pairs)."),
    ("Qpsk31Demod", "flush"): ("($self)", "Run Viterbi on accumulated soft dibits and return decoded bits."),
    ("Qpsk31Demod", "reset"): ("($self)", ""),
    ("Qpsk31Demod", "set_gain"): ("($self, g)", ""),
}


def test_surface():
    names = [n for n in k.__all__ if n in NAMES]
    assert names == NAMES
    first = k.__all__.index("VaricodeEncoder")
    assert k.__all__[first:first + 7] == NAMES
    for name, doc in DOCS.items():
        assert getattr(k, name).__doc__ == "" and getattr(k, name).__text_signature__ == doc[len(name):]
    for (cls, method), (signature, text) in METHOD_DOCS.items():
        fn = getattr(getattr(k, cls), method)
        assert fn.__text_signature__ == signature
        assert (fn.__doc__ or "") == text
    public = {c: sorted(m for m in dir(getattr(k, c)) if not m.startswith("_")) for c in NAMES}
    assert public == {c: sorted(m for (cc, m) in METHOD_DOCS if cc == c) for c in NAMES}


def test_modulate_text_defaults_are_32():
    m1, m2 = k.Bpsk31Mod(8000, 0, 1), k.Bpsk31Mod(8000, 0, 1)
    assert np.array_equal(m1.modulate_text(b"e"), m2.modulate_text(b"e", 32, 32))
    assert m1.modulate_text(b"", postamble_bits=0).size == 32 * 256


UINT8 = np.zeros(3, np.uint8)
STRIDED = np.zeros(6, np.uint8)[::2]
ERRORS = [
    (lambda: k.VaricodeEncoder().push_byte(256), OverflowError, "out of range integral type conversion attempted"),
    (lambda: k.VaricodeEncoder().push_byte(-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: k.VaricodeEncoder().push_byte(1.5), TypeError, "argument 'b'"),
    (lambda: k.VaricodeEncoder().push_preamble(-1), OverflowError, ""),
    (lambda: k.VaricodeEncoder().push_postamble(2**64), OverflowError, ""),
    (lambda: k.VaricodeEncoder(1), TypeError, ""),
    (lambda: k.Bpsk31Decider(0), TypeError, ""),
    (lambda: k.VaricodeDecoder().push_bits(np.zeros(3, np.float32)), TypeError, "argument 'bits'"),
    (lambda: k.VaricodeDecoder().push_bits(STRIDED), TypeError, "The given array is not contiguous or is misaligned."),
    (lambda: k.Bpsk31Mod("8000", 0, 1), TypeError, "argument 'fs'"),
    (lambda: k.Qpsk31Mod(8000, 0, 1).modulate_bits(STRIDED), TypeError, "not contiguous"),
    (lambda: k.Bpsk31Mod(8000, 0, 1).modulate_text("text"), TypeError, "argument 'text'"),
    (lambda: k.Bpsk31Mod(8000, 0, 1).modulate_text(bytearray(b"x")), TypeError, "argument 'text'"),
    (lambda: k.Qpsk31Mod(8000, 0, 1).modulate_text(b"", -1), OverflowError, ""),
    (lambda: k.Bpsk31Demod(8000, 0, 1).process(np.zeros(3, np.complex128)), TypeError, "argument 'iq'"),
    (lambda: k.Bpsk31Decider().process(np.zeros(3, np.float64)), TypeError, "argument 'soft'"),
    (lambda: k.Qpsk31Demod(8000, 0, 1).set_gain("x"), TypeError, "argument 'g'"),
    (lambda: k.Bpsk31Mod(4e7, 0, 1), ValueError, "Bpsk31Mod: fs gives 1280000 samples per symbol (max 1048576)"),
    (lambda: k.Qpsk31Mod(float("inf"), 0, 1), ValueError,
     "Qpsk31Mod: fs gives 18446744073709551615 samples per symbol (max 1048576)"),
    (lambda: k.Bpsk31Demod(15.5, 0, 1), ValueError, "Bpsk31Demod: fs gives 0 samples per symbol (must be 1 to 1048576)"),
    (lambda: k.Qpsk31Demod(float("nan"), 0, 1), ValueError, "Qpsk31Demod: fs gives 0 samples per symbol (must be 1 to 1048576)"),
    (lambda: k.Qpsk31Demod(4e7, 0, 1), ValueError, "Qpsk31Demod: fs gives 1280000 samples per symbol (must be 1 to 1048576)"),
]


@pytest.mark.parametrize("call, error, text", ERRORS)
def test_argument_errors(call, error, text):
    with pytest.raises(error) as caught:
        call()
    assert text in str(caught.value)
    if text.startswith("argument") or error is ValueError:
        assert str(caught.value).startswith(text)


def test_sizes_beyond_memory_change_nothing():
    enc = k.VaricodeEncoder()
    enc.push_byte(101)
    for call in (lambda: enc.push_preamble(2**62), lambda: enc.push_postamble(2**62)):
        with pytest.raises(MemoryError):
            call()
    assert enc.drain_bits().tolist() == [1, 1]
    mod, fresh = k.Bpsk31Mod(8000, 1000, 1), k.Bpsk31Mod(8000, 1000, 1)
    for call in (lambda: mod.modulate_text(b"", 2**62), lambda: mod.modulate_text(b"", 2**63, 2**63)):
        with pytest.raises(MemoryError):
            call()
    assert np.array_equal(mod.modulate_text(b"hi"), fresh.modulate_text(b"hi"))
    # A refused argument changes nothing either.
    with pytest.raises(OverflowError):
        mod.modulate_text(b"x", -1)
    assert np.array_equal(mod.modulate_text(b"hi"), fresh.modulate_text(b"hi"))


def test_sample_rate_zero_modulates_nothing():
    assert k.Bpsk31Mod(10, 0, 1).modulate_text(b"abc").size == 0
    assert k.Qpsk31Mod(-5, 0, 1).modulate_bits(np.ones(4, np.uint8)).size == 0


def test_published_loopback_examples():
    bits = np.array([1, 1, 0, 1, 0, 0, 1], np.uint8)
    for rf in (0.0, 1000.0):
        soft = k.Bpsk31Demod(8000, rf, 1).process(k.Bpsk31Mod(8000, rf, 1).modulate_bits(bits))
        assert np.allclose(soft, [1, 1, -1, 1, -1, -1, 1], atol=1e-3)
        assert k.Bpsk31Decider().process(soft).tolist() == bits.tolist()
    demod = k.Qpsk31Demod(8000, 0, 1)
    pairs = demod.process(k.Qpsk31Mod(8000, 0, 1).modulate_bits(bits)).reshape(-1, 2)
    assert np.allclose(pairs, [(-1, 0), (-1, 0), (0, 1), (1, 0), (0, 1), (0, -1), (0, 1)], atol=1e-5)
    assert demod.flush().tolist() == bits.tolist()
    assert demod.flush().size == 0 and demod.flush().dtype == np.uint8
    assert demod.process(np.zeros(0, np.complex64)).dtype == np.float32
    # reset drops the buffered pairs.
    demod.process(k.Qpsk31Mod(8000, 0, 1).modulate_bits(bits))
    demod.reset()
    assert demod.flush().size == 0


@pytest.mark.parametrize("mode", ["bpsk", "qpsk"])
@pytest.mark.parametrize("fs", [8000, 48000])
def test_any_chunking_gives_the_same_soft_values_and_text(mode, fs, rng):
    mod, demod = (k.Bpsk31Mod, k.Bpsk31Demod) if mode == "bpsk" else (k.Qpsk31Mod, k.Qpsk31Demod)
    iq = mod(fs, 1000, 1).modulate_text(b"in pieces")
    symbols = iq.size // round(fs / 31.25)
    for plan in ["whole", 1, 100, 4096, "random"]:
        receiver = demod(fs, 1000, 1)
        soft = np.concatenate(support.feed_in_chunks(receiver.process, iq, support.chunk_sizes(iq.size, plan, rng)))
        whole = soft if plan == "whole" else whole
        assert np.array_equal(soft, whole), plan
        bits = k.Bpsk31Decider().process(soft) if mode == "bpsk" else receiver.flush()
        assert bits.size == symbols, plan
        decoder = k.VaricodeDecoder()
        decoder.push_bits(np.concatenate([bits, np.zeros(2, np.uint8)]))
        assert decoder.pop_bytes() == b"in pieces", plan


def test_decider_edges():
    soft = np.array([0.0, -0.0, -1e-9, np.nan, 2.5], np.float32)
    assert k.Bpsk31Decider().process(soft).tolist() == [1, 1, 0, 0, 1]


def test_varicode_chunks_and_high_bytes(rng):
    enc = k.VaricodeEncoder()
    text = bytes(range(256))
    enc.push_preamble(32)
    for b in text:
        enc.push_byte(b)
    enc.push_postamble(32)
    bits = np.concatenate([enc.drain_bits(), np.zeros(2, np.uint8)])
    assert enc.is_empty() and enc.drain_bits().dtype == np.uint8
    whole = k.VaricodeDecoder()
    whole.push_bits(bits)
    expected = bytes(range(128)) + bytes(128)
    assert whole.pop_bytes() == expected and whole.pop_bytes() == b""
    pieces = k.VaricodeDecoder()
    support.feed_in_chunks(pieces.push_bits, bits, support.chunk_sizes(bits.size, "random", rng))
    assert pieces.pop_bytes() == expected


def spectrum_db(iq):
    """Periodogram of the whole signal (0.0078 Hz bins at 4000 symbols), in dB."""
    power = np.abs(np.fft.fftshift(np.fft.fft(iq.astype(np.complex128)))) ** 2
    freqs = np.fft.fftshift(np.fft.fftfreq(iq.size, 1 / 8000))
    return freqs, 10 * np.log10(power + 1e-30)


def test_published_spectrum(rng):
    mod = k.Bpsk31Mod(8000, 0, 1)
    freqs, db = spectrum_db(mod.modulate_bits(support.random_bits(rng, 4000)))
    assert db[np.abs(freqs) > 32].max() <= db.max() - 26
    freqs, db = spectrum_db(k.Bpsk31Mod(8000, 0, 1).modulate_bits(np.zeros(4000, np.uint8)))
    lines = np.argsort(db)[-2:]
    assert sorted(freqs[lines].tolist()) == pytest.approx([-15.625, 15.625])
    assert db[freqs == 0][0] <= db.max() - 60
    freqs, db = spectrum_db(k.Bpsk31Mod(8000, 0, 1).modulate_bits(np.ones(4000, np.uint8)))
    assert freqs[np.argmax(db)] == 0 and np.sort(db)[-2] <= db.max() - 60


def received(mode, text, eb_n0_db, seed):
    """The text sent at fs 8000 and 1000 Hz, with noise at Eb/N0 (Eb = P·sps, N0 = σ²)."""
    mod = (k.Bpsk31Mod if mode == "bpsk" else k.Qpsk31Mod)(8000, 1000, 1)
    iq = mod.modulate_text(text)
    power = np.mean(np.abs(iq.astype(np.complex128)) ** 2)
    variance = power * 256 / 10 ** (eb_n0_db / 10)
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal(2 * iq.size, dtype=np.float32).view(np.complex64) * np.float32(np.sqrt(variance / 2))
    return iq + noise


def decode_text(mode, iq):
    if mode == "bpsk":
        bits = k.Bpsk31Decider().process(k.Bpsk31Demod(8000, 1000, 1).process(iq))
    else:
        demod = k.Qpsk31Demod(8000, 1000, 1)
        demod.process(iq)
        bits = demod.flush()
    decoder = k.VaricodeDecoder()
    decoder.push_bits(np.concatenate([bits, np.zeros(2, np.uint8)]))
    return decoder.pop_bytes()


def mean_cer(mode, eb_n0_db):
    rates = [support.edit_distance(decode_text(mode, received(mode, ENGLISH, eb_n0_db, seed)), ENGLISH) / len(ENGLISH)
             for seed in range(10)]
    return float(np.mean(rates))


@pytest.mark.parametrize("mode, eb_n0_db, bar", [
    ("bpsk", 10, 0.10), ("bpsk", 12, 0.02), ("bpsk", 14, 0.005),
    ("qpsk", 10, 0.02), ("qpsk", 12, 0.005), ("qpsk", 14, 0.005),
])
def test_character_error_rate(mode, eb_n0_db, bar):
    assert mean_cer(mode, eb_n0_db) <= bar


def test_noiseless_text_round_trip():
    for mode in ("bpsk", "qpsk"):
        assert decode_text(mode, received(mode, ENGLISH, 300, 0)) == ENGLISH
