"""The frame link's edges: the stream receiver's detection threshold, an outer code that fails
without a CRC behind it, and an MCS index one past the receiver's table."""

import numpy as np
import pytest

import kavro_sdr
import support

PREAMBLE = 4 * 16 + 64 + 16  # repeated segments plus training symbol
HEADER = 11 * 80


config = support.frame_link_config


def table(*constellations, outer=("none", 0, 0)):
    mcs = kavro_sdr.McsTable()
    for constellation in constellations:
        mcs.add(constellation, "none", "", *outer)
    return mcs


def test_outer_code_failure_without_a_crc_is_still_a_failure(rng):
    cfg = config().with_payload_crc("none")
    mcs = table("qpsk", outer=("rs", 60, 10))
    sent = kavro_sdr.FramePacket(support.random_bytes(rng, 100), 3)
    body = kavro_sdr.OfdmFrameMod(cfg, mcs).modulate_frame(sent)[PREAMBLE:]
    demod = kavro_sdr.OfdmFrameDemod(cfg, mcs)
    assert bytes(demod.decode(body).payload) == bytes(sent.payload)
    turned = body.copy()
    turned[HEADER + 80:HEADER + 4 * 80] *= 1j  # three payload symbols
    with pytest.raises(ValueError, match="^payload CRC mismatch$"):
        demod.decode(turned)


def test_mcs_index_one_past_the_receiver_table_is_a_malformed_header(rng):
    cfg = config()
    sent = kavro_sdr.FramePacket(support.random_bytes(rng, 30), 1, 2)
    body = kavro_sdr.OfdmFrameMod(cfg, table("bpsk", "qpsk", "qam16")).modulate_frame(sent)[PREAMBLE:]
    assert kavro_sdr.OfdmFrameDemod(cfg, table("bpsk", "qpsk", "qam16")).decode(body).mcs_index == 2
    with pytest.raises(ValueError, match="^malformed frame header$"):
        kavro_sdr.OfdmFrameDemod(cfg, table("bpsk", "qpsk")).decode(body)


@pytest.mark.parametrize("snr_db, lowest, highest, attempted", [(0.8, 0.40, 0.42, False), (3.5, 0.54, 0.57, True)])
def test_stream_receiver_attempts_only_preambles_scoring_at_least_one_half(snr_db, lowest, highest, attempted):
    rng = np.random.default_rng(16)
    segment = support.complex_noise(rng, 16, 10 ** (snr_db / 10))
    x = support.complex_noise(rng, 4000, 1.0)
    x[1000:1640] += np.tile(segment, 40)  # a stretch of period 16, as a preamble has
    best = max(found["score"] for found in kavro_sdr.ofdm_sync(x, 1e6, 4, 16, 0, 3800))
    assert lowest < best < highest
    rx = kavro_sdr.OfdmFrameStreamDemod(config(), kavro_sdr.McsTable.default_ladder())
    attempts = rx.feed_with_errors(x) + [(frame, None) for frame in rx.flush()]
    assert attempts if attempted else attempts == []
    assert all(frame is None and error == "header CRC mismatch" for frame, error in attempts)
