"""DvbTFrameParams, the DVB-T keywords and the module functions of the 2K numerology."""

import inspect
import math

import pytest

import kavro_sdr
from kavro_sdr import DvbTFrameParams

GUARD_EXPECTED = "(expected 1/32, 1/16, 1/8, 1/4)"
CONSTELLATION_EXPECTED = "(expected qpsk, qam16, qam64)"
RATE_EXPECTED = "(expected 1/2, 2/3, 3/4, 5/6, 7/8)"
NB_EXPECTED = "(expected 333khz, 1mhz, 2mhz)"


def test_defaults_properties_and_repr():
    p = DvbTFrameParams("1/8", "qpsk", "1/2")
    assert (p.guard, p.constellation, p.code_rate, p.frame_number, p.cell_id) == ("1/8", "qpsk", "1/2", 0, 0)
    assert repr(p) == 'DvbTFrameParams(guard="1/8", constellation="qpsk", code_rate="1/2", frame_number=0, cell_id=0)'
    q = DvbTFrameParams(code_rate="7/8", constellation="qam64", guard="1/4", frame_number=7, cell_id=255)
    assert repr(q) == 'DvbTFrameParams(guard="1/4", constellation="qam64", code_rate="7/8", frame_number=7, cell_id=255)'


@pytest.mark.parametrize("guard", ["1/32", "1/16", "1/8", "1/4"])
@pytest.mark.parametrize("constellation", ["qpsk", "qam16", "qam64"])
@pytest.mark.parametrize("rate", ["1/2", "2/3", "3/4", "5/6", "7/8"])
def test_every_keyword_reads_back(guard, constellation, rate):
    p = DvbTFrameParams(guard, constellation, rate, 200, 17)
    assert (p.guard, p.constellation, p.code_rate, p.frame_number, p.cell_id) == (guard, constellation, rate, 200, 17)


@pytest.mark.parametrize(
    "args, message",
    [
        (("1/8", "QPSK", "1/2"), f'unknown DVB-T constellation "QPSK" {CONSTELLATION_EXPECTED}'),
        (("1/8", "qam256", "1/2"), f'unknown DVB-T constellation "qam256" {CONSTELLATION_EXPECTED}'),
        (("1/8", "bpsk", "1/2"), f'unknown DVB-T constellation "bpsk" {CONSTELLATION_EXPECTED}'),
        (("1/5", "qam99", "1/3"), f'unknown guard interval "1/5" {GUARD_EXPECTED}'),
        (("1/8", "qam99", "1/3"), f'unknown DVB-T constellation "qam99" {CONSTELLATION_EXPECTED}'),
        (("1/8", "qpsk", "1/3"), f'unknown code rate "1/3" {RATE_EXPECTED}'),
        (("1/4\n", "qpsk", "1/2"), f'unknown guard interval "1/4\\n" {GUARD_EXPECTED}'),
        ((" 1/4", "qpsk", "1/2"), f'unknown guard interval " 1/4" {GUARD_EXPECTED}'),
        (('1/"8', "qpsk", "1/2"), f'unknown guard interval "1/\\"8" {GUARD_EXPECTED}'),
    ],
)
@pytest.mark.parametrize("make", [DvbTFrameParams, kavro_sdr.DvbTSuperFrameParams])
def test_keyword_errors_in_parse_order(make, args, message):
    with pytest.raises(ValueError) as error:
        make(*args)
    assert str(error.value) == message


def test_newline_is_escaped_as_backslash_n():
    with pytest.raises(ValueError) as error:
        DvbTFrameParams("1/4\n", "qpsk", "1/2")
    assert "\n" not in str(error.value) and '"1/4\\n"' in str(error.value)


@pytest.mark.parametrize(
    "kwargs, error, fragment",
    [
        (dict(frame_number=256), OverflowError, "out of range integral type conversion attempted"),
        (dict(cell_id=-1), OverflowError, "out of range integral type conversion attempted"),
        (dict(cell_id="1"), TypeError, "argument 'cell_id'"),
        (dict(frame_number=1.5), TypeError, "argument 'frame_number'"),
    ],
)
def test_number_conversions_come_before_keyword_parsing(kwargs, error, fragment):
    # The guard keyword is bad too: the conversion failure is reported first.
    with pytest.raises(error) as raised:
        DvbTFrameParams("1/5", "qpsk", "1/2", **kwargs)
    assert fragment in str(raised.value)


@pytest.mark.parametrize(
    "cell_id, error, fragment",
    [
        (65536, OverflowError, "out of range integral type conversion attempted"),
        (-1, OverflowError, "out of range integral type conversion attempted"),
        ("1", TypeError, "argument 'cell_id'"),
    ],
)
def test_super_frame_cell_id_is_sixteen_bits(cell_id, error, fragment):
    with pytest.raises(error) as raised:
        kavro_sdr.DvbTSuperFrameParams("1/5", "qpsk", "1/2", cell_id)
    assert fragment in str(raised.value)
    p = kavro_sdr.DvbTSuperFrameParams("1/16", "qam64", "5/6", 65535)
    assert (p.guard, p.constellation, p.code_rate, p.cell_id) == ("1/16", "qam64", "5/6", 65535)
    assert kavro_sdr.DvbTSuperFrameParams("1/8", "qpsk", "1/2").cell_id == 0


def test_wrongly_typed_keyword_names_its_argument():
    with pytest.raises(TypeError, match="argument 'code_rate'"):
        DvbTFrameParams("1/8", "qpsk", 2)


def test_docstring_first_lines():
    assert DvbTFrameParams.__text_signature__ == "(guard, constellation, code_rate, frame_number=0, cell_id=0)"
    assert kavro_sdr.TpsWord.__doc__ == "The transmission parameters recovered from a frame's TPS carriers."
    assert str(inspect.signature(kavro_sdr.dvb_t_tx_lowpass_suggested_taps)) == "(stopband_db=60.0)"
    assert str(inspect.signature(kavro_sdr.dvb_t_tx_lowpass_fits_guard)) == "(guard, num_taps, roll_off, backoff)"


def test_result_classes_cannot_be_constructed():
    for cls in (kavro_sdr.TpsWord, kavro_sdr.DvbTFrame, kavro_sdr.DvbTSuperFrame):
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize("guard, cp", [("1/32", 64), ("1/16", 128), ("1/8", 256), ("1/4", 512)])
def test_cp_len(guard, cp):
    assert kavro_sdr.dvb_t_cp_len(guard) == cp


def test_cp_len_refuses_a_padded_keyword():
    with pytest.raises(ValueError, match="^unknown guard interval \" 1/4\""):
        kavro_sdr.dvb_t_cp_len(" 1/4")


@pytest.mark.parametrize(
    "mode, fs, occupied",
    [
        ("333khz", 399990.625, 333000.0), ("333k", 399990.625, 333000.0),
        ("1mhz", 1201173.0, 1000000.0), ("1m", 1201173.0, 1000000.0),
        ("2mhz", 2402346.0, 2000000.0), ("2m", 2402346.0, 2000000.0),
    ],
)
def test_narrowband_modes(mode, fs, occupied):
    assert kavro_sdr.nb_bandwidth_fs(mode) == fs
    assert kavro_sdr.nb_bandwidth_occupied_hz(mode) == occupied


@pytest.mark.parametrize("function", [kavro_sdr.nb_bandwidth_fs, kavro_sdr.nb_bandwidth_occupied_hz])
def test_narrowband_keyword_is_case_sensitive(function):
    with pytest.raises(ValueError) as error:
        function("1MHz")
    assert str(error.value) == f'unknown NB bandwidth "1MHz" {NB_EXPECTED}'


@pytest.mark.parametrize(
    "args, taps", [((), 45), ((60.0,), 45), ((21.0,), 11), ((0.0,), 11), ((math.nan,), 11), ((80.0,), 61), ((40.0,), 27)]
)
def test_suggested_taps(args, taps):
    assert kavro_sdr.dvb_t_tx_lowpass_suggested_taps(*args) == taps


@pytest.mark.parametrize("taps, delay", [(0, 1), (1, 1), (2, 1), (3, 1), (45, 22), (46, 23)])
def test_group_delay(taps, delay):
    assert kavro_sdr.dvb_t_tx_lowpass_group_delay(taps) == delay


@pytest.mark.parametrize(
    "args, fits",
    [
        (("1/8", 45, 0, 64), True),
        (("1/32", 45, 20, 32), False),
        (("1/32", 45, 0, 100), False),
        (("1/32", 45, 10, 32), True),
        (("1/32", 3, 2**64 - 1, 32), False),  # the sum saturates instead of wrapping
        (("1/4", 171, 0, 85), True),
        (("1/4", 173, 0, 85), False),
    ],
)
def test_fits_guard(args, fits):
    assert kavro_sdr.dvb_t_tx_lowpass_fits_guard(*args) is fits


@pytest.mark.parametrize(
    "args, error",
    [
        (("1/5", 45, 0, 64), ValueError),
        (("1/8", -1, 0, 64), OverflowError),
        (("1/8", 45, 2**64, 64), OverflowError),
        (("1/8", 45, 0, "64"), TypeError),
    ],
)
def test_fits_guard_argument_errors(args, error):
    with pytest.raises(error):
        kavro_sdr.dvb_t_tx_lowpass_fits_guard(*args)


def test_max_rx_window_backoff_takes_no_argument():
    assert kavro_sdr.dvb_t_max_rx_window_backoff() == 85
    with pytest.raises(TypeError):
        kavro_sdr.dvb_t_max_rx_window_backoff(1)


def test_group_registers_in_order():
    names = kavro_sdr.__all__
    dvb = [n for n in names if n.startswith(("DvbT", "TpsWord", "nb_", "dvb_t_"))]
    expected = ["DvbTFrameParams", "DvbTFrame", "DvbTRxFrame", "TpsWord", "DvbTFrameMod", "DvbTFrameDemod",
                "DvbTSuperFrameParams", "DvbTSuperFrame", "DvbTRxSuperFrame", "DvbTSuperFrameMod",
                "DvbTSuperFrameDemod", "DvbTFrameStreamDemod", "nb_bandwidth_fs", "nb_bandwidth_occupied_hz",
                "dvb_t_cp_len", "dvb_t_max_rx_window_backoff", "dvb_t_tx_lowpass_suggested_taps",
                "dvb_t_tx_lowpass_group_delay", "dvb_t_tx_lowpass_fits_guard"]
    assert dvb == [n for n in expected if n in names]
    assert names[-len(dvb):] == dvb
