"""FT8/FT4 codecs, modulators and demodulators through Python: the published tones of the WSJT-X
encoders, round trips, the refusals and their texts, and the decodes that must not happen."""

import numpy as np
import pytest

import kavro_sdr
import support
import wsjtx

CODECS = {"ft8": kavro_sdr.Ft8Codec, "ft4": kavro_sdr.Ft4Codec}
ARROW = "\u2192"

MESSAGES = [
    "CQ K1ABC FN31",
    "K1ABC W9XYZ -35",
    "K1ABC W9XYZ R EN37",
    "K1ABC W9XYZ RR73",
    "TNX BOB 73 GL",
    "123456789ABCDEF012",         # telemetry
    "<PJ4/K1ABC> W9XYZ R-11",     # hashed call
    "PJ4/K1ABC <W9XYZ>",          # nonstandard call
    "WA9XYZ KA1ABC R 16A EMA",    # field day
    "W9XYZ K1ABC R 589 MA",       # RTTY roundup
    "CQ TEST K1ABC FN42",
    "K1ABC/R W9XYZ/R R FN42",
]


@pytest.mark.parametrize(
    "owner, member, signature, doc",
    [
        ("Ft8Mod", None, "(fs, base_hz, rf_hz, gain)", ""),
        ("Ft4Mod", None, "(fs, base_hz, rf_hz, gain)", ""),
        ("Ft8Demod", None, "(fs, base_hz)", ""),
        ("Ft4Demod", None, "(fs, base_hz)", ""),
        ("Ft8Codec", None, "()", ""),
        ("Ft4Codec", None, "()", ""),
        ("Ft8Mod", "modulate", "($self, tones)", "Modulate 58 tone indices into a 151 680-sample complex64 IQ waveform."),
        ("Ft4Mod", "modulate", "($self, tones)", "Modulate 87 tone indices into a 60 480-sample complex64 IQ waveform."),
        ("Ft8Demod", "demodulate", "($self, iq)", "Demodulate a 151 680-sample IQ block into 58 tone indices (uint8)."),
        ("Ft4Demod", "demodulate", "($self, iq)", "Demodulate a 60 480-sample IQ block into 87 tone indices (uint8)."),
        ("Ft8Codec", "encode", "(payload)", "Encode a 10-byte payload into 58 Gray-coded tone indices (uint8)."),
        ("Ft4Codec", "encode", "(payload)", "Encode a 10-byte payload into 87 Gray-coded tone indices (uint8)."),
        ("Ft8Codec", "decode_hard", "(tones)", f"Hard-decision decode 58 tone indices {ARROW} bytes[10] or None."),
        ("Ft4Codec", "decode_hard", "(tones)", f"Hard-decision decode 87 tone indices {ARROW} bytes[10] or None."),
        ("Ft8Codec", "decode_soft", "(llr)", f"Soft-decision decode float32[174] LLRs {ARROW} bytes[10] or None."),
        ("Ft4Codec", "decode_soft", "(llr)", f"Soft-decision decode float32[174] LLRs {ARROW} bytes[10] or None."),
    ],
)
def test_docstrings_and_text_signatures(owner, member, signature, doc):
    obj = getattr(kavro_sdr, owner)
    if member is not None:
        obj = getattr(obj, member)
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


def _u8(n):
    return np.zeros(n, np.uint8)


@pytest.mark.parametrize(
    "call, argument, message",
    [
        (kavro_sdr.Ft8Codec.encode, bytes(9), "Ft8Codec.encode: expected 10-byte payload, got 9"),
        (kavro_sdr.Ft4Codec.encode, bytes(0), "Ft4Codec.encode: expected 10-byte payload, got 0"),
        (kavro_sdr.Ft8Codec().encode, bytes(11), "Ft8Codec.encode: expected 10-byte payload, got 11"),
        (kavro_sdr.Ft8Codec.decode_hard, _u8(0), "Ft8Codec.decode_hard: expected 58 tones, got 0"),
        (kavro_sdr.Ft8Codec.decode_hard, _u8(59), "Ft8Codec.decode_hard: expected 58 tones, got 59"),
        (kavro_sdr.Ft4Codec.decode_hard, _u8(58), "Ft4Codec.decode_hard: expected 87 tones, got 58"),
        (kavro_sdr.Ft8Codec.decode_soft, np.zeros(0, np.float32), "Ft8Codec.decode_soft: expected 174 LLRs, got 0"),
        (kavro_sdr.Ft4Codec.decode_soft, np.zeros(173, np.float32), "Ft4Codec.decode_soft: expected 174 LLRs, got 173"),
        (kavro_sdr.Ft8Mod(12000, 1500, 0, 1).modulate, _u8(57), "Ft8Mod.modulate: expected 58 tone indices, got 57"),
        (kavro_sdr.Ft8Mod(12000, 1500, 0, 1).modulate, _u8(0), "Ft8Mod.modulate: expected 58 tone indices, got 0"),
        (kavro_sdr.Ft4Mod(12000, 1500, 0, 1).modulate, _u8(88), "Ft4Mod.modulate: expected 87 tone indices, got 88"),
        (kavro_sdr.Ft8Demod(12000, 1500).demodulate, np.zeros(151679, np.complex64),
         "Ft8Demod.demodulate: input too short (151679 < 151680)"),
        (kavro_sdr.Ft8Demod(12000, 1500).demodulate, np.zeros(0, np.complex64),
         "Ft8Demod.demodulate: input too short (0 < 151680)"),
        (kavro_sdr.Ft4Demod(12000, 1500).demodulate, np.zeros(60479, np.complex64),
         "Ft4Demod.demodulate: input too short (60479 < 60480)"),
    ],
)
def test_wrong_lengths_raise_value_error(call, argument, message):
    with pytest.raises(ValueError) as error:
        call(argument)
    assert str(error.value) == message


@pytest.mark.parametrize(
    "call, argument",
    [
        (kavro_sdr.Ft8Codec.encode, bytearray(10)),
        (kavro_sdr.Ft4Codec, 0),                                            # takes no arguments
        (kavro_sdr.Ft4Codec.decode_hard, np.zeros(2 * 86, np.uint8)[::2]),   # not contiguous, and short
        (kavro_sdr.Ft8Codec.decode_soft, np.zeros(174, np.float64)),
        (kavro_sdr.Ft8Mod(12000, 1500, 0, 1).modulate, np.zeros(58, np.int32)),
        (kavro_sdr.Ft8Demod(12000, 1500).demodulate, np.zeros(151680, np.complex128)),
    ],
)
def test_wrong_types_raise_type_error(call, argument):
    with pytest.raises(TypeError):
        call(argument)


@pytest.mark.parametrize("message", MESSAGES)
@pytest.mark.parametrize("mode", ["ft8", "ft4"])
def test_tones_match_the_reference_encoders(mode, message):
    reference = wsjtx.ft8code(message)
    assert not reference.changed
    tones = CODECS[mode].encode(reference.payload)
    assert tones.dtype == np.uint8
    if mode == "ft8":
        assert tones.tolist() == reference.tones[7:36] + reference.tones[43:72]
    else:
        channel = wsjtx.ft4code(message).tones
        assert len(channel) == 105
        assert tones.tolist() == channel[5:34] + channel[38:67] + channel[71:100]
    assert CODECS[mode].decode_hard(tones) == reference.payload


def _digits(text):
    return [int(c) for c in text]


def test_published_examples():
    payload = wsjtx.ft8code("CQ K1ABC FN31").payload
    assert kavro_sdr.Ft8Codec.encode(payload).tolist() == _digits(
        "00000000100547670460603442675" + "24400145216126472241107253047")
    assert kavro_sdr.Ft4Codec.encode(payload)[:29].tolist() == _digits("10331123303131102221131113022")
    assert kavro_sdr.Ft8Codec.encode(bytes(10)).tolist() == [0] * 58
    assert kavro_sdr.Ft4Codec.encode(bytes(10))[:8].tolist() == [1, 0, 3, 3, 1, 1, 2, 3]


@pytest.mark.parametrize("mode", ["ft8", "ft4"])
def test_round_trip_ignores_unused_bits_and_high_tone_bits(mode, rng):
    codec = CODECS[mode]
    alphabet = 8 if mode == "ft8" else 4
    for _ in range(1000):
        payload = bytearray(support.random_bytes(rng, 10).tobytes())
        expected = bytes(payload[:9]) + bytes([payload[9] & 0xF8])
        tones = codec.encode(bytes(payload))
        assert np.array_equal(tones, codec.encode(expected))
        lifted = (tones + alphabet * rng.integers(0, 256 // alphabet, tones.size)).astype(np.uint8)
        assert codec.decode_hard(lifted) == expected


def _codeword_llrs(mode, payload):
    """±10 soft values (+ for bit 0) of the codeword behind `payload`'s tones."""
    tones = CODECS[mode].encode(payload)
    inverse = [0, 1, 3, 2, 6, 4, 5, 7] if mode == "ft8" else [0, 1, 3, 2]
    width = 3 if mode == "ft8" else 2
    bits = [(inverse[t] >> (width - 1 - b)) & 1 for t in tones for b in range(width)]
    return np.where(np.array(bits) == 1, -10.0, 10.0).astype(np.float32)


def _with(values, positions, value):
    values = values.copy()
    values[positions] = value
    return values


PAYLOAD = wsjtx.ft8code("K1ABC W9XYZ R EN37").payload


@pytest.mark.parametrize("mode", ["ft8", "ft4"])
@pytest.mark.parametrize(
    "decode, expected",
    [
        (lambda m: CODECS[m].decode_soft(np.full(174, 10.0, np.float32)), None),
        (lambda m: CODECS[m].decode_hard(CODECS[m].encode(
            bytes(10) if m == "ft8" else bytes.fromhex("4a5e89b4b08a7955be28"))), None),
        (lambda m: CODECS[m].decode_soft(_with(_codeword_llrs(m, PAYLOAD), [17], np.nan)), None),
        (lambda m: CODECS[m].decode_soft(_with(_codeword_llrs(m, PAYLOAD), [173], np.nan)), None),
        (lambda m: CODECS[m].decode_soft(_codeword_llrs(m, PAYLOAD) * np.float32(np.inf)), PAYLOAD),
        (lambda m: CODECS[m].decode_soft(np.where(np.arange(174) % 5 == 0, np.float32(np.inf), 1)
                                         * _codeword_llrs(m, PAYLOAD)), PAYLOAD),
        (lambda m: CODECS[m].decode_soft(_codeword_llrs(m, PAYLOAD)), PAYLOAD),
    ],
    ids=["all_plus_ten", "all_zero_codeword", "nan", "nan_last", "all_infinite", "some_infinite", "clean"],
)
def test_zero_codewords_and_nan_never_decode(mode, decode, expected):
    assert decode(mode) == expected


@pytest.mark.parametrize("mode", ["ft8", "ft4"])
def test_modulated_frame_demodulates_to_its_tones(mode, rng):
    """Orthogonal tones at 12000 Hz: the demodulator gives back what was sent, past the frame too."""
    mod, demod = {"ft8": (kavro_sdr.Ft8Mod, kavro_sdr.Ft8Demod), "ft4": (kavro_sdr.Ft4Mod, kavro_sdr.Ft4Demod)}[mode]
    tones = CODECS[mode].encode(PAYLOAD)
    iq = mod(12000, 1234.5, 0, 0.5).modulate(tones)
    assert iq.dtype == np.complex64 and iq.size == (151680 if mode == "ft8" else 60480)
    assert np.allclose(np.abs(iq), 0.5, atol=1e-4)
    padded = np.concatenate([iq, (rng.normal(size=500) * 1j).astype(np.complex64)])
    received = demod(12000, 1234.5).demodulate(padded)
    assert received.dtype == np.uint8
    assert np.array_equal(received, tones)


def test_first_symbol_is_the_single_precision_synthesis():
    """Tone 0 at 2^24 Hz, shifted down to about 1 kHz: the tone frequency (Costas tone 3 first)
    and the shift each become a single-precision angle step, the former losing 0.75 Hz on the way."""
    f32 = np.float32
    fs, base_hz, rf_hz = 12000.0, 2.0**24, 1000.0 - 2.0**24
    iq = kavro_sdr.Ft8Mod(fs, base_hz, rf_hz, 1.0).modulate(np.zeros(58, np.uint8))
    omega = (f32(3) * f32(6.25) + f32(base_hz)) * f32(6.2831855) / f32(fs)
    theta = f32(rf_hz) * f32(6.2831855) / f32(fs)
    step = sum(np.angle(np.complex64(np.cos(float(w)) + 1j * np.sin(float(w)))) for w in (omega, theta))
    assert np.allclose(iq[:1920], np.exp(1j * step * np.arange(1, 1921)), rtol=0, atol=1e-4)
