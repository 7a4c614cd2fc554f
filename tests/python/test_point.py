import math

import pytest
from hypothesis import given, strategies as st
from zor_core import ZORPair, ZORPoint

from kernel_model import (
    LN_FLOOR, boost, c_log, mirror_pulse, nan_floor, safe_exp, safe_ln, same, zor,
)

floats = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)


@given(floats, floats)
def test_tension_and_pulses_match_the_model(x, y):
    p = ZORPoint(x, y)
    assert same(p.tension(), zor(x, y)) and same(p.zor(), p.tension())
    for pulsed in (p.mirror_pulse(), p.pulse()):
        mx, my = mirror_pulse(x, y)
        assert same(pulsed.x, mx) and same(pulsed.y, my)
    a = nan_floor(abs(y), LN_FLOOR)
    shifted = p.frame_shift()
    assert same(shifted.x, a) and same(shifted.y, safe_exp(x) - c_log(a))
    pair = p.pair()
    assert isinstance(pair, ZORPair)
    assert same(pair.real, safe_exp(x)) and same(pair.imag, safe_ln(y))
    t, l = safe_exp(x), safe_ln(y)
    assert same(p.euclidean_delta(), math.sqrt(l * l + t * t) if not math.isnan(l * l + t * t) else math.nan)


@given(floats, floats, floats, floats)
def test_boost_and_minkowski_match_the_model(x, y, phi, c):
    boosted = ZORPoint(x, y).boost(phi, c)
    bx, by = boost(x, y, phi, c)
    assert same(boosted.x, bx) and same(boosted.y, by)
    plus = ZORPoint(x, y).minkowski_delta(True, c)
    minus = ZORPoint(x, y).minkowski_delta(False, c)
    assert same(plus, minus)


@pytest.mark.parametrize(
    "x, y, expected",
    [
        (0.0, 1.0, 1.0),
        (0.0, 0.0, 691.7755278982137),
        (0.0, -0.0, 691.7755278982137),
        (0.0, -2.0, 0.3068528194400547),
    ],
)
def test_tension_examples(x, y, expected):
    assert ZORPoint(x, y).tension() == expected


def test_tension_folds_large_exponents():
    assert ZORPoint(1000.0, 1.0).tension() == pytest.approx(1000.0, rel=1e-14)
    assert not ZORPoint(709.78, 1.0).is_slipping()
    assert ZORPoint(math.nextafter(709.78, math.inf), 1.0).is_slipping()
    assert not ZORPoint(math.nan, 1.0).is_slipping()


@pytest.mark.parametrize(
    "y, pulse_x, shift_x",
    [(-3.0, 3.0, 3.0), (0.0, 1e-300, 1e-300), (1e-310, 1e-310, 1e-300), (math.nan, math.nan, 1e-300)],
)
def test_pulse_and_frame_shift_guards(y, pulse_x, shift_x):
    p = ZORPoint(1.0, y)
    assert same(p.mirror_pulse().x, pulse_x)
    assert same(p.frame_shift().x, shift_x)


def test_frame_shift_of_nan_y():
    shifted = ZORPoint(0.5, math.nan).frame_shift()
    assert shifted.y == safe_exp(0.5) + 690.7755278982137


@pytest.mark.parametrize("x", [math.inf, math.nan])
def test_conserves_tension_is_true_when_exp_is_not_finite(x):
    assert ZORPoint(x, 1.0).conserves_tension(ZORPoint(0.0, math.nan), -1.0)


@given(floats, floats, floats)
def test_conserves_tension_matches_the_model(x, next_y, tol):
    t = safe_exp(x)
    if not math.isfinite(t):
        expected = True
    else:
        l = safe_ln(next_y)
        expected = tol > abs(((t - l) + l) - t)
    assert ZORPoint(x, 5.0).conserves_tension(ZORPoint(-3.0, next_y), tol) is expected


def test_conserves_tension_with_zero_tolerance_is_false():
    assert ZORPoint(0.0, 1.0).conserves_tension(ZORPoint(0.0, 1.0), 0.0) is False


def test_boost_examples():
    same_point = ZORPoint(0.0, 1.0).boost(0.0, 1.0)
    assert (same_point.x, same_point.y) == (0.0, 1.0)
    # t' = cosh(5) - 0 * sinh(5) > 0, X' = -sinh(5) * 1 ... large negative rapidity flips time instead
    backwards = ZORPoint(0.0, math.e ** 3).boost(5.0, 1.0)
    assert backwards.x == math.log(1e-300)
    clamped = ZORPoint(0.0, 0.5).boost(-10.0, 1000.0)
    assert clamped.y == math.exp(709.0)


def test_minkowski_flag_must_be_a_bool():
    with pytest.raises(TypeError, match=r"^argument 'plus_signature': 'int' object cannot be converted to 'PyBool'$"):
        ZORPoint(1.0, 2.0).minkowski_delta(1, 1.0)


@pytest.mark.parametrize(
    "x, y, text",
    [
        (1, -0.0, "ZORPoint(x=1.000000, y=-0.000000)"),
        (math.nan, math.inf, "ZORPoint(x=NaN, y=inf)"),
        (-math.inf, 0.0078125, "ZORPoint(x=-inf, y=0.007812)"),
        (1e20, -1e-9, "ZORPoint(x=100000000000000000000.000000, y=-0.000000)"),
    ],
)
def test_repr(x, y, text):
    assert repr(ZORPoint(x, y)) == text


def test_identity_semantics_and_immutability():
    p = ZORPoint(1, 2)
    assert p != ZORPoint(1, 2) and p == p
    assert hash(p) == hash(p)
    with pytest.raises(TypeError):
        p < ZORPoint(1, 2)
    with pytest.raises(AttributeError):
        p.x = 3.0
    with pytest.raises(AttributeError):
        p.other = 1
    with pytest.raises(TypeError):
        type("Sub", (ZORPoint,), {})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ZORPoint(1.0), r"^ZORPoint.__new__\(\) missing 1 required positional argument: 'y'$"),
        (lambda: ZORPoint("a", 1.0), r"^argument 'x': must be real number, not str$"),
        (lambda: ZORPoint(1.0, 2.0, 3.0), r"^ZORPoint.__new__\(\) takes 2 positional arguments but 3 were given$"),
        (lambda: ZORPoint(1.0, y=2.0, z=1), r"^ZORPoint.__new__\(\) got an unexpected keyword argument 'z'$"),
        (lambda: ZORPoint(0, 1).boost(1.0), r"^ZORPoint.boost\(\) missing 1 required positional argument: 'c'$"),
        (lambda: ZORPoint(0, 1).conserves_tension((0, 1), 1.0),
         r"^argument 'next': 'tuple' object cannot be converted to 'ZORPoint'$"),
        (lambda: ZORPoint(0, 1).tension(1), r"takes no arguments"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keyword_arguments_and_value_reading():
    p = ZORPoint(y=2.0, x=1)
    assert (p.x, p.y) == (1.0, 2.0) and type(p.x) is float
    assert p.boost(c=1.0, phi=0.0).y == pytest.approx(2.0)


def test_unbound_method_on_a_foreign_object_raises_type_error():
    with pytest.raises(TypeError):
        ZORPoint.tension(ZORPair(1, 2))
    with pytest.raises(TypeError):
        ZORPoint.boost(5, 1.0, 1.0)
