"""Shared borrows released inside callbacks, and every Python default pinned by its value."""

import numpy as np
import pytest

import kavro_sdr
import support


def config(**keywords):
    return kavro_sdr.OfdmConfig(64, 16, np.zeros(0, np.int32), np.array([-21, -7, 7, 21], np.int32),
                                np.ones(4, np.complex64), 1e6, 0.0, 1.0, "qpsk", **keywords)


def outcome(call):
    """The call's result, or the text of the ValueError it raised."""
    try:
        result = call()
    except ValueError as error:
        return "ValueError: " + str(error)
    return result.tolist() if isinstance(result, np.ndarray) else result


def test_a_shared_borrow_released_in_a_callback_keeps_the_others():
    table = kavro_sdr.McsTable.default_ladder()

    class Repeats:
        def __index__(self):
            assert table.len == 4  # a second shared use of `table`, released on return
            table.add("bpsk")  # `table` is still lent to the constructor
            return 4

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        kavro_sdr.OfdmFrameMod(config(edge_guard=4), table, Repeats())
    assert table.len == 4


CFG = config(edge_guard=4)
DEFAULTS = {
    "inner_code": (lambda: CFG.with_inner_fec("conv"), lambda: CFG.with_inner_fec("conv", "")),
    "bch_a": (lambda: CFG.with_outer_fec("bch"), lambda: CFG.with_outer_fec("bch", 0, 0)),
    "rs_a_b": (lambda: CFG.with_outer_fec("rs"), lambda: CFG.with_outer_fec("rs", 0, 0)),
    "scrambler": (lambda: CFG.with_scrambler(0x6000, 15),
                  lambda: CFG.with_scrambler(0x6000, 15, 1, False, "before_outer")),
    "conv_interleaver": (lambda: CFG.with_conv_interleaver("outer"), lambda: CFG.with_conv_interleaver("outer", 12, 17)),
    "ldpc_scale": (lambda: CFG.with_ldpc_decode_rule("scaled_min_sum"),
                   lambda: CFG.with_ldpc_decode_rule("scaled_min_sum", 0.75)),
    "stopband": (lambda: CFG.with_tx_lowpass(31), lambda: CFG.with_tx_lowpass(31, 60.0)),
    "suggested_taps": (lambda: CFG.tx_lowpass_suggested_taps(), lambda: 47),
    "fits_guard": (lambda: [CFG.tx_lowpass_fits_guard(n) for n in range(1, 40)],
                   lambda: [CFG.tx_lowpass_fits_guard(n, 0, None) for n in range(1, 40)]),
    "edge_guard": (lambda: config(), lambda: config(edge_guard=None)),
    "mcs_inner": (lambda: kavro_sdr.McsTable().add("qpsk", "conv"),
                  lambda: kavro_sdr.McsTable().add("qpsk", "conv", "")),
    "mcs_bch": (lambda: kavro_sdr.McsTable().add("qpsk", "none", "", "bch"),
                lambda: kavro_sdr.McsTable().add("qpsk", "none", "", "bch", 0, 0)),
    "mcs_rs": (lambda: kavro_sdr.McsTable().add("qpsk", "none", "", "rs"),
               lambda: kavro_sdr.McsTable().add("qpsk", "none", "", "rs", 0, 0)),
    "preamble": (lambda: kavro_sdr.generate_ofdm_preamble(CFG, 4, 16),
                 lambda: kavro_sdr.generate_ofdm_preamble(CFG, 4, 16, None, None)),
}


@pytest.mark.parametrize("name", DEFAULTS)
def test_defaults_have_their_values(name):
    by_default, spelled_out = DEFAULTS[name]
    assert outcome(by_default) == outcome(spelled_out)


def test_frame_link_defaults_have_their_values(rng):
    cfg = CFG.with_scrambler(0x6000, 15, per_frame_random=True)
    plain, full = kavro_sdr.McsTable(), kavro_sdr.McsTable()
    plain.add("qpsk")
    full.add("qpsk", "none", "", "none", 0, 0)
    bare = kavro_sdr.FramePacket(np.zeros(2, np.uint8))
    assert (bare.sequence_num, bare.mcs_index, bare.flags) == (0, 0, 0)
    packet = kavro_sdr.FramePacket(support.random_bytes(rng, 40), 7)
    frame = kavro_sdr.OfdmFrameMod(cfg, full, 4, 16).modulate_frame(packet, 0)
    mod = kavro_sdr.OfdmFrameMod(cfg, plain)
    assert np.array_equal(mod.modulate_frame(packet), frame)
    assert not np.array_equal(mod.modulate_frame(packet, 1), frame)

    # The default receiver treats frames of every preamble shape as a receiver of shape 4 x 16 does.
    for repeats, length in [(2, 16), (3, 16), (4, 16), (4, 32)]:
        sent = kavro_sdr.OfdmFrameMod(cfg, full, repeats, length).modulate_frame(packet)
        stream = np.concatenate([np.zeros(500, np.complex64), sent, np.zeros(3000, np.complex64)])
        found = []
        for receiver in (kavro_sdr.OfdmFrameStreamDemod(cfg, plain), kavro_sdr.OfdmFrameStreamDemod(cfg, full, 4, 16)):
            results = receiver.feed_with_errors(stream) + [(f, None) for f in receiver.flush()]
            found.append([(f.sequence_num, bytes(f.payload)) if f else error for f, error in results])
        assert found[0] == found[1]
        assert (repeats, length) != (4, 16) or found[0] == [(7, bytes(packet.payload))]


def test_am_envelope_detector_is_exact_by_default(rng):
    iq = support.complex_noise(rng, 2000, 1.0)
    exact = kavro_sdr.AmEnvelopeDemod(48000.0, 3000.0).process(iq)
    assert np.array_equal(exact, kavro_sdr.AmEnvelopeDemod(48000.0, 3000.0, False).process(iq))
    assert not np.array_equal(exact, kavro_sdr.AmEnvelopeDemod(48000.0, 3000.0, True).process(iq))
