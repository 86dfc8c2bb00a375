"""OfdmConfig through Python: construction order, builders, keywords, validation, equality."""

import numpy as np
import pytest

import kavro_sdr

NO_INT = np.zeros(0, np.int32)
NO_CPLX = np.zeros(0, np.complex64)


def config(data=NO_INT, pilot_indices=NO_INT, pilot_values=NO_CPLX, constellation="qpsk", n_fft=64, cp_len=16, **kw):
    return kavro_sdr.OfdmConfig(n_fft, cp_len, np.asarray(data, np.int32), np.asarray(pilot_indices, np.int32),
                                np.asarray(pilot_values, np.complex64), 1e6, 0.0, 1.0, constellation, **kw)


@pytest.fixture
def cfg():
    return config(edge_guard=4)


def test_edge_guard_builds_the_contiguous_span(cfg):
    assert (cfg.bits_per_ofdm_symbol, cfg.samples_per_ofdm_symbol, cfg.occupied_half_carriers) == (108, 80, 27)


def test_occupied_half_carriers_counts_pilots():
    assert config(data=[1], pilot_indices=[-30], pilot_values=[1]).occupied_half_carriers == 30


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(data=[1], edge_guard=4), "OfdmConfig: pass an empty data_carriers array when edge_guard is set (the contiguous span is generated automatically)"),
        (dict(edge_guard=40), "no data carriers specified"),
        (dict(pilot_indices=[1, 2], pilot_values=[1], constellation="qpks"),
         "OfdmConfig: pilot_carrier_indices (2) and pilot_carrier_values (1) must have the same length"),
        (dict(data=[1], constellation="QPSK"), 'OfdmConfig: unknown constellation "QPSK" (expected one of: bpsk, qpsk, qam16, qam64, qam256)'),
        (dict(data=[32]), "carrier index 32 is out of range for n_fft=64 (valid: -(n_fft/2)..=((n_fft-1)/2))"),
        (dict(data=[3, 3]), "carrier index 3 is assigned more than one role (data/pilot overlap)"),
        (dict(data=[1, 1], pilot_indices=[99], pilot_values=[1]), "carrier index 99 is out of range for n_fft=64 (valid: -(n_fft/2)..=((n_fft-1)/2))"),
        (dict(pilot_indices=[5], pilot_values=[1]), "no data carriers specified"),
        (dict(data=[0], n_fft=0), "OfdmConfig: n_fft must be at least 1"),
        (dict(data=[1], n_fft=2**24 + 1), "OfdmConfig: n_fft 16777217 is too large (max 16777216)"),
    ],
)
def test_construction_failures_in_order(kwargs, message):
    with pytest.raises(ValueError) as error:
        config(**kwargs)
    assert str(error.value) == message


def test_array_layout_is_checked_in_construction_order():
    strided = np.zeros(4, np.int32)[::2]
    with pytest.raises(TypeError, match="^The given array is not contiguous"):
        kavro_sdr.OfdmConfig(64, 16, NO_INT, strided, np.ones(2, np.complex64), 1e6, 0, 1, "bad")
    # the data array's layout is checked after the constellation keyword
    with pytest.raises(ValueError, match="unknown constellation"):
        kavro_sdr.OfdmConfig(64, 16, strided, NO_INT, NO_CPLX, 1e6, 0, 1, "bad")
    with pytest.raises(TypeError, match="^The given array is not contiguous"):
        kavro_sdr.OfdmConfig(64, 16, strided, NO_INT, NO_CPLX, 1e6, 0, 1, "qpsk")
    with pytest.raises(TypeError, match="^argument 'pilot_carrier_values': "):
        kavro_sdr.OfdmConfig(64, 16, NO_INT, NO_INT, np.zeros(0, np.complex128), 1e6, 0, 1, "qpsk")


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda c: c.with_inner_fec("ldpc"), 'unknown LDPC code "" (expected n512r12|n576r23|n512r34)'),
        (lambda c: c.with_inner_fec("LDPC", "n512r12"), 'with_inner_fec: unknown kind "LDPC" (expected none|ldpc|convolutional|convolutional_k7)'),
        (lambda c: c.with_inner_fec("conv", "1/3"), 'unknown puncture rate "1/3" (expected 1/2|2/3|3/4|5/6|7/8)'),
        (lambda c: c.with_outer_fec("golay"), 'with_outer_fec: unknown kind "golay" (expected none|bch|reed_solomon)'),
        (lambda c: c.with_scrambler(0, 7, position="middle"), 'with_scrambler: unknown position "middle" (expected before_outer|after_inner)'),
        (lambda c: c.with_interleaver("both", 2, 3), 'unknown interleaver stage "both" (expected inner|outer)'),
        (lambda c: c.with_payload_crc("crc8"), 'unknown CRC "crc8" (expected none|crc16|crc32)'),
        (lambda c: c.with_header_format("x\t\"\\"), 'with_header_format: unknown format "x\\t\\"\\\\" (expected kavro_sdr|none|dvb_tps)'),
        (lambda c: c.with_ldpc_decode_rule("bp"), 'with_ldpc_decode_rule: unknown kind "bp" (expected sum_product|min_sum|scaled_min_sum)'),
        (lambda c: c.with_tx_lowpass(31, float("inf")), "with_tx_lowpass: stopband_db must not exceed 300 (got inf)"),
        (lambda c: c.with_interleaver("outer", 2**13, 2**11 + 1), "with_interleaver: rows x cols must not exceed 16777216 bits (got 16785408)"),
    ],
)
def test_builder_keyword_errors(cfg, build, message):
    with pytest.raises(ValueError) as error:
        build(cfg)
    assert str(error.value) == message


def test_builders_return_new_configurations_and_leave_the_source(cfg):
    original = config(edge_guard=4)
    builders = [
        lambda c: c.with_inner_fec("dvb_t", "3/4"), lambda c: c.with_outer_fec("bch", 8, 99),
        lambda c: c.with_scrambler(0x48, 7, seed=5, per_frame_random=True, position="after_inner"),
        lambda c: c.with_dvb_t_scrambler(), lambda c: c.with_interleaver("inner", 4, 8),
        lambda c: c.with_conv_interleaver("outer"), lambda c: c.with_payload_crc("crc16"),
        lambda c: c.with_header_crc("none"), lambda c: c.with_ldpc_decode_rule("scaled-min-sum", 0.5),
        lambda c: c.with_header_format("none"), lambda c: c.with_symbol_window(4),
        lambda c: c.with_rx_window_backoff(3), lambda c: c.with_tx_lowpass(31),
    ]
    for build in builders:
        built = build(cfg)
        assert isinstance(built, kavro_sdr.OfdmConfig) and built is not cfg
        assert built != cfg
        assert cfg == original


def test_equality_rules(cfg):
    assert cfg.with_payload_crc("crc32") == cfg
    assert cfg.with_ldpc_decode_rule("min-sum", 0.5) == cfg.with_ldpc_decode_rule("min_sum", 0.9)
    assert cfg.with_ldpc_decode_rule("scaled_min_sum", float("nan")) != cfg.with_ldpc_decode_rule("scaled_min_sum", float("nan"))
    assert cfg.with_conv_interleaver("outer", 12, 0) == cfg
    assert cfg.with_scrambler(0, 9) == cfg
    assert cfg != "cfg" and not (cfg == 1)
    with pytest.raises(TypeError):
        hash(cfg)
    with pytest.raises(TypeError):
        cfg < cfg


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda c: c.with_scrambler(0x48, 7, per_frame_random=True).with_header_format("none"),
         "per-frame-random scrambler seed requires a header (header_format != NoHeader)"),
        (lambda c: c.with_scrambler(0x48, 7, per_frame_random=True).with_header_format("dvb_tps"),
         "per-frame-random scrambler seed requires a header (header_format != NoHeader)"),
        (lambda c: c.with_outer_fec("bch", 0), "BCH outer code requires t >= 1"),
        (lambda c: c.with_outer_fec("rs", 255), "Reed\u2013Solomon requires 0 < n_parity < n <= 255 with n_parity even"),
        (lambda c: c.with_outer_fec("rs", 40, 7), "Reed\u2013Solomon requires 0 < n_parity < n <= 255 with n_parity even"),
        (lambda c: c.with_outer_fec("rs", 256, 32), "Reed\u2013Solomon requires 0 < n_parity < n <= 255 with n_parity even"),
    ],
)
def test_validate_frame_messages(cfg, build, message):
    with pytest.raises(ValueError) as error:
        build(cfg).validate_frame()
    assert str(error.value) == message


def test_validate_frame_accepts_sound_settings(cfg):
    assert cfg.with_scrambler(0x48, 7, per_frame_random=True).validate_frame() is None
    assert cfg.with_outer_fec("rs", 255, 32).validate_frame() is None


def test_transmit_lowpass_sizing(cfg):
    taps = cfg.tx_lowpass_suggested_taps()
    assert isinstance(taps, int) and taps > 0
    assert cfg.tx_lowpass_group_delay(31) == 15
    assert isinstance(cfg.tx_lowpass_fits_guard(31, roll_off=2, backoff=None), bool)
    assert cfg.with_tx_lowpass(31) != cfg
