"""Arrays stay valid for the whole call, whatever Python code the other arguments run."""

import glob
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import kavro_sdr

# Each script frees or moves an array's memory from a later argument's conversion, then prints
# what the call made of the array; the array is large so that its freed memory is unmapped.
RESIZE_SCRIPTS = {
    "index_frees_the_payload": (
        """
        p = np.ones(1 << 23, np.uint8)
        class H:
            def __index__(self):
                p.resize(0, refcheck=False)
                return 1
        packet = kavro_sdr.FramePacket(p, H())
        print(len(packet.payload), packet.sequence_num)
        """,
        "0 1",
    ),
    "index_shrinks_the_payload": (
        """
        p = np.arange(1 << 23, dtype=np.uint8)
        class H:
            def __index__(self):
                p.resize(5, refcheck=False)
                return 2
        packet = kavro_sdr.FramePacket(p, H(), mcs_index=H())
        print(packet.payload.tolist(), packet.mcs_index)
        """,
        "[0, 1, 2, 3, 4] 2",
    ),
    "float_frees_the_samples": (
        """
        iq = np.ones(1 << 22, np.complex64)
        class F:
            def __float__(self):
                iq.resize(0, refcheck=False)
                return 1e6
        print(kavro_sdr.ofdm_sync(iq, fs=F(), num_repeats=4, repeat_len=16, search_start=0, search_end=1 << 22))
        """,
        "[]",
    ),
    "float_frees_the_carriers": (
        """
        carriers = np.ones(1 << 22, np.int32)
        class F:
            def __float__(self):
                carriers.resize(0, refcheck=False)
                return 1e6
        def outcome(data_carriers, fs):
            try:
                cfg = kavro_sdr.OfdmConfig(64, 16, data_carriers, np.zeros(0, np.int32), np.zeros(0, np.complex64),
                                           fs=fs, rf_hz=0.0, gain=1.0, constellation="qpsk")
                return "config", cfg.bits_per_ofdm_symbol
            except Exception as error:
                return type(error).__name__, str(error)
        print(outcome(carriers, F()) == outcome(np.zeros(0, np.int32), 1e6))
        """,
        "True",
    ),
}


def run_script(body, environment=None):
    code = "import numpy as np\nimport kavro_sdr\n" + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment, timeout=120)


@pytest.mark.parametrize("name", sorted(RESIZE_SCRIPTS))
def test_conversions_run_before_arrays_are_read(name):
    body, expected = RESIZE_SCRIPTS[name]
    result = run_script(body)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


def sanitized_module_dir():
    """The module built with address and undefined-behaviour sanitizers, when the build made one."""
    directory = Path(kavro_sdr.__file__).parent / "sanitized"
    return directory if glob.glob(str(directory / "kavro_sdr*.so")) else None


def asan_runtime(module_dir):
    module = glob.glob(str(module_dir / "kavro_sdr*.so"))[0]
    for line in subprocess.run(["ldd", module], capture_output=True, text=True).stdout.splitlines():
        if "libasan" in line and "=>" in line:
            return line.split("=>")[1].split()[0]
    return None


@pytest.mark.skipif(sanitized_module_dir() is None, reason="built without KAVRO_SANITIZE")
@pytest.mark.parametrize("name", sorted(RESIZE_SCRIPTS))
def test_conversions_run_before_arrays_are_read_under_sanitizers(name):
    module_dir = sanitized_module_dir()
    environment = dict(os.environ, PYTHONPATH=str(module_dir), LD_PRELOAD=asan_runtime(module_dir),
                       ASAN_OPTIONS="detect_leaks=0")
    body, expected = RESIZE_SCRIPTS[name]
    result = run_script("assert 'sanitized' in kavro_sdr.__file__\n" + textwrap.dedent(body), environment)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected
    assert "ERROR: AddressSanitizer" not in result.stderr and "runtime error" not in result.stderr


class Recorder:
    """An argument that records whether its conversion ran."""

    def __init__(self):
        self.converted = False

    def __index__(self):
        self.converted = True
        return 1


@pytest.mark.parametrize(
    "payload, message",
    [
        (np.zeros(4, np.float32), "argument 'payload': "),
        (np.zeros(8, np.uint8)[::2], "The given array is not contiguous or is misaligned."),
    ],
)
def test_an_earlier_array_error_comes_first(payload, message):
    later = Recorder()
    with pytest.raises(TypeError) as error:
        kavro_sdr.FramePacket(payload, later)
    assert str(error.value).startswith(message)
    assert not later.converted


@pytest.mark.filterwarnings("ignore:Setting the shape:DeprecationWarning")
def test_an_array_reshaped_by_a_later_conversion_is_checked_again():
    payload = np.ones(8, np.uint8)

    class Reshapes:
        def __index__(self):
            payload.shape = (2, 4)
            return 1

    with pytest.raises(TypeError, match="^argument 'payload': expected a one-dimensional uint8 array"):
        kavro_sdr.FramePacket(payload, Reshapes())


@pytest.mark.filterwarnings("ignore:Setting the shape:DeprecationWarning")
def test_a_lazily_checked_array_reshaped_by_a_later_conversion_is_checked_again():
    carriers = np.arange(-4, 5, dtype=np.int32)
    carriers = carriers[carriers != 0]

    class Reshapes:
        def __float__(self):
            carriers.shape = (2, 4)
            return 1e6

    with pytest.raises(TypeError, match="^argument 'data_carriers': expected a one-dimensional int32 array"):
        kavro_sdr.OfdmConfig(64, 16, carriers, np.zeros(0, np.int32), np.zeros(0, np.complex64), Reshapes(), 0.0, 1.0,
                             "qpsk")
