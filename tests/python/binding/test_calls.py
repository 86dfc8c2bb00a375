"""The call road: argument matching, conversion, borrows, arrays and results."""

import os

import numpy as np
import pytest

import _kavro_testing as testing
import kavro_sdr


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kavro_sdr.BpskDemod(), "BpskDemod.__new__() missing 1 required positional argument: 'gain'"),
        (lambda: kavro_sdr.BpskDemod(1.0, 2.0), "BpskDemod.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: kavro_sdr.BpskDemod(1.0, gain=2.0), "BpskDemod.__new__() got multiple values for argument 'gain'"),
        (lambda: kavro_sdr.BpskDemod(gain=1.0, g=2.0), "BpskDemod.__new__() got an unexpected keyword argument 'g'"),
        (lambda: kavro_sdr.QamMod(), "QamMod.__new__() missing 4 required positional arguments: 'order', 'fs', 'rf_hz', and 'gain'"),
        (lambda: kavro_sdr.QamDemod(16), "QamDemod.__new__() missing 1 required positional argument: 'gain'"),
        (lambda: kavro_sdr.QamDemod(16, 1.0).process(), "QamDemod.process() missing 1 required positional argument: 'iq'"),
        (lambda: kavro_sdr.QamDemod(16, 1.0).process(1, 2), "QamDemod.process() takes 1 positional arguments but 2 were given"),
        (lambda: testing.three(), "three() missing 3 required positional arguments: 'a', 'b', and 'c'"),
        (lambda: testing.three(1), "three() missing 2 required positional arguments: 'b' and 'c'"),
        (lambda: testing.three(1, 2, 3, 4, 5), "three() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: testing.no_arguments(1), "no_arguments() takes 0 positional arguments but 1 was given"),
        # CPython's order: surplus positionals before keywords, keywords before missing arguments
        (lambda: testing.three(1, 2, 3, 4, 5, z=1), "three() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: testing.three(z=1), "three() got an unexpected keyword argument 'z'"),
        # a keyword that is no valid UTF-8, or not ASCII, is compared without being encoded
        (lambda: kavro_sdr.BpskDemod(1.0, **{"\ud800": 1}), "BpskDemod.__new__() got an unexpected keyword argument '\ud800'"),
        (lambda: kavro_sdr.BpskDemod(1.0).process(np.zeros(1, np.complex64), **{"i\udcff": 1}),
         "BpskDemod.process() got an unexpected keyword argument 'i\udcff'"),
        (lambda: testing.three(1, 2, 3, **{"\ud800": 1}), "three() got an unexpected keyword argument '\ud800'"),
        (lambda: testing.three(1, 2, 3, **{"\u0164": 1}), "three() got an unexpected keyword argument '\u0164'"),
    ],
)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_keywords_match_parameter_names():
    assert testing.three(c=3, b=2, a=1) is None
    demod = kavro_sdr.BpskDemod(gain=1.0)
    assert demod.process(iq=np.array([-1 + 0j], np.complex64)).tolist() == [1]


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda: kavro_sdr.BpskDemod("x"), "argument 'gain': "),
        (lambda: kavro_sdr.QamMod(16.0, 1.0, 0.0, 1.0), "argument 'order': "),
        (lambda: kavro_sdr.QamMod(32, "x", 0, 1), "argument 'fs': "),
        (lambda: testing.echo_bool(1), "argument 'v': 'int' object is not an instance of 'bool'"),
        (lambda: testing.echo_str(b"x"), "argument 'v': 'bytes' object is not an instance of 'str'"),
        (lambda: testing.echo_bytes(bytearray(b"x")), "argument 'v': 'bytearray' object is not an instance of 'bytes'"),
        (lambda: testing.sum_list((1.0,)), "argument 'values': 'tuple' object is not an instance of 'list'"),
        (lambda: testing.sum_list([1.0, "a"]), "argument 'values': "),
        (lambda: testing.Counter().sum_with(1), "argument 'other': 'int' object is not an instance of 'Counter'"),
    ],
)
def test_conversion_type_errors_name_the_argument(call, prefix):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value).startswith(prefix)
    assert isinstance(error.value.__cause__, TypeError)


@pytest.mark.parametrize(
    "function, value, expected",
    [
        (testing.echo_u8, 255, 255), (testing.echo_u8, 256, OverflowError), (testing.echo_u8, -1, OverflowError),
        (testing.echo_i32, -(2**31), -(2**31)), (testing.echo_i32, 2**31, OverflowError),
        (testing.echo_u32, 2**32 - 1, 2**32 - 1), (testing.echo_u32, 2**32, OverflowError),
        (testing.echo_u32, 2**70, OverflowError), (testing.echo_u32, 1.0, TypeError),
        (testing.echo_size, 2**64 - 1, 2**64 - 1), (testing.echo_size, 2**64, OverflowError),
        (testing.echo_size, -1, OverflowError), (testing.echo_size, np.int64(7), 7),
        (testing.echo_bool, True, True), (testing.echo_bool, np.bool_(False), False), (testing.echo_bool, 0, TypeError),
        (testing.echo_str, "héllo", "héllo"), (testing.echo_str, "\ud800", UnicodeEncodeError),
        (testing.echo_bytes, b"\x00\xff", b"\x00\xff"),
        (testing.echo_optional, None, None), (testing.echo_optional, 5, 5),
    ],
)
def test_scalar_converters(function, value, expected):
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected) as error:
            function(value)
        if expected is OverflowError and function in (testing.echo_u8, testing.echo_i32) or value == 2**32:
            assert str(error.value) == "out of range integral type conversion attempted"
    else:
        assert function(value) == expected


def test_defaults_and_results():
    assert testing.echo_optional() is None
    assert testing.Counter().value == 0
    assert testing.sum_list([1, 2.5, np.float32(0.5)]) == 4.0
    assert testing.make_tuple() == (1, 2.5, "three", None)
    assert testing.make_list() == ["a", "b"]
    assert testing.Counter(7).snapshot().value == 7
    with pytest.raises(TypeError):
        testing.Snapshot()


class TestDefaults:
    def test_callee_receives_the_defaults_the_signature_shows(self):
        import inspect

        parameters = inspect.signature(testing.echo_defaults).parameters.values()
        shown = [parameter.default for parameter in parameters]
        assert shown[6:8] == ["before_outer", "a, (b)"] and shown[-1] is None
        # the float32 parameter holds its default as it holds an argument: rounded to single precision
        expected = list(shown)
        expected[1] = float(np.float32(shown[1]))
        received = testing.echo_defaults()
        assert received == tuple(expected)
        assert [type(value) for value in received] == [type(value) for value in expected]
        assert testing.echo_defaults(**{parameter.name: parameter.default for parameter in parameters}) == received

    def test_optional_parameters_receive_a_literal_and_nothing_for_an_elided_default(self):
        assert testing.echo_optional_defaults() == (2.5, None)
        assert testing.echo_optional_defaults(b=1.5) == (2.5, 1.5)

    def test_left_out_arguments_act_as_the_shown_defaults(self):
        import inspect

        shown = inspect.signature(kavro_sdr.AmEnvelopeDemod).parameters["abs_approx"].default
        iq = (np.arange(64) % 7 - 3 + 1j * (np.arange(64) % 5 - 2)).astype(np.complex64)
        left_out = kavro_sdr.AmEnvelopeDemod(48000.0, 3000.0).process(iq)
        assert np.array_equal(left_out, kavro_sdr.AmEnvelopeDemod(48000.0, 3000.0, shown).process(iq))
        assert not np.array_equal(left_out, kavro_sdr.AmEnvelopeDemod(48000.0, 3000.0, not shown).process(iq))


class TestArrays:
    @pytest.mark.parametrize(
        "argument",
        [np.zeros(3), np.zeros((2, 2), np.complex64), [1 + 0j], None, np.zeros(3, np.complex128),
         np.zeros(3, np.dtype(np.complex64).newbyteorder())],
    )
    def test_wrong_kind_of_array_names_the_argument(self, argument):
        with pytest.raises(TypeError) as error:
            kavro_sdr.BpskDemod(1.0).process(argument)
        assert str(error.value).startswith("argument 'iq': ")

    @pytest.mark.parametrize("view", [np.zeros(8, np.complex64)[::2], np.zeros(4, np.complex64)[::-1]])
    def test_layout_error_has_no_prefix(self, view):
        with pytest.raises(TypeError) as error:
            kavro_sdr.BpskDemod(1.0).process(view)
        assert str(error.value) == "The given array is not contiguous or is misaligned."

    def test_misaligned_array_is_refused(self):
        raw = np.zeros(8 * 4 + 1, np.uint8)[1:]
        misaligned = raw.view(np.complex64)
        assert not misaligned.flags.aligned
        with pytest.raises(TypeError, match="not contiguous or is misaligned"):
            kavro_sdr.BpskDemod(1.0).process(misaligned)

    def test_empty_arrays_pass_whatever_their_flags(self):
        assert kavro_sdr.BpskDemod(1.0).process(np.zeros(4, np.complex64)[::2][:0]).size == 0
        out = kavro_sdr.QpskDemod(1.0).process(np.zeros(0, np.complex64))
        assert out.dtype == np.uint8 and out.shape == (0,)

    def test_equivalent_dtypes_and_read_only_arrays_are_accepted(self):
        bits = np.array([1, 0, 1], np.ubyte)
        bits.flags.writeable = False
        assert kavro_sdr.BpskMod(8000.0, 0.0, 1.0).process(bits).real.tolist() == [-1, 1, -1]
        assert testing.echo_int32(np.array([1, -2], np.intc)).tolist() == [1, -2]

    def test_inputs_are_read_in_place(self):
        samples = np.zeros(16, np.complex64)
        assert testing.buffer_address(samples) == samples.ctypes.data

    def test_results_adopt_the_library_buffer(self):
        result = testing.echo_float32(np.arange(5, dtype=np.float32))
        assert result.dtype == np.float32 and result.tolist() == [0, 1, 2, 3, 4]
        assert result.base is not None and not result.flags.owndata
        assert result.flags.writeable and result.flags.c_contiguous
        result[0] = 9.0
        assert result[0] == 9.0


class TestBorrows:
    def test_callback_into_an_exclusively_held_object_is_refused(self):
        modulator = kavro_sdr.BpskMod(8000.0, 0.0, 1.0)

        class Reentrant:
            def __float__(self):
                modulator.process(np.zeros(1, np.uint8))
                return 1.0

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            modulator.set_gain(Reentrant())
        assert modulator.process(np.zeros(2, np.uint8)).size == 2

    def test_shared_use_meets_exclusive_use(self):
        counter = testing.Counter(1)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            counter.absorb(counter)

        class Reads:
            def __index__(self):
                return counter.value

        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            counter.increment(Reads())
        counter.increment(2)
        assert counter.value == 3
        assert counter.sum_with(counter) == 6  # two shared uses at once are fine


class TestFailures:
    def test_internal_fault_is_a_panic(self):
        panic = None
        try:
            try:
                testing.fault("broken invariant")
            except Exception:
                pytest.fail("PanicException was caught by an Exception handler")
        except BaseException as error:
            panic = error
        assert type(panic).__name__ == "PanicException"
        assert type(panic).__mro__[1] is BaseException
        assert str(panic) == "broken invariant"
        assert not hasattr(kavro_sdr, "PanicException")

    def test_impossible_allocation_is_memory_error(self):
        with pytest.raises(MemoryError):
            testing.huge_allocation()


class TestStages:
    def test_block_stage_handles_exactly_one_block(self):
        x = np.arange(9, dtype=np.float32)
        assert testing.block_sum(x, 5).tolist() == [6.0]
        assert testing.block_sum(x[:3], 1).size == 0
        assert testing.block_sum(x, 0).size == 0

    def test_stream_stage_stops_when_input_or_output_runs_out(self):
        x = np.arange(7, dtype=np.float32)
        assert testing.pair_sum(x, 10).tolist() == [1.0, 5.0, 9.0]
        assert testing.pair_sum(x, 2).tolist() == [1.0, 5.0]
        assert testing.pair_sum(x[:0], 2).size == 0


def _resident_bytes():
    with open(f"/proc/{os.getpid()}/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_objects_and_arrays_do_not_leak():
    samples = np.ones(64, np.complex64)

    def churn(count):
        for _ in range(count):
            demod = kavro_sdr.QpskDemod(1.0)
            demod.process(samples)
            testing.Counter(1).snapshot()

    churn(20_000)
    before = _resident_bytes()
    churn(100_000)
    assert _resident_bytes() - before < 4 * 1024 * 1024


class TestValueSemantics:
    def test_equality_compares_values_and_refuses_hashing_and_ordering(self):
        assert testing.Pair(1, 0.5) == testing.Pair(1, 0.5)
        assert testing.Pair(1, 0.5) != testing.Pair(1, 0.25)
        assert testing.Pair(1, float("nan")) != testing.Pair(1, float("nan"))
        assert testing.Pair(1, 0.5) != (1, 0.5)
        with pytest.raises(TypeError):
            hash(testing.Pair(1, 0.5))
        with pytest.raises(TypeError):
            testing.Pair(1, 0.5) < testing.Pair(2, 0.5)

    def test_dict_results_keep_their_key_order(self):
        reading = testing.make_reading()
        assert list(reading) == ["start", "score", "offset"]
        assert reading == {"start": 12, "score": 0.5, "offset": None}

    def test_lazy_arrays_check_type_at_once_and_layout_when_asked(self):
        ints, floats = np.zeros(3, np.int32), np.zeros(2, np.float32)
        assert testing.lazy_lengths(ints, floats) == 5
        with pytest.raises(TypeError, match="^argument 'second': "):
            testing.lazy_lengths(ints[::2], np.zeros(2))
        with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
            testing.lazy_lengths(ints, floats[::-1])
        assert testing.lazy_lengths(ints[:0:-1][:0], floats) == 2


class TestDictItems:
    def test_items_are_read_by_plain_lookup(self):
        class Tricky(dict):
            def __missing__(self, key):
                return 100.0

            def __getitem__(self, key):
                return 100.0

        assert testing.weighted_sum([{"gain": 0.5, "count": 4}, Tricky(gain=1.0, count=2)]) == 4.0
        with pytest.raises(KeyError):
            testing.weighted_sum([Tricky(gain=1.0)])

    @pytest.mark.parametrize(
        "items, error, message",
        [
            ([("gain", 1.0)], TypeError, "'tuple' object is not an instance of 'dict'"),
            ([{"gain": "x", "count": 1}], TypeError, "must be real number, not str"),
            ([{"gain": 1.0, "count": -1}], OverflowError, None),
            ((), TypeError, "argument 'items': 'tuple' object is not an instance of 'list'"),
        ],
    )
    def test_item_failures_carry_no_argument_prefix(self, items, error, message):
        with pytest.raises(error) as raised:
            testing.weighted_sum(items)
        if message is not None:
            assert str(raised.value) == message


def test_static_methods_build_objects_and_name_their_class():
    assert testing.Counter.starting_at(5).value == 5
    assert testing.Counter(1).starting_at(start=2).value == 2
    with pytest.raises(TypeError) as error:
        testing.Counter.starting_at()
    assert str(error.value) == "Counter.starting_at() missing 1 required positional argument: 'start'"
