"""How the batch functions bind and convert their arguments: binding errors,
converter errors and their exact texts, the argument name prefix and its
cause, the buffer route for float arrays, and inputs that misreport their
length or change while they are read."""

import array
import collections
import math
import operator
import os
import random
import subprocess
import sys

import numpy as np
import pytest

import zor_core
from interrupt import interrupt, resident_kilobytes, wait_until
from kernel_model import (
    SPECIAL,
    IterOnly,
    Lying,
    assert_same,
    exact_bits,
    from_bits,
    octonion_mul,
    unary,
)

# Texts the interpreter itself produces for the same conversions.
try:
    math.fabs("a")
except TypeError as exc:
    STR_AS_FLOAT = str(exc)
try:
    operator.index(1.5)
except TypeError as exc:
    FLOAT_AS_INDEX = str(exc)

P = (0.0, 1.0)  # a valid point / pair
O8 = [0.0] * 8  # a valid octet


# --- binding ------------------------------------------------------------------

SIGNATURES = {
    "schrodinger_step_n": ["psi", "v", "dt", "hbar"],
    "rotate_phase_n": ["pairs", "angles"],
    "simulate_pulses_n": ["x0", "y0", "n_pulses"],
    "boost_n": ["points", "phis", "c"],
    "exp_n": ["xs"],
    "ln_n": ["ys"],
    "add_n": ["as_", "bs"],
    "sub_n": ["as_", "bs"],
    "mul_n": ["as_", "bs"],
    "div_n": ["as_", "bs"],
    "sqrt_n": ["xs"],
    "sin_n": ["xs"],
    "cos_n": ["xs"],
    "tension_n": ["xs", "ys"],
    "pow_n": ["bases", "exps"],
    "christoffel_batch_n": ["points", "lam", "mu", "nu", "rs"],
    "octonion_mul_n": ["a_batch", "b_batch"],
    "geometric_product_n": ["a_batch", "b_batch", "signature"],
}

# One valid value per parameter.
VALID = {
    "psi": [P], "v": [1.0], "dt": 0.1, "hbar": 1.0, "pairs": [P], "angles": [0.5], "x0": 0.0, "y0": 1.0,
    "n_pulses": 2, "points": [P], "phis": [0.5], "c": 1.0, "xs": [1.0], "ys": [2.0], "as_": [1.0], "bs": [2.0],
    "bases": [2.0], "exps": [3.0], "lam": 0, "mu": 0, "nu": 1, "rs": 0.5, "a_batch": [[0.0, 1.0]],
    "b_batch": [[0.0, 1.0]], "signature": [1],
}


def quoted_list(names):
    q = [f"'{n}'" for n in names]
    if len(q) == 1:
        return q[0]
    if len(q) == 2:
        return f"{q[0]} and {q[1]}"
    return ", ".join(q[:-1]) + ", and " + q[-1]


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message
    return info.value


def test_signature_table_covers_every_batch_function():
    batch = [n for n in zor_core.__all__ if n.endswith("_n")]
    assert sorted(batch) == sorted(SIGNATURES)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_missing_every_argument(name):
    params = SIGNATURES[name]
    word = "argument" if len(params) == 1 else "arguments"
    message = f"{name}() missing {len(params)} required positional {word}: {quoted_list(params)}"
    raises_exactly(TypeError, message, getattr(zor_core, name))


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_too_many_positional_arguments(name):
    params = SIGNATURES[name]
    args = [VALID[p] for p in params] + [0]
    message = f"{name}() takes {len(params)} positional arguments but {len(args)} were given"
    raises_exactly(TypeError, message, getattr(zor_core, name), *args)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_all_keywords_equal_all_positional(name):
    params = SIGNATURES[name]
    fn = getattr(zor_core, name)
    if name == "octonion_mul_n":
        args = {"a_batch": [O8], "b_batch": [O8]}
    else:
        args = {p: VALID[p] for p in params}
    positional = fn(*args.values())
    reordered = {p: args[p] for p in reversed(params)}
    assert_same(fn(**reordered), positional)


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (zor_core.add_n, ([1.0],), {}, "add_n() missing 1 required positional argument: 'bs'"),
        (zor_core.add_n, (), {"bs": [1.0]}, "add_n() missing 1 required positional argument: 'as_'"),
        (zor_core.boost_n, ([P],), {"c": 1.0}, "boost_n() missing 1 required positional argument: 'phis'"),
        (zor_core.boost_n, ([P],), {}, "boost_n() missing 2 required positional arguments: 'phis' and 'c'"),
        (zor_core.add_n, ([1.0], [2.0], [3.0]), {}, "add_n() takes 2 positional arguments but 3 were given"),
        (zor_core.exp_n, ([1.0], [2.0]), {}, "exp_n() takes 1 positional arguments but 2 were given"),
        (zor_core.add_n, ([1.0],), {"as_": [2.0]}, "add_n() got multiple values for argument 'as_'"),
        (zor_core.exp_n, ([1.0],), {"ys": [2.0]}, "exp_n() got an unexpected keyword argument 'ys'"),
        (zor_core.add_n, (), {"as_": [1.0], "bs": [2.0], "cs": [3.0]}, "add_n() got an unexpected keyword argument 'cs'"),
        (zor_core.add_n, (), {"a": [1.0], "bs": [2.0]}, "add_n() got an unexpected keyword argument 'a'"),
        # Binding comes before conversion: a bad value never hides a missing one.
        (zor_core.add_n, ("abc",), {}, "add_n() missing 1 required positional argument: 'bs'"),
        (zor_core.boost_n, ("abc", 5, 1.0, 2.0), {}, "boost_n() takes 3 positional arguments but 4 were given"),
    ],
)
def test_binding_errors(fn, args, kwargs, message):
    raises_exactly(TypeError, message, fn, *args, **kwargs)


def test_keyword_arguments_bind():
    assert zor_core.add_n(as_=[1.0], bs=[2.0]) == [3.0]
    assert zor_core.add_n(bs=[2.0], as_=[1.0]) == [3.0]
    assert zor_core.boost_n([(0.0, 1.0)], c=1.0, phis=[0.0]) == [(0.0, 1.0)]


# --- converter errors through the kernels -----------------------------------------


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "fn, args, exc_type, message",
    [
        # float lists
        (zor_core.exp_n, ("abc",), TypeError, "argument 'xs': Can't extract `str` to `Vec`"),
        (zor_core.exp_n, ("",), TypeError, "argument 'xs': Can't extract `str` to `Vec`"),
        (zor_core.exp_n, (5,), TypeError, "argument 'xs': 'int' object cannot be converted to 'Sequence'"),
        (zor_core.exp_n, (None,), TypeError, "argument 'xs': 'NoneType' object cannot be converted to 'Sequence'"),
        (zor_core.exp_n, ({1.0},), TypeError, "argument 'xs': 'set' object cannot be converted to 'Sequence'"),
        (zor_core.exp_n, ({1: 2.0},), TypeError, "argument 'xs': 'dict' object cannot be converted to 'Sequence'"),
        (zor_core.exp_n, ((x for x in [1.0]),), TypeError, "argument 'xs': 'generator' object cannot be converted to 'Sequence'"),
        (zor_core.exp_n, (Outer.Inner(),), TypeError, "argument 'xs': 'Outer.Inner' object cannot be converted to 'Sequence'"),
        (zor_core.exp_n, ([1, "a"],), TypeError, f"argument 'xs': {STR_AS_FLOAT}"),
        (zor_core.exp_n, ([None],), TypeError, "argument 'xs': must be real number, not NoneType"),
        (zor_core.exp_n, ([[1.0]],), TypeError, "argument 'xs': must be real number, not list"),
        (zor_core.ln_n, (7.0,), TypeError, "argument 'ys': 'float' object cannot be converted to 'Sequence'"),
        (zor_core.add_n, ([1.0], "x"), TypeError, "argument 'bs': Can't extract `str` to `Vec`"),
        (zor_core.pow_n, ([1.0], [2.0, "x"]), TypeError, f"argument 'exps': {STR_AS_FLOAT}"),
        # parameters convert in declaration order, whatever the keyword order
        (zor_core.add_n, ("x", 5), TypeError, "argument 'as_': Can't extract `str` to `Vec`"),
        (lambda: zor_core.tension_n(ys="x", xs=5), (), TypeError, "argument 'xs': 'int' object cannot be converted to 'Sequence'"),
        # pairs
        (zor_core.boost_n, ([[1.0, 2.0]], [0.0], 1.0), TypeError, "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
        (zor_core.boost_n, ([(1.0, 2.0, 3.0)], [0.0], 1.0), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (zor_core.boost_n, ([()], [0.0], 1.0), ValueError, "expected tuple of length 2, but got tuple of length 0"),
        (zor_core.boost_n, ([(1.0, "a")], [0.0], 1.0), TypeError, f"argument 'points': {STR_AS_FLOAT}"),
        (zor_core.boost_n, ("ab", [0.0], 1.0), TypeError, "argument 'points': Can't extract `str` to `Vec`"),
        (zor_core.boost_n, ([P], [0.0], "1"), TypeError, f"argument 'c': {STR_AS_FLOAT}"),
        (zor_core.boost_n, ([P], [0.0], None), TypeError, "argument 'c': must be real number, not NoneType"),
        (zor_core.rotate_phase_n, ([[1.0, 0.0]], [0.0]), TypeError, "argument 'pairs': 'list' object cannot be converted to 'PyTuple'"),
        (zor_core.schrodinger_step_n, ([P], [0.0], 0.1, "h"), TypeError, f"argument 'hbar': {STR_AS_FLOAT}"),
        # indexes and small integers
        (zor_core.christoffel_batch_n, ([P], -1, 0, 0, 1.0), OverflowError, "can't convert negative int to unsigned"),
        (zor_core.christoffel_batch_n, ([P], 0, 1.0, 0, 1.0), TypeError, f"argument 'mu': {FLOAT_AS_INDEX}"),
        (zor_core.christoffel_batch_n, ([P], 0, 0, "1", 1.0), TypeError, "argument 'nu': 'str' object cannot be interpreted as an integer"),
        (zor_core.simulate_pulses_n, (0.0, 1.0, 2.5), TypeError, f"argument 'n_pulses': {FLOAT_AS_INDEX}"),
        (zor_core.simulate_pulses_n, (0.0, 1.0, -3), OverflowError, "can't convert negative int to unsigned"),
        (zor_core.geometric_product_n, ([[1.0]], [[1.0]], [300]), OverflowError, "out of range integral type conversion attempted"),
        (zor_core.geometric_product_n, ([[1.0]], [[1.0]], [128]), OverflowError, "out of range integral type conversion attempted"),
        (zor_core.geometric_product_n, ([[1.0]], [[1.0]], [-129]), OverflowError, "out of range integral type conversion attempted"),
        (zor_core.geometric_product_n, ([[1.0]], [[1.0]], [1.5]), TypeError, f"argument 'signature': {FLOAT_AS_INDEX}"),
        (zor_core.geometric_product_n, ([[1.0]], [[1.0]], "ab"), TypeError, "argument 'signature': Can't extract `str` to `Vec`"),
        # octets
        (zor_core.octonion_mul_n, ([[1.0] * 7], [[1.0] * 8]), ValueError, "expected a sequence of length 8 (got 7)"),
        (zor_core.octonion_mul_n, ([O8], [[1.0] * 9]), ValueError, "expected a sequence of length 8 (got 9)"),
        (zor_core.octonion_mul_n, (["abcdefgh"], [O8]), TypeError, f"argument 'a_batch': {STR_AS_FLOAT}"),
        (zor_core.octonion_mul_n, ([O8], ["abcdefg"]), ValueError, "expected a sequence of length 8 (got 7)"),
        (zor_core.octonion_mul_n, ([5], [O8]), TypeError, "argument 'a_batch': 'int' object cannot be converted to 'Sequence'"),
        (zor_core.octonion_mul_n, ([{i: 0.0 for i in range(8)}], [O8]), TypeError, "argument 'a_batch': 'dict' object cannot be converted to 'Sequence'"),
        (zor_core.octonion_mul_n, ("abcdefgh", [O8]), TypeError, "argument 'a_batch': Can't extract `str` to `Vec`"),
        # lists of float lists: the str rejection applies at both levels
        (zor_core.geometric_product_n, ("ab", [[1.0]], [1]), TypeError, "argument 'a_batch': Can't extract `str` to `Vec`"),
        (zor_core.geometric_product_n, ([[1.0]], ["ab"], [1]), TypeError, "argument 'b_batch': Can't extract `str` to `Vec`"),
        (zor_core.geometric_product_n, ([1.0], [[1.0]], [1]), TypeError, "argument 'a_batch': 'float' object cannot be converted to 'Sequence'"),
        (zor_core.geometric_product_n, ([[1.0, "x"]], [[1.0]], [1]), TypeError, f"argument 'a_batch': {STR_AS_FLOAT}"),
    ],
)
def test_conversion_errors(fn, args, exc_type, message):
    raises_exactly(exc_type, message, fn, *args)


def test_big_signature_entry_fails_in_the_interpreter():
    exc = raises_exactly(OverflowError, "Python int too large to convert to C long", zor_core.geometric_product_n, [[1.0]], [[1.0]], [2**70])
    assert exc.__cause__ is None


@pytest.mark.parametrize("value", [2**64, 2**100])
def test_index_too_big_for_64_bits(value):
    with pytest.raises(OverflowError) as info:
        zor_core.christoffel_batch_n([P], value, 0, 0, 1.0)
    assert not str(info.value).startswith("argument")


# --- error naming and causes -------------------------------------------------------


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_type_error_is_renamed_and_keeps_the_cause():
    root = KeyError("root")
    inner = TypeError("inner text")
    inner.__cause__ = root
    exc = raises_exactly(TypeError, "argument 'xs': inner text", zor_core.exp_n, [1.0, FloatRaises(inner)])
    assert exc is not inner
    assert exc.__cause__ is root


def test_type_error_without_cause_is_renamed_with_no_cause():
    exc = raises_exactly(TypeError, "argument 'bs': plain", zor_core.mul_n, [1.0], [FloatRaises(TypeError("plain"))])
    assert exc.__cause__ is None


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "error",
    [MyTypeError("sub"), ValueError("value"), OverflowError("over"), RuntimeError("rt"), KeyboardInterrupt()],
    ids=lambda e: type(e).__name__,
)
def test_other_errors_pass_through_unchanged(error):
    with pytest.raises(BaseException) as info:
        zor_core.exp_n([FloatRaises(error)])
    assert info.value is error
    assert not str(info.value).startswith("argument")


def test_iteration_errors_fail_the_list():
    class BrokenIter(IterOnly):
        def __iter__(self):
            yield 1.0
            raise TypeError("iteration broke")

    raises_exactly(TypeError, "argument 'xs': iteration broke", zor_core.exp_n, BrokenIter([]))

    class BrokenIterValue(IterOnly):
        def __iter__(self):
            yield 1.0
            raise ValueError("iteration broke")

    raises_exactly(ValueError, "iteration broke", zor_core.exp_n, BrokenIterValue([]))


class Spy:
    calls = []

    def __init__(self, tag):
        self.tag = tag

    def __float__(self):
        Spy.calls.append(self.tag)
        return 1.0


@pytest.mark.parametrize(
    "fn, args, seen",
    [
        (zor_core.add_n, ([Spy("a"), "bad", Spy("b")], [Spy("c")]), ["a"]),
        (zor_core.add_n, ([Spy("a")], [Spy("b"), None, Spy("c")]), ["a", "b"]),
        (zor_core.boost_n, ([(Spy("a"), Spy("b"))], "x", Spy("c")), ["a", "b"]),
        (zor_core.schrodinger_step_n, ([(Spy("a"), 0.0)], [Spy("b")], "x", Spy("c")), ["a", "b"]),
    ],
)
def test_conversion_stops_at_the_first_failure(fn, args, seen):
    Spy.calls = []
    with pytest.raises(TypeError):
        fn(*args)
    assert Spy.calls == seen


# --- accepted inputs ------------------------------------------------------------------

Point = collections.namedtuple("Point", "x y")


class FloatLike:
    def __float__(self):
        return 2.5


class IndexLike:
    def __index__(self):
        return 3


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "xs, as_floats",
    [
        ((1, 2, 3), [1.0, 2.0, 3.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ([True, False], [1.0, 0.0]),
        (b"\x01\x02", [1.0, 2.0]),
        (bytearray(b"\x05"), [5.0]),
        (ListSub([1.5, 2.5]), [1.5, 2.5]),
        ([FloatLike(), IndexLike()], [2.5, 3.0]),
        (array.array("d", [1.5, -2.0]), [1.5, -2.0]),
        (array.array("i", [1, -2]), [1.0, -2.0]),
        (np.array([1.5, -2.0]), [1.5, -2.0]),
        (np.array([1, 2], dtype=np.int64), [1.0, 2.0]),
        ([np.float32(0.5), np.int8(3)], [0.5, 3.0]),
        (IterOnly([4.0, 5.0]), [4.0, 5.0]),
    ],
    ids=lambda v: type(v).__name__,
)
def test_float_lists_accept_any_sequence_of_numbers(xs, as_floats):
    got = zor_core.exp_n(xs)
    assert_same(got, unary("exp_n", as_floats))


def test_pairs_accept_tuple_subclasses_and_numbers():
    got = zor_core.rotate_phase_n([Point(1.0, 2.0), (IndexLike(), True)], [0.0, 0.0])
    assert got == [(1.0, 2.0), (3.0, 1.0)]


@pytest.mark.parametrize(
    "octet",
    [np.arange(8.0), array.array("d", range(8)), tuple(range(8)), range(8), bytes(range(8))],
    ids=lambda v: type(v).__name__,
)
def test_octets_accept_any_sequence_of_eight(octet):
    expected = [float(v) for v in range(8)]
    assert zor_core.octonion_mul_n([octet], [[1.0] + [0.0] * 7]) == [octonion_mul(expected, [1.0] + [0.0] * 7)]


# --- the buffer route for float64 arrays ------------------------------------------------


def _bits_array(n, seed):
    rng = random.Random(seed)
    vals = [from_bits(rng.getrandbits(64)) for _ in range(n)] + SPECIAL
    return vals


BASE = _bits_array(60, 1)
def _float32(values):
    with np.errstate(over="ignore", invalid="ignore"):
        return np.array(values).astype(np.float32)


BIG = np.frombuffer(np.array(_bits_array(9000, 2)).tobytes(), dtype=np.float64)

BUFFER_INPUTS = {
    "array-d": array.array("d", BASE),
    "array-d-empty": array.array("d"),
    "array-f": array.array("f", [1.5, -2.25, 3.0]),
    "numpy-f8": np.array(BASE),
    "numpy-f8-big": BIG,
    "numpy-f8-empty": np.array([], dtype=np.float64),
    "numpy-f8-single": np.array([3.5]),
    "numpy-f8-readonly": np.frombuffer(np.array(BASE).tobytes(), dtype=np.float64),
    "numpy-f8-stride2": np.array(BASE)[::2],
    "numpy-f8-reversed": np.array(BASE)[::-1],
    "numpy-f8-column": np.array(BASE).reshape(-1, 2)[:, 1],
    "numpy-f8-2d": np.array(BASE[:8]).reshape(2, 4),
    "numpy-f8-2d-single-column": np.array(BASE[:4]).reshape(4, 1),
    "numpy-f8-2d-empty": np.zeros((0, 3)),
    "numpy-f8-0d": np.array(2.0),
    "numpy-f4": _float32(BASE),
    "numpy-f8-big-endian": np.array(BASE, dtype=">f8"),
    "numpy-f8-little-endian": np.array(BASE, dtype="<f8"),
    "numpy-f2": np.array([1.0, 2.5], dtype=np.float16),
    "numpy-i8": np.arange(5),
    "numpy-bool": np.array([True, False]),
    "numpy-complex": np.array([1.0 + 0.0j]),
    "numpy-str": np.array(["a", "b"]),
    "numpy-object": np.array([1.0, 2], dtype=object),
    "numpy-object-bad": np.array([1.0, "x"], dtype=object),
    "numpy-matrix-like-subclass": np.array(BASE).view(type("Sub", (np.ndarray,), {})),
    "memoryview-d": memoryview(array.array("d", BASE)),
    "memoryview-d-numpy": memoryview(np.array(BASE)),
    "memoryview-d-cast": memoryview(np.array(BASE).tobytes()).cast("d"),
    "memoryview-d-stride": memoryview(array.array("d", BASE))[::3],
    "memoryview-d-empty": memoryview(array.array("d")),
    "memoryview-d-2d": memoryview(np.zeros((2, 2))),
    "memoryview-f": memoryview(array.array("f", [1.5, 2.0])),
    "memoryview-big-endian": memoryview(np.array(BASE[:3], dtype=">f8")),
    "memoryview-bytes": memoryview(b"\x01\x02\x03"),
}


def outcome(fn, *args):
    """The result as exact bits, or the error as (type, text)."""
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return ("ok", exact_bits(fn(*args)))
        except BaseException as exc:  # noqa: BLE001 - comparing failures is the point
            return ("error", type(exc), str(exc))


@pytest.mark.parametrize("key", sorted(BUFFER_INPUTS))
@pytest.mark.parametrize("name", ["exp_n", "sqrt_n", "add_n", "geometric_product_n", "boost_n"])
def test_buffer_inputs_behave_like_iteration(name, key):
    data = BUFFER_INPUTS[key]
    if name == "add_n":
        zeros = [0.0] * 20000
        fast = outcome(zor_core.add_n, data, zeros)
        slow = outcome(zor_core.add_n, IterOnly(data), zeros)
        both = outcome(zor_core.add_n, data, data)
        both_slow = outcome(zor_core.add_n, IterOnly(data), IterOnly(data))
        assert both == both_slow
    elif name == "geometric_product_n":
        fast = outcome(zor_core.geometric_product_n, [[1.0]], [data], [])
        slow = outcome(zor_core.geometric_product_n, [[1.0]], [IterOnly(data)], [])
    elif name == "boost_n":
        points = [(0.5, 2.0)] * 20000
        fast = outcome(zor_core.boost_n, points, data, 1.0)
        slow = outcome(zor_core.boost_n, points, IterOnly(data), 1.0)
    else:
        fast = outcome(getattr(zor_core, name), data)
        slow = outcome(getattr(zor_core, name), IterOnly(data))
    assert fast == slow


@pytest.mark.parametrize("key", ["array-d", "numpy-f8", "numpy-f8-stride2", "numpy-f8-big-endian", "memoryview-d", "numpy-f4"])
def test_buffer_inputs_give_the_model_values(key):
    data = BUFFER_INPUTS[key]
    values = [float(v) for v in data]
    assert_same(zor_core.exp_n(data), unary("exp_n", values))


def test_buffer_input_is_copied_not_referenced():
    data = np.array([1.0, 2.0, 3.0])
    first = zor_core.exp_n(data)
    data[:] = 0.0
    assert first == [math.exp(1.0), math.exp(2.0), math.exp(3.0)]
    assert zor_core.exp_n(data) == [1.0, 1.0, 1.0]


def test_released_memoryview_fails_like_iteration():
    view = memoryview(array.array("d", [1.0]))
    view.release()
    raises_exactly(ValueError, "operation forbidden on released memoryview object", zor_core.exp_n, view)


# --- lengths that lie, lists that change --------------------------------------------------


@pytest.mark.parametrize("claimed", [10**12, 2**63 - 1, 0, 1, ValueError("no length"), TypeError("no length")])
def test_claimed_length_does_not_matter(claimed):
    assert zor_core.exp_n(Lying([0.0, 1.0, 2.0], claimed)) == [1.0, math.e, math.exp(2.0)]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda L: zor_core.add_n(L([1.0, 2.0, 3.0]), L([1.0, 1.0, 1.0])), [2.0, 3.0, 4.0]),
        (lambda L: zor_core.rotate_phase_n(L([(1.0, 2.0)] * 3), L([0.0] * 3)), [(1.0, 2.0)] * 3),
        (lambda L: zor_core.boost_n(L([(0.0, 1.0)] * 3), L([0.0] * 3), 1.0), [(0.0, 1.0)] * 3),
        (lambda L: zor_core.octonion_mul_n(L([[0.0, 1.0] + [0.0] * 6] * 3), L([[0.0, 0.0, 1.0] + [0.0] * 5] * 3)),
         [[0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0]] * 3),
        (lambda L: zor_core.geometric_product_n(L([L([0.0, 1.0])] * 3), L([L([0.0, 1.0])] * 3), L([1])),
         [[1.0, 0.0]] * 3),
    ],
)
def test_huge_claimed_length_with_three_items(call, expected):
    assert call(Lying) == expected


def test_negative_or_oversized_length_is_ignored():
    class NegativeLen(Lying):
        def __len__(self):
            return -1

    class HugeLen(Lying):
        def __len__(self):
            return 2**100

    assert zor_core.exp_n(NegativeLen([0.0])) == [1.0]
    assert zor_core.exp_n(HugeLen([0.0])) == [1.0]


def test_list_growing_while_converted():
    xs = []

    class Grow:
        def __float__(self):
            xs.extend([4.0, 16.0])
            return 9.0

    xs.extend([Grow(), 1.0])
    assert zor_core.sqrt_n(xs) == [3.0, 1.0, 2.0, 4.0]


def test_list_cleared_while_converted():
    xs = []

    class Clear:
        def __float__(self):
            xs.clear()  # drops the list's reference to this very object
            return 4.0

    xs.extend([Clear(), 1.0, 2.0])
    assert zor_core.sqrt_n(xs) == [2.0]


def test_octet_items_are_read_by_index_after_the_length_check():
    short = Lying([1.0] * 7, claimed=8)  # claims 8, has 7: index 7 fails
    with pytest.raises(IndexError):
        zor_core.octonion_mul_n([short], [O8])
    with pytest.raises(RuntimeError, match="no size"):
        zor_core.octonion_mul_n([Lying([1.0] * 8, claimed=RuntimeError("no size"))], [O8])
    exact = Lying([float(i) for i in range(8)], claimed=8)
    assert zor_core.octonion_mul_n([exact], [[1.0] + [0.0] * 7]) == [[float(i) for i in range(8)]]


@pytest.mark.clock
@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="watches the child's memory in /proc")
def test_ctrl_c_interrupts_the_conversion_of_a_huge_sequence():
    script = "import zor_core, sys\nprint('ready', flush=True)\nzor_core.exp_n(range(10**10))\n"
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=dict(os.environ, PYTHONPATH=os.path.dirname(zor_core.__file__)))

    def converting():
        assert child.stdout.readline().strip() == "ready"
        before = resident_kilobytes(child.pid)
        # 16 MB more resident memory: two million items read, so the conversion is under way
        wait_until(lambda: resident_kilobytes(child.pid) > before + 16_000, "began converting the sequence")

    _, err, _ = interrupt(child, converting)
    assert "KeyboardInterrupt" in err
