"""Element-wise scalar kernels: exp_n, ln_n, add_n, sub_n, mul_n, div_n,
sqrt_n, sin_n, cos_n, tension_n, pow_n, checked bit for bit against the
reference model in kernel_model."""

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zor_core
from kernel_model import (
    BINARY,
    INF,
    LN_OF_FLOOR,
    NAN,
    QUIET_NAN_BITS,
    SPECIAL,
    UNARY,
    assert_same,
    binary,
    bits,
    from_bits,
    unary,
)

UNARY_NAMES = sorted(UNARY)
BINARY_NAMES = sorted(BINARY)
ALL_NAMES = UNARY_NAMES + BINARY_NAMES

any_float = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
# Raw bit patterns reach NaN payloads and signs that st.floats rarely draws.
raw_float = st.integers(min_value=0, max_value=2**64 - 1).map(from_bits)
float_or_special = st.one_of(any_float, raw_float, st.sampled_from(SPECIAL))
float_lists = st.lists(float_or_special, max_size=40)


def call(name, *args):
    return getattr(zor_core, name)(*args)


def random_doubles(seed, n):
    """Deterministic mix of raw bit patterns, ordinary magnitudes and the
    special values."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        kind = rng.randrange(4)
        if kind == 0:
            out.append(from_bits(rng.getrandbits(64)))
        elif kind == 1:
            out.append(rng.uniform(-800.0, 800.0))
        elif kind == 2:
            out.append(rng.choice(SPECIAL))
        else:
            out.append(math.ldexp(rng.uniform(-1.0, 1.0), rng.randrange(-1074, 1024)))
    return out


# --- agreement with the model -----------------------------------------------


@pytest.mark.parametrize("name", UNARY_NAMES)
@settings(max_examples=60, deadline=None)
@given(xs=float_lists)
def test_unary_matches_model(name, xs):
    assert_same(call(name, xs), unary(name, xs), name)


@pytest.mark.parametrize("name", BINARY_NAMES)
@settings(max_examples=60, deadline=None)
@given(xs=float_lists, ys=float_lists)
def test_binary_matches_model(name, xs, ys):
    assert_same(call(name, xs, ys), binary(name, xs, ys), name)


@pytest.mark.parametrize("name", BINARY_NAMES)
def test_binary_all_special_pairs(name):
    xs = [a for a in SPECIAL for _ in SPECIAL]
    ys = [b for _ in SPECIAL for b in SPECIAL]
    assert_same(call(name, xs, ys), binary(name, xs, ys), name)


@pytest.mark.parametrize("name", UNARY_NAMES)
def test_unary_special_values(name):
    assert_same(call(name, SPECIAL), unary(name, SPECIAL), name)


# Batches below, at and above the length under which a call stays on the
# calling thread; every element must be what it is when computed alone.
SIZES = [1, 2, 3, 100, 4095, 4096, 4097, 20011]


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("name", ALL_NAMES)
def test_batches_of_every_size_match_model(name, n):
    xs = random_doubles(n, n)
    if name in UNARY:
        got, expected = call(name, xs), unary(name, xs)
    else:
        ys = random_doubles(n + 1, n)
        got, expected = call(name, xs, ys), binary(name, xs, ys)
    assert_same(got, expected, name)


@pytest.mark.parametrize("name", ALL_NAMES)
def test_large_batch_equals_element_by_element(name):
    xs = random_doubles(7, 10_000)
    ys = random_doubles(8, 10_000)
    args = (xs,) if name in UNARY else (xs, ys)
    whole = call(name, *args)
    step = 97
    singles = [call(name, *([a[i]] for a in args))[0] for i in range(0, len(xs), step)]
    assert [bits(v) for v in whole[::step]] == [bits(v) for v in singles]


# --- the documented edge cases ------------------------------------------------

E = math.e


@pytest.mark.parametrize(
    "name, args, expected",
    [
        ("exp_n", ([709.78],), [math.exp(709.78)]),
        ("exp_n", ([710.0],), [math.exp(math.log(710.0))]),
        ("exp_n", ([1000.0],), [math.exp(math.log(1000.0))]),
        ("exp_n", ([INF],), [INF]),
        ("exp_n", ([-INF],), [0.0]),
        ("exp_n", ([NAN],), [NAN]),
        ("ln_n", ([0.0],), [LN_OF_FLOOR]),
        ("ln_n", ([-0.0],), [LN_OF_FLOOR]),
        ("ln_n", ([-1e-320],), [LN_OF_FLOOR]),
        ("ln_n", ([-2.0],), [math.log(2.0)]),
        ("ln_n", ([1e-320],), [math.log(1e-320)]),
        ("ln_n", ([-INF],), [INF]),
        ("ln_n", ([NAN],), [NAN]),
        ("div_n", ([1.0], [1e-301]), [NAN]),
        ("div_n", ([1.0], [1e-300]), [1.0 / 1e-300]),
        ("div_n", ([1.0], [-0.0]), [NAN]),
        ("div_n", ([1.0], [INF]), [0.0]),
        ("div_n", ([1.0], [NAN]), [NAN]),
        ("sqrt_n", ([-4.0],), [2.0]),
        ("sqrt_n", ([-INF],), [INF]),
        ("pow_n", ([-2.0], [0.5]), [math.sqrt(2.0)]),
        ("pow_n", ([-2.0], [3.0]), [8.0]),
        ("pow_n", ([0.0], [-1.0]), [INF]),
        ("pow_n", ([-0.0], [-3.0]), [INF]),
        ("tension_n", ([0.0], [1.0]), [1.0]),
        ("tension_n", ([0.0], [0.0]), [1.0 - LN_OF_FLOOR]),
        ("add_n", ([1.0, 2.0, 3.0], [10.0]), [11.0]),
        ("sub_n", ([10.0], [1.0, 2.0, 3.0]), [9.0]),
        ("mul_n", ([2.0, 3.0], [4.0, 5.0, 6.0]), [8.0, 15.0]),
        ("sin_n", ([INF],), [NAN]),
        ("cos_n", ([-INF],), [NAN]),
    ],
)
def test_documented_cases(name, args, expected):
    assert_same(call(name, *args), expected, name)


def test_guard_constants_have_their_documented_values():
    # The literal values the documented cases name, so a wrong model constant
    # cannot hide a wrong kernel.
    assert zor_core.exp_n([709.78]) == [1.7928227943945155e308]
    assert zor_core.ln_n([0.0]) == [-690.7755278982137]
    assert zor_core.tension_n([0.0], [0.0]) == [691.7755278982137]
    assert zor_core.pow_n([-2.0], [0.5]) == [1.4142135623730951]
    assert abs(zor_core.exp_n([710.0])[0] - 710.0) < 1e-9
    assert abs(zor_core.exp_n([1000.0])[0] - 1000.0) < 1e-9
    assert math.isclose(zor_core.div_n([1.0], [1e-300])[0], 1e300, rel_tol=1e-15)


@pytest.mark.parametrize("x", [709.78, math.nextafter(709.78, INF), 710.0, 1e5, 1.7976931348622157e308])
def test_exp_never_overflows_for_finite_input(x):
    (value,) = zor_core.exp_n([x])
    assert math.isfinite(value)


@pytest.mark.parametrize("x", [math.nextafter(709.78, INF), 800.0, 1e300])
def test_exp_above_the_limit_is_folded_through_ln(x):
    (value,) = zor_core.exp_n([x])
    assert math.isclose(value, x, rel_tol=1e-12)


@pytest.mark.parametrize(
    "a, b",
    [(1.0, 0.0), (-1.0, -0.0), (-INF, 1e-301), (-NAN, 5e-324), (NAN, -5e-324), (0.0, math.nextafter(1e-300, 0.0))],
)
def test_div_guard_gives_the_positive_quiet_nan(a, b):
    (value,) = zor_core.div_n([a], [b])
    assert bits(value) == QUIET_NAN_BITS


@pytest.mark.parametrize("b", [1e-300, -1e-300, INF, -INF, 1.0])
def test_div_at_or_above_the_floor_divides(b):
    assert_same(zor_core.div_n([3.0], [b]), [3.0 / b])


@pytest.mark.parametrize("name", ALL_NAMES)
def test_empty_inputs_give_an_empty_list(name):
    args = ([],) if name in UNARY else ([], [])
    assert call(name, *args) == []


@pytest.mark.parametrize("name", BINARY_NAMES)
@pytest.mark.parametrize("la, lb", [(5, 3), (3, 5), (0, 4), (4, 0), (5000, 4100)])
def test_binary_result_has_the_shorter_length_and_uses_the_first_items(name, la, lb):
    xs = random_doubles(la, la)
    ys = random_doubles(lb + 100, lb)
    n = min(la, lb)
    got = call(name, xs, ys)
    assert_same(got, binary(name, xs[:n], ys[:n]), name)


@pytest.mark.parametrize("name", UNARY_NAMES)
def test_integer_and_bool_items_are_read_as_floats(name):
    items = [True, False, 3, -2, 2**60]
    got = call(name, items)
    assert all(type(v) is float for v in got)
    assert_same(got, unary(name, [float(v) for v in items]), name)


def test_exp_of_true_is_e():
    assert zor_core.exp_n([True]) == [E]
