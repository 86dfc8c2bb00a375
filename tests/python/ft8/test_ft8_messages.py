"""The message functions: docstrings, the WSJT-X reference's bits and texts, seeded round trips
and the error texts."""

import string

import numpy as np
import pytest

import kavro_sdr
import support
import wsjtx

DOCSTRINGS = {
    "ft8_pack_standard": "ft8_pack_standard(call_to, call_de, extra)\n--\n\n"
    "Pack a standard FT8 message (two callsigns + extra) \u2192 bytes[10].\n\n"
    "`extra` may be a Maidenhead grid (\"FN31\"), signal report (\"+07\", \"-12\"),\n"
    "R-prefixed report (\"R+05\"), or token (\"RRR\", \"RR73\", \"73\").",
    "ft8_pack_free_text": "ft8_pack_free_text(text)\n--\n\n"
    "Pack a free-text FT8 message (up to 13 chars, base-42) \u2192 bytes[10].",
    "ft8_pack_telemetry": "ft8_pack_telemetry(data)\n--\n\n"
    "Pack a telemetry FT8 message (9 bytes of arbitrary data) \u2192 bytes[10].",
    "ft8_unpack": "ft8_unpack(payload)\n--\n\n"
    "Unpack a 10-byte FT8/FT4 payload \u2192 dict.\n\n"
    "Standard:   {\"type\": \"standard\", \"call_to\": str, \"call_de\": str, \"extra\": str}\n"
    "FreeText:   {\"type\": \"free_text\", \"text\": str}\n"
    "Telemetry:  {\"type\": \"telemetry\", \"data\": bytes}\n"
    "Unknown:    {\"type\": \"unknown\", \"payload\": bytes}",
}


@pytest.mark.parametrize("name", DOCSTRINGS)
def test_docstring_and_text_signature(name):
    function = getattr(kavro_sdr, name)
    doc = DOCSTRINGS[name]
    assert function.__text_signature__ == doc.split("\n")[0][len(name):]
    assert function.__doc__ == doc.split("\n--\n\n", 1)[1]


def shown(message):
    """How the reference decoder prints a message: non-empty fields joined by one space, telemetry
    in upper-case hex without leading zeros."""
    kind = message["type"]
    if kind in ("standard", "nonstd"):
        return " ".join(field for field in (message["call_to"], message["call_de"], message["extra"]) if field)
    if kind == "free_text":
        return message["text"]
    if kind == "telemetry":
        return message["data"].hex().upper().lstrip("0")
    return None


def standard(*fields):
    return lambda: kavro_sdr.ft8_pack_standard(*fields)


# (ft8code's message, our packing call or None, the unpacked type, the text shown if it differs
# from ft8code's Decoded column)
REFERENCE = [
    ("CQ K1ABC FN31", standard("CQ", "K1ABC", "FN31"), "standard", None),
    ("CQ DX K1ABC FN31", standard("CQ DX", "K1ABC", "FN31"), "standard", None),
    ("CQ 000 K1ABC", standard("CQ 000", "K1ABC", ""), "standard", None),
    ("QRZ K1ABC FN31", standard("QRZ", "K1ABC", "FN31"), "standard", None),
    ("DE K1ABC FN31", standard("DE", "K1ABC", "FN31"), "standard", None),
    ("K1ABC W9XYZ EN37", standard("K1ABC", "W9XYZ", "EN37"), "standard", None),
    ("K1ABC W9XYZ R EN37", standard("K1ABC", "W9XYZ", "R EN37"), "standard", None),
    ("W9XYZ K1ABC -11", standard("W9XYZ", "K1ABC", "-11"), "standard", None),
    ("K1ABC W9XYZ R-09", standard("K1ABC", "W9XYZ", "R-09"), "standard", None),
    *[(f"K1ABC W9XYZ {r}", standard("K1ABC", "W9XYZ", r), "standard", None)
      for r in ("-50", "-35", "-31", "-30", "+50", "R-35")],
    ("W9XYZ K1ABC RRR", standard("W9XYZ", "K1ABC", "RRR"), "standard", None),
    ("K1ABC W9XYZ 73", standard("K1ABC", "W9XYZ", "73"), "standard", None),
    ("K1ABC/R W9XYZ EN37", standard("K1ABC/R", "W9XYZ", "EN37"), "standard", None),
    ("K1ABC W9XYZ/P EN37", standard("K1ABC", "W9XYZ/P", "EN37"), "standard", None),
    ("G4ABC/P PA9XYZ JO22", standard("G4ABC/P", "PA9XYZ", "JO22"), "standard", None),
    ("KA1ABC W9XYZ EN37", standard("KA1ABC", "W9XYZ", "EN37"), "standard", None),
    ("<PJ4/K1ABC> W9XYZ -13", standard("PJ4/K1ABC", "W9XYZ", "-13"), "standard", "<...> W9XYZ -13"),
    ("HELLO", None, "free_text", None),
    ("HELLO WORLD", None, "free_text", None),
    ("TNX BOB 73 GL", lambda: kavro_sdr.ft8_pack_free_text("TNX BOB 73 GL"), "free_text", None),
    ("123456789ABCDEF012", lambda: kavro_sdr.ft8_pack_telemetry(bytes.fromhex("123456789abcdef012")),
     "telemetry", None),
    ("<W9XYZ> PJ4/K1ABC RR73", None, "nonstd", "<...> PJ4/K1ABC RR73"),
    ("PJ4/K1ABC <W9XYZ> 73", None, "nonstd", "PJ4/K1ABC <...> 73"),
    ("CQ PJ4/K1ABC", None, "nonstd", None),
    ("CQ 3DA0XYZ", None, "nonstd", None),
    ("K1ABC W9XYZ RR73", None, "standard", None),
    ("K1ABC/R W9XYZ/P EN37", None, "standard", "K1ABC/P W9XYZ/P EN37"),
]


@pytest.mark.parametrize("message, pack, kind, text", REFERENCE, ids=[case[0] for case in REFERENCE])
def test_agrees_with_the_reference(message, pack, kind, text):
    reference = wsjtx.ft8code(message)
    # ft8code flags the one message whose two suffixes it merges into one i3.
    assert reference.changed == (message == "K1ABC/R W9XYZ/P EN37")
    if pack is not None:
        assert pack() == reference.payload
    unpacked = kavro_sdr.ft8_unpack(reference.payload)
    assert unpacked["type"] == kind
    assert shown(unpacked) == (text or reference.decoded)


def random_call(rng):
    """A standard callsign that comes back as sent: none begins with Q and a letter or with 3D0."""
    letters = "".join(rng.choice(list(string.ascii_uppercase), int(rng.integers(0, 4))))
    digit = str(rng.integers(0, 10))
    while True:
        if rng.random() < 0.5:
            prefix = rng.choice(list(string.ascii_uppercase + string.digits)) + rng.choice(list(string.ascii_uppercase))
        else:
            prefix = rng.choice(list(string.ascii_uppercase + string.digits))
            letters = letters or "A"
        call = prefix + digit + letters
        if not (call[0] == "Q" and call[1].isalpha()) and not call.startswith("3D0"):
            return call


def random_grid(rng):
    return "".join(rng.choice(list("ABCDEFGHIJKLMNOPQR"), 2)) + "".join(rng.choice(list(string.digits), 2))


def random_extra(rng):
    r = int(rng.integers(-50, 51))
    return [random_grid(rng), "R " + random_grid(rng), f"{r:+03d}", f"R{r:+03d}", "RRR", "RR73", "73", ""][
        int(rng.integers(0, 8))]


def random_call_to(rng):
    kind = int(rng.integers(0, 6))
    if kind == 0:
        return "CQ"
    if kind == 1:
        return f"CQ {int(rng.integers(0, 1000)):03d}"
    if kind == 2:
        return "CQ " + "".join(rng.choice(list(string.ascii_uppercase), int(rng.integers(1, 5))))
    if kind == 3:
        return ["QRZ", "DE"][int(rng.integers(0, 2))]
    return random_call(rng)


def test_standard_messages_round_trip(rng):
    for _ in range(400):
        call_to, call_de, extra = random_call_to(rng), random_call(rng), random_extra(rng)
        suffix = ["", "/R", "/P"][int(rng.integers(0, 3))]
        if rng.random() < 0.5 or call_to.startswith(("CQ", "QRZ", "DE")):
            call_de += suffix
        else:
            call_to += suffix
        unpacked = kavro_sdr.ft8_unpack(kavro_sdr.ft8_pack_standard(call_to, call_de, extra))
        assert unpacked == {"type": "standard", "call_to": call_to, "call_de": call_de, "extra": extra}


def test_free_texts_round_trip(rng):
    alphabet = list(" 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ+-./?")
    for length in list(range(14)) * 20:
        text = "".join(rng.choice(alphabet, length)).strip()
        assert kavro_sdr.ft8_unpack(kavro_sdr.ft8_pack_free_text(text)) == {"type": "free_text", "text": text}


def test_telemetry_round_trips_without_the_top_bit(rng):
    for _ in range(200):
        data = bytes(support.random_bytes(rng, 9))
        expected = bytes([data[0] & 0x7F]) + data[1:]
        assert kavro_sdr.ft8_unpack(kavro_sdr.ft8_pack_telemetry(data)) == {"type": "telemetry", "data": expected}


def test_other_message_types_come_back_unchanged(rng):
    for i3, n3 in [(0, 1), (0, 2), (0, 3), (0, 4), (0, 6), (0, 7), (3, None), (5, None), (6, None), (7, None)]:
        for _ in range(20):
            payload = bytearray(support.random_bytes(rng, 10))
            payload[9] = (payload[9] & 0xC7) | (i3 << 3)
            if n3 is not None:
                payload[8] = (payload[8] & 0xFE) | (n3 >> 2)
                payload[9] = (payload[9] & 0x3F) | ((n3 & 3) << 6)
            payload = bytes(payload)
            assert kavro_sdr.ft8_unpack(payload) == {"type": "unknown", "payload": payload}


CALLSIGN_ERROR = "ft8_pack_standard: failed to pack message (invalid callsign?)"
EXTRA_ERROR = "ft8_pack_standard: failed to pack message (invalid extra?)"
FREE_TEXT_ERROR = "ft8_pack_free_text: failed to pack message (text too long or invalid chars?)"


@pytest.mark.parametrize("call, args, message", [
    *[(kavro_sdr.ft8_pack_standard, ("K1ABC", "W9XYZ", extra), EXTRA_ERROR)
      for extra in ("fn31", "FN31PR", "R", "+", "R+", "+200", "12dB", "+51", "-51", "R+51", "R FN3", "FN31 ")],
    (kavro_sdr.ft8_pack_standard, ("k1abc", "W9XYZ", "EN37"), CALLSIGN_ERROR),
    (kavro_sdr.ft8_pack_standard, ("K1ABC", "CQ 12", "EN37"), CALLSIGN_ERROR),
    (kavro_sdr.ft8_pack_standard, ("K1ABC", "PJ4/K1ABCDEF", "fn31"), CALLSIGN_ERROR),
    (kavro_sdr.ft8_pack_free_text, ("A" * 14,), FREE_TEXT_ERROR),
    (kavro_sdr.ft8_pack_free_text, ("hello",), FREE_TEXT_ERROR),
    (kavro_sdr.ft8_pack_free_text, ("A,B",), FREE_TEXT_ERROR),
    (kavro_sdr.ft8_pack_telemetry, (bytes(8),), "ft8_pack_telemetry: expected 9 bytes, got 8"),
    (kavro_sdr.ft8_pack_telemetry, (bytes(10),), "ft8_pack_telemetry: expected 9 bytes, got 10"),
    (kavro_sdr.ft8_unpack, (bytes(9),), "ft8_unpack: expected 10 bytes, got 9"),
    (kavro_sdr.ft8_unpack, (b"",), "ft8_unpack: expected 10 bytes, got 0"),
])
def test_value_errors(call, args, message):
    with pytest.raises(ValueError) as error:
        call(*args)
    assert str(error.value) == message


@pytest.mark.parametrize("call, kwargs, message", [
    (kavro_sdr.ft8_pack_standard, {"call_to": "K1ABC", "call_de": b"W9XYZ", "extra": ""},
     "argument 'call_de': 'bytes' object is not an instance of 'str'"),
    (kavro_sdr.ft8_pack_free_text, {"text": 5}, "argument 'text': 'int' object is not an instance of 'str'"),
    (kavro_sdr.ft8_pack_telemetry, {"data": bytearray(9)},
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (kavro_sdr.ft8_unpack, {"payload": memoryview(bytes(10))},
     "argument 'payload': 'memoryview' object is not an instance of 'bytes'"),
])
def test_type_errors(call, kwargs, message):
    with pytest.raises(TypeError) as error:
        call(**kwargs)
    assert str(error.value) == message


def test_extra_forms_and_a_fresh_table_per_call():
    assert [kavro_sdr.ft8_unpack(kavro_sdr.ft8_pack_standard("K1ABC", "W9XYZ", extra))["extra"]
            for extra in ("-5", "5", "007", "R5", "R-007", "R FN31")] == ["-05", "+05", "+07", "R+05", "R-07", "R FN31"]
    kavro_sdr.ft8_pack_standard("PJ4/K1ABC", "W9XYZ", "")
    assert kavro_sdr.ft8_unpack(kavro_sdr.ft8_pack_standard("PJ4/K1ABC", "W9XYZ", ""))["call_to"] == "<...>"
    assert kavro_sdr.ft8_unpack(kavro_sdr.ft8_pack_standard("CQ", "3DA0XYZ", ""))["call_de"] == "<...>"
