"""The module as Python sees it: registration order, class objects, import behaviour."""

import subprocess
import sys

import pytest

import kavro_sdr

REGISTRATION_ORDER = [
    "CwEnvelopeDemod", "AmEnvelopeDemod", "SsbProductDemod", "FmQuadratureDemod", "PmQuadratureDemod",
    "BpskDemod", "QpskDemod", "QamDemod",
    "AmDsbMod", "CwKeyedMod", "FmPhaseAccumMod", "PmDirectPhaseMod", "SsbPhasingMod", "BpskMod", "QpskMod", "QamMod",
    "Ft8Mod", "Ft8Demod", "Ft8Codec", "Ft4Mod", "Ft4Demod", "Ft4Codec",
    "ft8_sync", "ft4_sync", "ft8_pack_standard", "ft8_pack_free_text", "ft8_pack_telemetry", "ft8_unpack",
    "VaricodeEncoder", "VaricodeDecoder", "Bpsk31Mod", "Qpsk31Mod", "Bpsk31Demod", "Bpsk31Decider", "Qpsk31Demod",
    "Psk31Stream", "psk31_sync", "best_psk31_sync",
    "OfdmConfig", "OfdmMod", "OfdmDemod", "OfdmRxFrame", "build_ofdm_rx_frame", "ofdm_sync", "generate_ofdm_preamble",
    "CodecCache", "FramePacket", "McsTable", "OfdmFrameMod", "OfdmFrameStreamDemod", "OfdmFrameDemod",
    "DvbTFrameParams", "DvbTFrame", "DvbTRxFrame", "TpsWord", "DvbTFrameMod", "DvbTFrameDemod",
    "DvbTSuperFrameParams", "DvbTSuperFrame", "DvbTRxSuperFrame", "DvbTSuperFrameMod", "DvbTSuperFrameDemod",
    "DvbTFrameStreamDemod", "nb_bandwidth_fs", "nb_bandwidth_occupied_hz", "dvb_t_cp_len",
    "dvb_t_max_rx_window_backoff", "dvb_t_tx_lowpass_suggested_taps", "dvb_t_tx_lowpass_group_delay",
    "dvb_t_tx_lowpass_fits_guard",
]


def run_python(code, *flags):
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True)


def test_all_lists_the_registered_names_in_registration_order():
    assert len(REGISTRATION_ORDER) == 70
    names = kavro_sdr.__all__
    assert names == [name for name in REGISTRATION_ORDER if name in names]
    assert "BpskDemod" in names and "QamMod" in names
    for name in names:
        assert hasattr(kavro_sdr, name)


def test_module_docstring_is_empty():
    assert kavro_sdr.__doc__ == ""


def test_classes_live_in_builtins_and_cannot_be_extended():
    assert kavro_sdr.QamDemod.__module__ == "builtins"
    with pytest.raises(TypeError):
        type("Derived", (kavro_sdr.BpskMod,), {})
    demod = kavro_sdr.BpskDemod(1.0)
    with pytest.raises(AttributeError):
        demod.anything = 1


def test_class_docstrings_carry_text_signatures():
    import inspect

    assert str(inspect.signature(kavro_sdr.QamMod)) == "(order, fs, rf_hz, gain)"
    assert str(inspect.signature(kavro_sdr.BpskDemod.process)) == "(self, /, iq)"
    assert kavro_sdr.BpskMod.__doc__.startswith("Combined BPSK mapper + waveform stage.")


def test_reimport_reuses_the_class_objects():
    result = run_python(
        "import sys, kavro_sdr as a\n"
        "first = a.BpskMod\n"
        "del sys.modules['kavro_sdr']\n"
        "import kavro_sdr as b\n"
        "assert a is not b and b.BpskMod is first, 'class objects differ'\n"
        "assert b.__all__ == a.__all__\n"
    )
    assert result.returncode == 0, result.stderr


def test_import_is_clean_under_warnings_as_errors_and_does_not_load_numpy():
    result = run_python("import sys, kavro_sdr; assert 'numpy' not in sys.modules", "-W", "error")
    assert result.returncode == 0, result.stderr


def test_numpy_failing_to_load_is_a_panic_not_an_exception():
    result = run_python(
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "import kavro_sdr\n"
        "try:\n"
        "    try:\n"
        "        kavro_sdr.BpskMod(8000.0, 0.0, 1.0).process(None)\n"
        "    except Exception:\n"
        "        print('caught by Exception')\n"
        "except BaseException as error:\n"
        "    print(type(error).__name__, type(error).__mro__[1].__name__, str(error))\n"
    )
    assert result.returncode == 0, result.stderr
    name, base, message = result.stdout.strip().split(" ", 2)
    assert (name, base) == ("PanicException", "BaseException")
    assert message.startswith("Failed to access NumPy array API capsule")
    assert "Failed to access NumPy array API capsule" in result.stderr
