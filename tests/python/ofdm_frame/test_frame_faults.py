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


def stream_scores(x, r=16, m=4, n_fft=64, cp=16):
    """The stream receiver's score of each start offset d >= 2r: the coherence |P|²/(E·E_lead) of
    its m segments (E the energy of segments 1 .. m-1, E_lead that of 0 .. m-2), or 0 where the
    segment pair just before d (or from its last segment on) correlates better, or that pair and the
    one before (after) it both more than 0.35 times as well, or where the training symbol's prefix
    correlates with its copy n_fft on with a coherence below 1/4."""
    x = x.astype(np.complex128)
    lagged = np.concatenate([[0], np.cumsum(np.conj(x[:-r]) * x[r:])])
    power = np.concatenate([[0], np.cumsum(np.abs(x) ** 2)])
    prefix = np.concatenate([[0], np.cumsum(np.conj(x[:-n_fft]) * x[n_fft:])])
    d = np.arange(2 * r, x.size - m * r - n_fft - cp + 1)

    def pair(a, b, lag, sums):  # coherence of the stretches from a to b and from a + lag to b + lag
        return np.abs(sums[b] - sums[a]) ** 2 / ((power[b] - power[a]) * (power[b + lag] - power[a + lag]))

    p = lagged[d + (m - 1) * r] - lagged[d]
    energy, lead = power[d + m * r] - power[d + r], power[d + (m - 1) * r] - power[d]
    coherence = np.abs(p) ** 2 / (energy * lead)
    bound = 0.35 * coherence
    before, after = pair(d - r, d, r, lagged), pair(d + (m - 1) * r, d + m * r, r, lagged)
    into = (before > coherence) | ((before > bound) & (pair(d - 2 * r, d - r, r, lagged) > bound))
    on = (after > coherence) | ((after > bound) & (pair(d + m * r, d + (m + 1) * r, r, lagged) > bound))
    training = pair(d + m * r, d + m * r + cp, n_fft, prefix)
    return np.where(into | on | (training < 0.25), 0.0, coherence)


@pytest.mark.parametrize("snr_db, lowest, highest, attempted", [(4.9, 0.46, 0.48, False), (5.6, 0.51, 0.53, True)])
def test_stream_receiver_attempts_only_preambles_scoring_at_least_one_half(snr_db, lowest, highest, attempted):
    rng = np.random.default_rng(16)
    segment = support.complex_noise(rng, 16, 10 ** (snr_db / 10))
    symbol = support.complex_noise(rng, 64, 100.0)
    x = support.complex_noise(rng, 4000, 1.0)
    x[1000:1064] += np.tile(segment, 4)  # four repeated segments, as a preamble has
    x[1064:1144] += np.concatenate([symbol[-16:], symbol])  # and a training symbol with its prefix
    assert lowest < np.max(stream_scores(x)) < highest
    rx = kavro_sdr.OfdmFrameStreamDemod(config(), kavro_sdr.McsTable.default_ladder())
    attempts = rx.feed_with_errors(x) + [(frame, None) for frame in rx.flush()]
    assert attempts if attempted else attempts == []
    assert all(frame is None and error == "header CRC mismatch" for frame, error in attempts)
