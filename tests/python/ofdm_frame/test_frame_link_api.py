"""The frame-link classes as Python sees them: registration, docstrings, conversions, errors."""

import inspect

import numpy as np
import pytest

import kavro_sdr
import support

FRAME_LINK = ["CodecCache", "FramePacket", "McsTable", "OfdmFrameMod", "OfdmFrameStreamDemod", "OfdmFrameDemod"]
MODEM_OFDM_AND_FRAME_LINK_NAMES = [
    "CwEnvelopeDemod", "AmEnvelopeDemod", "SsbProductDemod", "FmQuadratureDemod", "PmQuadratureDemod",
    "BpskDemod", "QpskDemod", "QamDemod",
    "AmDsbMod", "CwKeyedMod", "FmPhaseAccumMod", "PmDirectPhaseMod", "SsbPhasingMod", "BpskMod", "QpskMod", "QamMod",
    "OfdmConfig", "OfdmMod", "OfdmDemod", "OfdmRxFrame", "build_ofdm_rx_frame", "ofdm_sync", "generate_ofdm_preamble",
    *FRAME_LINK,
]


config = support.frame_link_config


def test_frame_link_group_follows_the_ofdm_group():
    names = kavro_sdr.__all__
    start = names.index("CodecCache")
    assert names[start:start + 6] == FRAME_LINK
    assert names[start - 1] in MODEM_OFDM_AND_FRAME_LINK_NAMES[16:23]


def test_all_holds_the_modem_ofdm_and_frame_link_names_in_their_final_order():
    names = [name for name in kavro_sdr.__all__ if name in MODEM_OFDM_AND_FRAME_LINK_NAMES]
    assert names == MODEM_OFDM_AND_FRAME_LINK_NAMES


CLASS_DOCS = {
    "CodecCache": (
        "CodecCache()\n--\n\n"
        "A shared cache of constructed FEC codes (LDPC/BCH/Reed\u2013Solomon).\n\n"
        "Building a code \u2014 the LDPC parity-check matrix above all \u2014 costs\n"
        "milliseconds and is a pure function of its parameters, so it need only be\n"
        "done once per link. Pass one `CodecCache` to an `OfdmFrameMod`, an\n"
        "`OfdmFrameStreamDemod`, and/or an `OfdmFrameDemod` (via their `cache=`\n"
        "argument) to build each code once and reuse it across all of them \u2014 e.g. a\n"
        "transmitter and receiver on the same MCS then share the built codes. Omitting\n"
        "`cache=` gives each object its own private cache, which still amortizes\n"
        "across that object's own calls."),
    "FramePacket": (
        "FramePacket(payload, sequence_num=0, mcs_index=0, flags=0)\n--\n\n"
        "A MAC-layer frame: metadata (sequence number, MCS index, flags) plus an\nopaque byte payload."),
    "McsTable": (
        "McsTable()\n--\n\n"
        "Maps each frame's `mcs_index` to a modulation-and-coding scheme. Build it\n"
        "by adding entries; the sender and receiver must share the same table."),
    "OfdmFrameMod": (
        "OfdmFrameMod(cfg, mcs_table, num_repeats=4, repeat_len=16, cache=None)\n--\n\n"
        "COFDM frame transmitter: serializes a `FramePacket` to a flat IQ stream\n"
        "(`[preamble + training][header][payload]`), applying the concatenated FEC\n"
        "chain configured on the `OfdmConfig` and selected per frame by the MCS\ntable."),
    "OfdmFrameDemod": (
        "OfdmFrameDemod(cfg, mcs_table, cache=None)\n--\n\n"
        "The batch COFDM frame demodulator \u2014 decodes a single frame at a known start\n"
        "(`iq[0]` is the first sample after the preamble+training, already\n"
        "synchronized). The counterpart of `OfdmFrameMod`. Pass `cache=` a `CodecCache`\n"
        "to reuse built FEC codes across calls (or share them with a modulator)."),
    "OfdmFrameStreamDemod": (
        "OfdmFrameStreamDemod(cfg, mcs_table, num_repeats=4, repeat_len=16, cache=None)\n--\n\n"
        "Streaming COFDM frame receiver. Push IQ with `feed()`; it locates\n"
        "preambles, corrects CFO, estimates the channel from the training symbol,\n"
        "decodes each frame, and returns the completed ones. `flush()` runs a final\n"
        "pass over the residual buffer."),
}

METHOD_DOCS = {
    ("McsTable", "default_ladder"): "The default ladder: BPSK/QPSK/QAM-16/QAM-64, each with an LDPC(n512r12)\n"
                                    "inner code and a BCH(t=8) outer code.",
    ("OfdmFrameMod", "modulate_frame"): "Modulates a whole frame into IQ. `per_frame_seed` supplies the\n"
                                        "scrambler seed for a per-frame-random configuration (ignored otherwise).",
    ("OfdmFrameDemod", "decode"): "Decodes one frame whose IQ begins at the first post-preamble sample.\n"
                                  "Raises `ValueError` on a decode failure.",
    ("OfdmFrameStreamDemod", "feed"): "Feeds IQ and returns the frames that completed. Frames that failed to\n"
                                      "decode (bad CRC/FEC/header) are omitted; use `feed_with_errors` to see\n"
                                      "the error reasons.",
    ("OfdmFrameStreamDemod", "feed_with_errors"): "Like `feed`, but returns a list of `(frame_or_None, error_or_None)`\n"
                                                  "tuples so callers can observe decode failures.",
    ("OfdmFrameStreamDemod", "flush"): "Runs a final decode pass over the residual buffer.",
    ("OfdmFrameStreamDemod", "clear"): "Discards the accumulated buffer.",
}


@pytest.mark.parametrize("name", FRAME_LINK)
def test_class_docstrings_are_exact(name):
    signature, description = CLASS_DOCS[name].split("\n--\n\n")
    cls = getattr(kavro_sdr, name)
    assert cls.__doc__ == description
    assert name + cls.__text_signature__ == signature.replace("(", "(", 1)


@pytest.mark.parametrize("owner, method", METHOD_DOCS)
def test_method_docstrings_are_exact(owner, method):
    assert getattr(getattr(kavro_sdr, owner), method).__doc__ == METHOD_DOCS[owner, method]


def test_signatures_and_remaining_docstrings():
    assert str(inspect.signature(kavro_sdr.OfdmFrameMod)) == "(cfg, mcs_table, num_repeats=4, repeat_len=16, cache=None)"
    assert str(inspect.signature(kavro_sdr.McsTable.add)) == (
        "(self, /, constellation, inner_kind='none', inner_code='', outer_kind='none', outer_a=0, outer_b=0)")
    assert str(inspect.signature(kavro_sdr.McsTable.default_ladder)) == "()"
    assert str(inspect.signature(kavro_sdr.OfdmFrameStreamDemod.feed_with_errors)) == "(self, /, iq)"
    add_doc = kavro_sdr.McsTable.add.__doc__.split("\n")
    assert add_doc[0] == "Appends an MCS entry. `constellation` is one of" and len(add_doc) == 4
    assert '"bpsk"|"qpsk"|"qam16"|"qam64"|"qam256"' in add_doc[1]
    assert kavro_sdr.OfdmFrameStreamDemod.buffered.__doc__ == "Number of accumulated (not-yet-consumed) samples."
    assert kavro_sdr.McsTable.len.__doc__ is None


def test_frame_packet_defaults_and_payload_copies():
    source = np.arange(5, dtype=np.uint8)
    packet = kavro_sdr.FramePacket(source)
    source[0] = 99
    assert (packet.sequence_num, packet.mcs_index, packet.flags) == (0, 0, 0)
    first, second = packet.payload, packet.payload
    assert first is not second and list(first) == [0, 1, 2, 3, 4]
    first[1] = 77
    assert list(packet.payload) == [0, 1, 2, 3, 4]
    empty = kavro_sdr.FramePacket(payload=np.zeros(0, np.uint8))
    assert empty.payload.dtype == np.uint8 and empty.payload.size == 0
    assert kavro_sdr.FramePacket(np.zeros(0, np.uint8)[::2]).payload.size == 0  # any flags when empty
    with pytest.raises(AttributeError):
        packet.flags = 1


@pytest.mark.parametrize("field, accepted, refused", [
    ("sequence_num", 2**32 - 1, 2**32), ("mcs_index", 255, 256), ("flags", 255, 256)])
def test_frame_packet_integer_ranges(field, accepted, refused):
    payload = np.zeros(1, np.uint8)
    assert getattr(kavro_sdr.FramePacket(payload, **{field: accepted}), field) == accepted
    for value in (refused, -1):
        with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
            kavro_sdr.FramePacket(payload, **{field: value})
    with pytest.raises(TypeError, match=f"argument '{field}': "):
        kavro_sdr.FramePacket(payload, **{field: 1.5})


def test_frame_packet_payload_must_be_a_contiguous_uint8_array():
    with pytest.raises(TypeError, match="argument 'payload': "):
        kavro_sdr.FramePacket(np.zeros(4, np.int32))
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        kavro_sdr.FramePacket(np.zeros(8, np.uint8)[::2])


def test_codec_cache_takes_nothing_and_has_nothing():
    cache = kavro_sdr.CodecCache()
    with pytest.raises(TypeError):
        kavro_sdr.CodecCache(1)
    assert [name for name in dir(cache) if not name.startswith("__")] == []


def test_mcs_table_grows_by_successful_adds_only():
    table = kavro_sdr.McsTable()
    assert table.len == 0
    with pytest.raises(TypeError):
        len(table)
    table.add("qam256")
    table.add("bpsk", "conv", "1/2")
    table.add("bpsk", "dvb_t", "7/8")
    table.add("bpsk", "none", "n512r12")
    table.add("bpsk", "ldpc", "n512r12", "rs", 255, 32)
    table.add(constellation="qpsk", inner_kind="convolutional_k7", inner_code="3/4", outer_kind="bch", outer_a=19)
    with pytest.raises(ValueError):
        table.add("QPSK")
    assert table.len == 6
    assert kavro_sdr.McsTable.default_ladder().len == 4
    assert isinstance(table.default_ladder(), kavro_sdr.McsTable)


@pytest.mark.parametrize("args, message", [
    (("QPSK",), 'McsTable.add: unknown constellation "QPSK"'),
    (("bpsk", "LDPC"), 'McsTable.add: unknown inner FEC "LDPC"'),
    (("bpsk", "none", "", "golay"), 'McsTable.add: unknown outer FEC "golay"'),
    (("bpsk", "ldpc"), 'unknown LDPC code ""'),
    (("bpsk", "conv", 'n"512\n'), 'unknown puncture rate "n\\"512\\n"'),
    (("qpsk", "ldpc", "n576r23", "bch"), "McsTable.add: BCH t must be in 1..=19 (got 0)"),
    (("qpsk", "ldpc", "n576r23", "bch", 20), "McsTable.add: BCH t must be in 1..=19 (got 20)"),
    (("qpsk", "none", "", "rs", 40, 40), "McsTable.add: invalid Reed\u2013Solomon (n, n_parity) = (40, 40)"),
    (("qpsk", "none", "", "reed_solomon", 256, 32), "McsTable.add: invalid Reed\u2013Solomon (n, n_parity) = (256, 32)"),
])
def test_mcs_table_add_messages(args, message):
    table = kavro_sdr.McsTable()
    with pytest.raises(ValueError) as raised:
        table.add(*args)
    assert str(raised.value) == message
    assert table.len == 0


def test_mcs_table_add_argument_errors():
    table = kavro_sdr.McsTable()
    with pytest.raises(OverflowError):
        table.add("bpsk", "none", "", "bch", -1)
    with pytest.raises(TypeError, match="argument 'constellation': "):
        table.add(16)


FRAME_CLASSES = [kavro_sdr.OfdmFrameMod, kavro_sdr.OfdmFrameStreamDemod, kavro_sdr.OfdmFrameDemod]


@pytest.mark.parametrize("cls", FRAME_CLASSES)
def test_frame_constructors_check_table_then_carrier(cls):
    with pytest.raises(ValueError, match="^McsTable must have at least one entry$"):
        cls(config(rf_hz=1000.0), kavro_sdr.McsTable())
    with pytest.raises(ValueError) as raised:
        cls(config(rf_hz=1000.0), kavro_sdr.McsTable.default_ladder())
    assert str(raised.value) == ("OFDM frame assembly is baseband-only: got rf_hz = 1000 Hz. Modulate at rf_hz = 0.0 "
                                 "and upconvert the whole burst with one continuous Rotator.")


@pytest.mark.parametrize("cls", FRAME_CLASSES)
def test_frame_constructor_argument_types(cls):
    ladder = kavro_sdr.McsTable.default_ladder()
    cls(config(), ladder, cache=None)
    cls(cfg=config(), mcs_table=ladder, cache=kavro_sdr.CodecCache())
    with pytest.raises(TypeError, match="argument 'cache': "):
        cls(config(), ladder, cache=ladder)
    with pytest.raises(TypeError, match="argument 'mcs_table': "):
        cls(config(), config())
    with pytest.raises(TypeError, match="argument 'cfg': "):
        cls(ladder, ladder)


@pytest.mark.parametrize("cls", [kavro_sdr.OfdmFrameMod, kavro_sdr.OfdmFrameStreamDemod])
def test_preamble_layout_limits(cls):
    ladder = kavro_sdr.McsTable.default_ladder()
    cls(config(), ladder, 0, 0)
    cls(config(), ladder, 1, 1)
    cls(config(), ladder, 1, 2**24 - 80)
    for repeats, length in ((1, 2**24 - 79), (2**40, 2**40)):
        with pytest.raises(ValueError, match=r"^frame preamble span num_repeats \("):
            cls(config(), ladder, repeats, length)
    with pytest.raises(OverflowError):
        cls(config(), ladder, -1)


@pytest.mark.parametrize("cls", FRAME_CLASSES)
def test_settings_the_chains_would_fault_on_are_refused(cls):
    ladder = kavro_sdr.McsTable.default_ladder()
    with pytest.raises(ValueError, match="^LFSR width must be in 2..=32$"):
        cls(config().with_scrambler(0x3, 1), ladder)
    with pytest.raises(ValueError, match="^LFSR taps must fit in `width` bits$"):
        cls(config().with_scrambler(0x1FF, 8, per_frame_random=True), ladder)


def test_modulator_refuses_a_prefix_longer_than_the_symbol():
    long_prefix = kavro_sdr.OfdmConfig(8, 9, np.array([1, 2], np.int32), np.zeros(0, np.int32),
                                       np.zeros(0, np.complex64), 1e6, 0.0, 1.0, "bpsk")
    with pytest.raises(ValueError, match=r"^OfdmMod: cp_len \(9\) must not exceed n_fft \(8\)$"):
        kavro_sdr.OfdmFrameMod(long_prefix, kavro_sdr.McsTable.default_ladder())
    kavro_sdr.OfdmFrameDemod(long_prefix, kavro_sdr.McsTable.default_ladder())


def test_frame_objects_have_no_extra_attributes():
    ladder = kavro_sdr.McsTable.default_ladder()
    expected = {
        kavro_sdr.OfdmFrameMod: ["modulate_frame"],
        kavro_sdr.OfdmFrameDemod: ["decode"],
        kavro_sdr.OfdmFrameStreamDemod: ["buffered", "clear", "feed", "feed_with_errors", "flush"],
    }
    for cls, names in expected.items():
        assert [n for n in dir(cls(config(), ladder)) if not n.startswith("__")] == names
    assert [n for n in dir(ladder) if not n.startswith("__")] == ["add", "default_ladder", "len"]
