"""Our FT8/FT4 transmissions decode in an independent receiver, WSJT-X's jt9."""

import re

import numpy as np
import pytest

import kavro_sdr
import wsjtx

HELLO = bytes.fromhex("3c020b018da062ca0000")  # "HELLO" packed left-aligned in the free-text field

MESSAGES = [
    "K1ABC W9XYZ -35",
    "K1ABC W9XYZ R EN37",
    "CQ K1ABC FN31",
    "TNX BOB 73 GL",
    "123456789ABCDEF012",
    "<PJ4/K1ABC> W9XYZ R-11",
    "PJ4/K1ABC <W9XYZ>",
    "WA9XYZ KA1ABC R 16A EMA",
]


@pytest.fixture(scope="session")
def jt9():
    return wsjtx.Jt9()


def _shown_by_jt9(text):
    """jt9 knows only its default calls K1ABC and W9XYZ; other hashed calls show as <...>."""
    return re.sub(r"<([^>]*)>", lambda m: m.group(0) if m.group(1) in ("K1ABC", "W9XYZ") else "<...>", text)


@pytest.mark.parametrize("message", MESSAGES + ["HELLO"])
@pytest.mark.parametrize("mode", ["ft8", "ft4"])
def test_reference_receiver_decodes_our_transmission(jt9, mode, message):
    if message == "HELLO":
        payload, expected = HELLO, "HELLO"
    else:
        payload = wsjtx.ft8code(message).payload
        expected = _shown_by_jt9((wsjtx.ft8code if mode == "ft8" else wsjtx.ft4code)(message).decoded)
    if mode == "ft8":
        iq = kavro_sdr.Ft8Mod(12000, 1500, 0, 8000).modulate(kavro_sdr.Ft8Codec.encode(payload))
        recording = np.zeros(180000)
    else:
        iq = kavro_sdr.Ft4Mod(12000, 1500, 0, 8000).modulate(kavro_sdr.Ft4Codec.encode(payload))
        recording = np.zeros(90000)
    recording[6000:6000 + iq.size] = iq.real
    decodes = jt9.decode(recording, mode)
    assert len(decodes) == 1, decodes
    frequency, text = decodes[0]
    assert abs(frequency - 1500) <= 1
    assert text == expected
