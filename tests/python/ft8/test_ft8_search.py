"""ft8_sync and ft4_sync through Python: docstrings, the result format, argument errors and the
limits of sizes. The search itself is checked bit for bit and on noisy frames in the unit tests."""

import numpy as np
import pytest

import kavro_sdr
import support

SEARCHES = [(kavro_sdr.ft8_sync, "FT8"), (kavro_sdr.ft4_sync, "FT4")]
INT32_ERROR = "out of range integral type conversion attempted"
HELLO = bytes.fromhex("3c020b018da062ca0000")  # "HELLO" as free text


def noise(count, seed=5):
    return support.complex_noise(np.random.default_rng(seed), count, 2.0)


@pytest.mark.parametrize("search, mode", SEARCHES)
def test_docstrings(search, mode):
    name = search.__name__
    assert search.__module__ == "kavro_sdr"
    assert search.__text_signature__ == "(iq, fs, base_hz, max_hz, t_min, t_max, max_cand)"
    assert search.__doc__ == (
        f"Synchronise an {mode} IQ buffer and return up to `max_cand` candidates.\n\n"
        "Returns a list of dicts:\n"
        '  {"time_sym": int, "freq_bin": int, "score": float, "llr": float32[174]}')
    # Registered after the six modem and codec classes, before the message functions.
    names = kavro_sdr.__all__
    assert names[names.index("Ft4Codec") + 1:names.index("ft8_pack_standard")] == ["ft8_sync", "ft4_sync"]


@pytest.mark.parametrize("search, mode", SEARCHES)
def test_result_format(search, mode):
    # A frame 3 symbols in, tone 0 at bin 80, in noise: found first, where it was put, and decodable.
    mod, codec, row, spacing = {"FT8": (kavro_sdr.Ft8Mod, kavro_sdr.Ft8Codec, 1920, 6.25),
                                "FT4": (kavro_sdr.Ft4Mod, kavro_sdr.Ft4Codec, 576, 20.833334)}[mode]
    frame = mod(12000, 300 + 80 * spacing, 0, 1).modulate(codec.encode(HELLO))
    iq = noise(3 * row + frame.size)
    iq[3 * row:] += frame
    results = search(iq, 12000.0, 300.0, 500.0 + 80 * spacing, 0, 6, 5)
    assert (results[0]["time_sym"], results[0]["freq_bin"]) == (3, 80)
    assert codec.decode_soft(results[0]["llr"]) == HELLO
    assert isinstance(results, list) and len(results) == 5
    scores = [r["score"] for r in results]
    assert scores == sorted(scores, reverse=True)
    for r in results:
        assert list(r) == ["time_sym", "freq_bin", "score", "llr"]
        assert type(r["time_sym"]) is int and type(r["freq_bin"]) is int and type(r["score"]) is float
        llr = r["llr"]
        assert isinstance(llr, np.ndarray) and llr.dtype == np.float32 and llr.shape == (174,)
        assert llr.flags.owndata or llr.base is not None
        assert np.mean(llr.astype(np.float64) ** 2) == pytest.approx(24.0, rel=1e-5)
    # Every dict holds its own array.
    results[0]["llr"][:] = 0
    assert np.any(results[1]["llr"] != 0)


@pytest.mark.parametrize("search, mode", SEARCHES)
@pytest.mark.parametrize(
    "change, error, message",
    [
        ({"t_min": 2**31}, OverflowError, INT32_ERROR),
        ({"t_max": -2**31 - 1}, OverflowError, INT32_ERROR),
        ({"max_cand": -1}, OverflowError, None),
        ({"max_cand": 2**64}, OverflowError, None),
        ({"iq": np.zeros(4, np.complex128)}, TypeError, None),
        ({"iq": np.zeros(8, np.complex64)[::2]}, TypeError, "The given array is not contiguous or is misaligned."),
        ({"fs": "12000"}, TypeError, None),
        ({"max_hz": float("inf")}, ValueError, "{}: frequency span too large (more than 16777216 bins)"),
        ({"max_hz": 1e30}, ValueError, "{}: frequency span too large (more than 16777216 bins)"),
        # Arguments are converted before the span is looked at.
        ({"max_hz": float("inf"), "t_min": 2**31}, OverflowError, INT32_ERROR),
    ],
)
def test_argument_errors(search, mode, change, error, message):
    arguments = dict(iq=np.zeros(100, np.complex64), fs=12000.0, base_hz=200.0, max_hz=3000.0, t_min=0, t_max=2,
                     max_cand=5)
    arguments.update(change)
    with pytest.raises(error) as raised:
        search(**arguments)
    if message is not None:
        assert message.format(search.__name__) in str(raised.value)


@pytest.mark.parametrize("search, mode", SEARCHES)
def test_sizes_follow_the_input(search, mode):
    iq = noise(100000, seed=9)
    row = 1920 if mode == "FT8" else 576
    last_window = -(-iq.size // row)  # every window that starts inside the input, and one more
    bounded = search(iq, 12000.0, 500.0, 700.0, 0, last_window, 10**6)
    assert len(bounded) > 10
    # The whole signed 32-bit range of windows gives the peaks of the samples present.
    widest = search(iq, 12000.0, 500.0, 700.0, -2**31, 2**31 - 1, 2**64 - 1)
    assert [(r["time_sym"], r["freq_bin"], r["score"]) for r in widest] == \
        [(r["time_sym"], r["freq_bin"], r["score"]) for r in bounded]
    assert all(np.array_equal(a["llr"], b["llr"]) for a, b in zip(widest, bounded))
    # 2^24 bins exactly is still a search (on an empty input, so nothing is computed).
    assert search(np.zeros(0, np.complex64), 12000.0, 0.0, 16777216 * (6.25 if mode == "FT8" else 20.833334), 0, 0, 5) == []


@pytest.mark.parametrize("search, mode", SEARCHES)
@pytest.mark.parametrize("t_min", [0, 100, 10**6])
def test_nothing_to_search_gives_no_candidates(search, mode, t_min):
    iq = np.zeros(0, np.complex64) if t_min == 0 else noise(1000)
    assert search(iq, 12000.0, 200.0, 3000.0, t_min, t_min + 5, 50) == []
    assert search(noise(30000), 12000.0, 200.0, 3000.0, 0, 2, 0) == []
