"""Frames through OfdmFrameMod and the batch OfdmFrameDemod: layout, round trips, failures."""

import numpy as np
import pytest

import kavro_sdr
import support

PREAMBLE = 4 * 16 + 64 + 16  # repeated segments plus training symbol


def config(**builders):
    cfg = support.frame_link_config()
    for name, args in builders.items():
        cfg = getattr(cfg, name)(*args)
    return cfg


def packet(rng, size, mcs_index=0):
    return kavro_sdr.FramePacket(support.random_bytes(rng, size), int(rng.integers(0, 2**32)), mcs_index,
                                 int(rng.integers(0, 256)))


def same(a, b):
    return (np.array_equal(a.payload, b.payload) and (a.sequence_num, a.mcs_index, a.flags)
            == (b.sequence_num, b.mcs_index, b.flags))


@pytest.fixture(scope="module")
def cache():
    return kavro_sdr.CodecCache()


def test_frame_lengths_and_preamble(cache):
    cfg = config()
    mod = kavro_sdr.OfdmFrameMod(cfg, kavro_sdr.McsTable.default_ladder(), cache=cache)
    lengths = [mod.modulate_frame(kavro_sdr.FramePacket(np.zeros(100, np.uint8), mcs_index=i)).size for i in range(4)]
    assert lengths == [5984, 3504, 2304, 1904]
    frame = mod.modulate_frame(kavro_sdr.FramePacket(np.zeros(3, np.uint8)))
    assert frame.dtype == np.complex64 and frame.flags.c_contiguous
    preamble = kavro_sdr.generate_ofdm_preamble(cfg, 4, 16, 64, 16)
    assert np.array_equal(frame[:PREAMBLE], preamble)


@pytest.mark.parametrize("header_crc", ["none", "crc16", "crc32"])
def test_noiseless_round_trips_across_the_ladder(header_crc, cache, rng):
    cfg = config(with_header_crc=(header_crc,))
    ladder = kavro_sdr.McsTable.default_ladder()
    mod = kavro_sdr.OfdmFrameMod(cfg, ladder, cache=cache)
    demod = kavro_sdr.OfdmFrameDemod(cfg, ladder, cache=cache)
    for entry in range(4):
        for size in (0, 1, 100, 1500):
            sent = packet(rng, size, entry)
            assert same(demod.decode(mod.modulate_frame(sent)[PREAMBLE:]), sent), (entry, size)


INNER = [("ldpc", "n512r12"), ("ldpc", "n576r23"), ("ldpc", "n512r34"), ("none", "")] + [
    (kind, rate) for kind in ("conv", "conv_k7") for rate in ("1/2", "2/3", "3/4", "5/6", "7/8")]
OUTER = [("none", 0, 0), ("bch", 3, 0), ("bch", 19, 0), ("rs", 255, 32), ("rs", 60, 10), ("reed_solomon", 204, 16)]
INTERLEAVERS = [None, ("with_interleaver", 8, 16), ("with_conv_interleaver", 4, 3), ("with_interleaver", 3, 7),
                ("with_conv_interleaver", 12, 17)]
SCRAMBLERS = [None, ("lfsr", "before_outer", False), ("lfsr", "after_inner", False), ("lfsr", "before_outer", True),
              ("lfsr", "after_inner", True), ("dvb_t",)]
CONSTELLATIONS = ["bpsk", "qpsk", "qam16", "qam64", "qam256"]


def chain_settings(count=40, seed=2024):
    """A seeded sample of chain settings that still visits every inner code, outer code,
    interleaver, scrambler and constellation."""
    rng = np.random.default_rng(seed)
    orders = {name: rng.permutation(count) for name in ("inner", "outer", "oi", "ii", "scr", "con", "crc")}
    for i in range(count):
        yield dict(
            inner=INNER[orders["inner"][i] % len(INNER)], outer=OUTER[orders["outer"][i] % len(OUTER)],
            outer_interleaver=INTERLEAVERS[orders["oi"][i] % len(INTERLEAVERS)],
            inner_interleaver=INTERLEAVERS[orders["ii"][i] % len(INTERLEAVERS)],
            scrambler=SCRAMBLERS[orders["scr"][i] % len(SCRAMBLERS)],
            constellation=CONSTELLATIONS[orders["con"][i] % len(CONSTELLATIONS)],
            payload_crc=["none", "crc16", "crc32"][orders["crc"][i] % 3],
            rule=["sum_product", "min_sum", "scaled_min_sum"][i % 3], size=int(rng.integers(0, 400)))


@pytest.mark.parametrize("settings", list(chain_settings()), ids=lambda s: f"{s['inner'][0]}-{s['outer'][0]}")
def test_noiseless_round_trips_through_chain_settings(settings, cache, rng):
    cfg = config(with_payload_crc=(settings["payload_crc"],), with_ldpc_decode_rule=(settings["rule"],))
    for stage in ("outer", "inner"):
        interleaver = settings[f"{stage}_interleaver"]
        if interleaver:
            cfg = getattr(cfg, interleaver[0])(stage, *interleaver[1:])
    scrambler = settings["scrambler"]
    if scrambler and scrambler[0] == "lfsr":
        cfg = cfg.with_scrambler(0x48, 7, seed=0x35, per_frame_random=scrambler[2], position=scrambler[1])
    elif scrambler:
        cfg = cfg.with_dvb_t_scrambler()
    table = kavro_sdr.McsTable()
    table.add("bpsk")
    table.add(settings["constellation"], *settings["inner"], *settings["outer"])
    mod = kavro_sdr.OfdmFrameMod(cfg, table, cache=cache)
    demod = kavro_sdr.OfdmFrameDemod(cfg, table, cache=cache)
    sent = packet(rng, settings["size"], 1)
    received = demod.decode(mod.modulate_frame(sent, per_frame_seed=int(rng.integers(0, 2**32)))[PREAMBLE:])
    assert same(received, sent)


def test_per_frame_seed_reaches_the_payload_only_with_a_per_frame_lfsr(cache, rng):
    sent = packet(rng, 50)
    for per_frame in (False, True):
        cfg = config(with_scrambler=(0x48, 7, 1, per_frame))
        mod = kavro_sdr.OfdmFrameMod(cfg, kavro_sdr.McsTable.default_ladder(), cache=cache)
        a, b = mod.modulate_frame(sent, 1), mod.modulate_frame(sent, per_frame_seed=2)
        assert np.array_equal(a, mod.modulate_frame(sent, 1))
        header_end = PREAMBLE + 11 * 80
        assert not np.array_equal(a[PREAMBLE:header_end], b[PREAMBLE:header_end])
        assert np.array_equal(a[header_end:], b[header_end:]) != per_frame
    with pytest.raises(OverflowError):
        mod.modulate_frame(sent, 2**32)


def test_failures_raise_their_receive_error(cache, rng):
    cfg = config()
    ladder = kavro_sdr.McsTable.default_ladder()
    body = kavro_sdr.OfdmFrameMod(cfg, ladder, cache=cache).modulate_frame(packet(rng, 100, 1))[PREAMBLE:]
    demod = kavro_sdr.OfdmFrameDemod(cfg, ladder, cache=cache)
    for samples, message in [
        (np.zeros(0, np.complex64), "malformed frame header"),
        (body[:2000], "malformed frame header"),
        (np.concatenate([body[:160], -body[160:400], body[400:]]), "header CRC mismatch"),
        (np.concatenate([body[:1200], body[1200:1500] * 1j, body[1500:]]), "payload CRC mismatch"),
    ]:
        with pytest.raises(ValueError) as raised:
            demod.decode(samples)
        assert str(raised.value) == message
    other_format = kavro_sdr.OfdmFrameDemod(cfg.with_header_format("none"), ladder, cache=cache)
    with pytest.raises(ValueError, match="^malformed frame header$"):
        other_format.decode(body)
    assert demod.decode(np.concatenate([body, np.ones(500, np.complex64)])).mcs_index == 1


def test_table_changes_after_construction_are_not_seen(cache, rng):
    cfg = config()
    table = kavro_sdr.McsTable.default_ladder()
    mod = kavro_sdr.OfdmFrameMod(cfg, table, cache=cache)
    demod = kavro_sdr.OfdmFrameDemod(cfg, table, cache=cache)
    table.add("qam256")
    late = packet(rng, 20, 4)
    with pytest.raises(ValueError, match="^mcs_index must be in the MCS table$"):
        mod.modulate_frame(late)
    frame = kavro_sdr.OfdmFrameMod(cfg, table, cache=cache).modulate_frame(late)
    with pytest.raises(ValueError, match="^malformed frame header$"):
        demod.decode(frame[PREAMBLE:])
    assert same(kavro_sdr.OfdmFrameDemod(cfg, table, cache=cache).decode(frame[PREAMBLE:]), late)


def test_payload_length_is_capped_at_one_mebibyte(cache):
    table = kavro_sdr.McsTable()
    table.add("qam256")
    mod = kavro_sdr.OfdmFrameMod(config(), table, cache=cache)
    with pytest.raises(ValueError, match="^modulate_frame: payload of 1048577 bytes exceeds the limit of 1048576 bytes$"):
        mod.modulate_frame(kavro_sdr.FramePacket(np.zeros(2**20 + 1, np.uint8)))


def test_shared_cache_serves_transmitter_and_receiver(rng):
    cfg = config()
    ladder = kavro_sdr.McsTable.default_ladder()
    shared = kavro_sdr.CodecCache()
    mod = kavro_sdr.OfdmFrameMod(cfg, ladder, cache=shared)
    del shared  # the frame objects keep the cache alive
    sent = packet(rng, 30, 2)
    frame = mod.modulate_frame(sent)
    assert same(kavro_sdr.OfdmFrameDemod(cfg, ladder).decode(frame[PREAMBLE:]), sent)
