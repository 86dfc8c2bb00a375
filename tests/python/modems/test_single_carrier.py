"""BPSK, QPSK and QAM modems: constellation exactness, oscillator continuity, error rates."""

import itertools
import math

import numpy as np
import pytest

import kavro_sdr
import support

QAM_ORDERS = [16, 64, 256]


def bits_of(values):
    return np.asarray(values, np.float32).view(np.uint32).tolist()


def qam_round_trip(order, bits):
    symbols = kavro_sdr.QamMod(order, 1.0, 0.0, 1.0).process(bits)
    return kavro_sdr.QamDemod(order, 1.0).process(symbols)


class TestConstellations:
    def test_sixteen_qam_levels_are_single_precision_products(self):
        symbol = kavro_sdr.QamMod(16, 48000.0, 0.0, 1.0).process(np.array([0, 0, 1, 0], np.uint8))
        assert bits_of([symbol[0].real, symbol[0].imag]) == [0xBF72DCE8, 0x3F72DCE8]

    @pytest.mark.parametrize("order", QAM_ORDERS)
    def test_every_bit_pattern_survives_map_then_slice(self, order):
        width = int(math.log2(order))
        patterns = np.array(list(itertools.product([0, 1], repeat=width)), np.uint8).ravel()
        assert np.array_equal(qam_round_trip(order, patterns), patterns)

    def test_qam_levels_follow_the_gray_order(self):
        patterns = np.array(list(itertools.product([0, 1], repeat=2)), np.uint8)
        bits = np.concatenate([np.concatenate([p, [0, 0]]) for p in patterns]).astype(np.uint8)
        levels = kavro_sdr.QamMod(16, 1.0, 0.0, 1.0).process(bits).real * math.sqrt(10)
        assert np.allclose(levels, [-3, -1, 3, 1], atol=1e-6)

    @pytest.mark.parametrize(
        "order, gain, sample, expected",
        [
            (16, 1.0, 0j, [0, 1, 0, 1]),
            (16, 2.0, 0.5 + 0j, [1, 0, 0, 1]),
            (16, 1.0, complex(np.float32(0.632455528), 0), [1, 1, 0, 1]),  # on a threshold: the lower level
            (16, 1.0, complex(np.nan, 0), [0, 0, 0, 1]),
            (16, 1.0, complex(1e30, -1e30), [1, 0, 0, 0]),
            (64, 1.0, complex(np.nan, np.nan), [0] * 6),
        ],
    )
    def test_qam_slicer_ties_and_special_values(self, order, gain, sample, expected):
        out = kavro_sdr.QamDemod(order, gain).process(np.array([sample], np.complex64))
        assert out.tolist() == expected

    @pytest.mark.parametrize(
        "sample, expected",
        [(0.5 - 0.5j, [0, 1]), (complex(np.nan, 0), [0, 0]), (complex(-0.0, -0.0), [0, 0]), (-1e-30 + 1j, [1, 0])],
    )
    def test_qpsk_decisions(self, sample, expected):
        assert kavro_sdr.QpskDemod(1.0).process(np.array([sample], np.complex64)).tolist() == expected

    def test_bpsk_sign_of_the_gain_decides(self):
        iq = np.array([1, -1, 0, complex(np.nan, 0)], np.complex64)
        assert kavro_sdr.BpskDemod(1.0).process(iq).tolist() == [0, 1, 0, 0]
        assert kavro_sdr.BpskDemod(-2.0).process(iq).tolist() == [1, 0, 0, 0]
        assert kavro_sdr.BpskDemod(0.0).process(iq).tolist() == [0, 0, 0, 0]

    def test_only_bit_zero_of_each_byte_counts_and_trailing_bits_are_ignored(self):
        assert kavro_sdr.BpskMod(8.0, 0.0, 1.0).process(np.array([2, 3], np.uint8)).real.tolist() == [1, -1]
        assert kavro_sdr.QpskMod(8.0, 0.0, 1.0).process(np.ones(5, np.uint8)).size == 2
        assert kavro_sdr.QamMod(64, 8.0, 0.0, 1.0).process(np.ones(13, np.uint8)).size == 2
        assert kavro_sdr.QamMod(64, 8.0, 0.0, 1.0).process(np.ones(5, np.uint8)).size == 0
        odd = np.array([0, 1, 0, 1, 254, 255, 4, 7], np.uint8)
        assert np.array_equal(qam_round_trip(16, odd), odd & 1)

    @pytest.mark.parametrize("order", [4, 32, 128, 1024, 0])
    def test_unsupported_orders(self, order):
        with pytest.raises(ValueError, match=r"^QamMod: order must be 16, 64, or 256$"):
            kavro_sdr.QamMod(order, 1.0, 0.0, 1.0)
        with pytest.raises(ValueError, match=r"^QamDemod: order must be 16, 64, or 256$"):
            kavro_sdr.QamDemod(order, 1.0)

    def test_order_is_converted_with_the_other_arguments_first(self):
        with pytest.raises(TypeError, match="^argument 'fs': "):
            kavro_sdr.QamMod(32, "x", 0, 1)
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            kavro_sdr.QamMod(-16, 1.0, 0.0, 1.0)
        with pytest.raises(OverflowError):
            kavro_sdr.QamDemod(2**32, 1.0)


MODULATORS = [
    ("bpsk", lambda fs, rf, g: kavro_sdr.BpskMod(fs, rf, g), 1),
    ("qpsk", lambda fs, rf, g: kavro_sdr.QpskMod(fs, rf, g), 2),
    ("qam16", lambda fs, rf, g: kavro_sdr.QamMod(16, fs, rf, g), 4),
    ("qam64", lambda fs, rf, g: kavro_sdr.QamMod(64, fs, rf, g), 6),
    ("qam256", lambda fs, rf, g: kavro_sdr.QamMod(256, fs, rf, g), 8),
]


class TestOscillator:
    def test_quarter_rate_carrier_is_rotated_before_the_first_sample(self):
        modulator = kavro_sdr.BpskMod(8000.0, 2000.0, 1.0)
        first = modulator.process(np.zeros(4, np.uint8))
        assert np.allclose(first, [1j, -1, -1j, 1], atol=1e-6)
        assert np.allclose(modulator.process(np.zeros(1, np.uint8)), [1j], atol=1e-6)

    def test_zero_frequency_gives_exact_symbols_times_gain(self):
        out = kavro_sdr.BpskMod(48000.0, 0.0, 0.3).process(np.array([0, 1] * 1500, np.uint8))
        gain = np.float32(0.3)
        assert np.array_equal(out, np.tile(np.array([gain, -gain], np.complex64), 1500))

    @pytest.mark.parametrize("name, make, width", MODULATORS)
    def test_splitting_a_stream_changes_nothing(self, name, make, width, rng):
        symbols = 3000
        bits = support.random_bits(rng, symbols * width)
        whole = make(48000.0, 1234.5, 0.7).process(bits)
        cuts = np.sort(rng.integers(0, symbols, 12)) * width
        cuts = np.concatenate([[0], cuts, [1024 * width, 2048 * width], [len(bits)]])
        cuts.sort()
        modulator = make(48000.0, 1234.5, 0.7)
        pieces = [modulator.process(bits[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]
        assert np.array_equal(np.concatenate(pieces), whole)

    def test_empty_input_does_not_move_the_oscillator(self):
        modulator = kavro_sdr.QpskMod(8000.0, 1000.0, 1.0)
        assert modulator.process(np.zeros(1, np.uint8)).size == 0
        assert modulator.process(np.zeros(0, np.uint8)).dtype == np.complex64
        reference = kavro_sdr.QpskMod(8000.0, 1000.0, 1.0).process(np.zeros(2, np.uint8))
        assert np.array_equal(modulator.process(np.zeros(2, np.uint8)), reference)

    def test_gain_multiplies_last_in_single_precision(self, rng):
        bits = support.random_bits(rng, 5000)
        unit = kavro_sdr.BpskMod(44100.0, 3000.0, 1.0).process(bits)
        scaled = kavro_sdr.BpskMod(44100.0, 3000.0, 0.37).process(bits)
        gain = np.float32(0.37)
        expected = (unit.real * gain) + 1j * (unit.imag * gain)
        assert np.array_equal(scaled.view(np.float32), expected.astype(np.complex64).view(np.float32))

    def test_set_gain_applies_from_the_next_call_and_the_carrier_runs_on(self, rng):
        bits = support.random_bits(rng, 64)
        modulator = kavro_sdr.QamMod(16, 48000.0, 700.0, 1.0)
        modulator.process(bits)
        modulator.set_gain(2.0)
        reference = kavro_sdr.QamMod(16, 48000.0, 700.0, 2.0)
        reference.process(bits)
        assert np.array_equal(modulator.process(bits), reference.process(bits))


def q_function(x):
    return 0.5 * math.erfc(x / math.sqrt(2))


def gray_pam_bit_error_rate(levels_per_axis, noise_sigma):
    """Exact per-bit error rate of one Gray-coded PAM axis with unit-energy square QAM scaling."""
    bits = int(math.log2(levels_per_axis))
    scale = math.sqrt(2 * (levels_per_axis**2 - 1) / 3)
    positions = [(2 * k - (levels_per_axis - 1)) / scale for k in range(levels_per_axis)]
    edges = [-math.inf] + [(2 * k - (levels_per_axis - 2)) / scale for k in range(levels_per_axis - 1)] + [math.inf]
    gray = [k ^ (k >> 1) for k in range(levels_per_axis)]
    errors = 0.0
    for sent in range(levels_per_axis):
        for received in range(levels_per_axis):
            wrong_bits = bin(gray[sent] ^ gray[received]).count("1")
            if wrong_bits == 0:
                continue
            low = (edges[received] - positions[sent]) / noise_sigma
            high = (edges[received + 1] - positions[sent]) / noise_sigma
            errors += wrong_bits * (q_function(low) - q_function(high))
    return errors / (levels_per_axis * bits)


ERROR_RATE_CASES = [
    ("bpsk", 1, lambda: kavro_sdr.BpskMod(1.0, 0.0, 1.0), lambda: kavro_sdr.BpskDemod(1.0), [3.0, 6.0]),
    ("qpsk", 2, lambda: kavro_sdr.QpskMod(1.0, 0.0, 1.0), lambda: kavro_sdr.QpskDemod(1.0), [3.0, 6.0]),
    ("qam16", 4, lambda: kavro_sdr.QamMod(16, 1.0, 0.0, 1.0), lambda: kavro_sdr.QamDemod(16, 1.0), [7.0, 10.0]),
    ("qam64", 6, lambda: kavro_sdr.QamMod(64, 1.0, 0.0, 1.0), lambda: kavro_sdr.QamDemod(64, 1.0), [11.0, 14.0]),
    ("qam256", 8, lambda: kavro_sdr.QamMod(256, 1.0, 0.0, 1.0), lambda: kavro_sdr.QamDemod(256, 1.0), [15.0, 18.0]),
]


@pytest.mark.parametrize("name, width, make_mod, make_demod, ebn0_list", ERROR_RATE_CASES, ids=[c[0] for c in ERROR_RATE_CASES])
def test_awgn_bit_error_rate_matches_theory(name, width, make_mod, make_demod, ebn0_list, rng):
    bit_count = (1_200_000 // width) * width
    bits = support.random_bits(rng, bit_count)
    symbols = make_mod().process(bits)
    for ebn0_db in ebn0_list:
        ebn0 = 10 ** (ebn0_db / 10)
        n0 = support.noise_variance_at_snr(1.0 / width, ebn0_db)  # Es = 1
        decided = make_demod().process(support.add_noise(rng, symbols, n0))
        measured = np.count_nonzero(decided != bits) / bit_count
        if width <= 2:
            theory = q_function(math.sqrt(2 * ebn0))
        else:
            theory = gray_pam_bit_error_rate(2 ** (width // 2), math.sqrt(n0 / 2))
        assert theory >= 1e-3
        assert abs(measured / theory - 1) < 0.10, (ebn0_db, measured, theory)
