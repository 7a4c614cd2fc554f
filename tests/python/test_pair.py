import math

import pytest
from hypothesis import given, strategies as st
from zor_core import ZORPair

from kernel_model import same

floats = st.floats(allow_nan=True, allow_infinity=True)


def model_div(a, b, c, d):
    den = d * d + c * c
    if abs(den) < 1e-300:
        den = 1e-300
    return (a * c + b * d) / den, (b * c - a * d) / den


@given(floats, floats, floats, floats)
def test_arithmetic_matches_the_model(a, b, c, d):
    p, q = ZORPair(a, b), ZORPair(c, d)
    expected = {
        "+": (a + c, b + d),
        "-": (a - c, b - d),
        "*": (a * c - b * d, b * c + a * d),
        "/": model_div(a, b, c, d),
    }
    results = {"+": p + q, "-": p - q, "*": p * q, "/": p / q}
    for op, (re, im) in expected.items():
        assert same(results[op].real, re) and same(results[op].imag, im), op
    assert same(p.modulus, math.sqrt(b * b + a * a) if not math.isnan(b * b + a * a) else math.nan)
    assert same(abs(p), p.modulus)
    assert same(p.argument, math.atan2(b, a))
    conj = p.conjugate()
    assert same(conj.real, a) and math.copysign(1.0, conj.imag) == -math.copysign(1.0, b)


@given(floats, floats, st.floats(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6))
def test_rotation_and_polar_match_the_model(a, b, angle):
    rotated = ZORPair(a, b).rotate_phase(angle)
    s, co = math.sin(angle), math.cos(angle)
    assert same(rotated.real, co * a - s * b) and same(rotated.imag, co * b + s * a)
    polar = ZORPair.from_polar(a, angle)
    assert same(polar.real, math.cos(angle) * a) and same(polar.imag, math.sin(angle) * a)


def test_constants_and_constructors():
    assert ZORPair.unit_i() * ZORPair.unit_i() == ZORPair(-1.0, 0.0)
    assert ZORPair.one() + ZORPair.zero() == ZORPair.one()
    p = ZORPair.from_values(imag=2.0, real=1)
    assert (p.real, p.imag, p.real_tension, p.imag_tension) == (1.0, 2.0, 1.0, 2.0)
    assert (ZORPair(1, 1).zero().real, ZORPair(1, 1).one().real) == (0.0, 1.0)


@pytest.mark.parametrize(
    "pair, modulus, argument",
    [
        (ZORPair(3, 4), 5.0, math.atan2(4, 3)),
        (ZORPair(0, 1), 1.0, math.pi / 2),
        (ZORPair(-1, 0), 1.0, math.pi),
        (ZORPair(-1, -0.0), 1.0, -math.pi),
        (ZORPair(1e200, 0), math.inf, 0.0),
    ],
)
def test_modulus_and_argument(pair, modulus, argument):
    assert pair.modulus == modulus and abs(pair) == modulus
    assert pair.argument == argument


def test_division_by_a_zero_pair_is_floored():
    q = ZORPair(1, 1) / ZORPair(0, 0)
    assert (q.real, q.imag) == (0.0, 0.0)
    half = ZORPair(1, 0) / ZORPair(2, 0)
    assert (half.real, half.imag) == (0.5, 0.0)
    scaled = ZORPair(1, 0) / ZORPair(1e-160, 0)
    assert scaled.real == 1e-160 / 1e-300


def test_rotation_by_a_quarter_turn_is_not_exact():
    r = ZORPair(1, 0).rotate_phase(math.pi / 2)
    assert (r.real, r.imag) == (6.123233995736766e-17, 1.0)


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (ZORPair(1, 2), ZORPair(1 + 5e-10, 2), True),
        (ZORPair(1, 2), ZORPair(1 + 2e-9, 2), False),
        (ZORPair(1, 2), ZORPair(1, 2 - 5e-10), True),
        (ZORPair(1, 2), ZORPair(1, 2 + 1e-8), False),
        (ZORPair(math.nan, 0), ZORPair(math.nan, 0), False),
    ],
)
def test_tolerance_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


def test_equality_is_not_transitive():
    a, b, c = ZORPair(0, 0), ZORPair(6e-10, 0), ZORPair(1.2e-9, 0)
    assert a == b and b == c and not a == c


def test_nan_pair_is_not_equal_to_itself_but_is_itself():
    p = ZORPair(0, math.nan)
    assert not (p == p)
    assert p != p


@pytest.mark.parametrize("other", [(1, 2), 1.0, "x", None])
def test_foreign_operands(other):
    p = ZORPair(1, 2)
    assert (p == other) is False and (p != other) is True
    assert (other == p) is False and (other != p) is True
    for op in ("__add__", "__sub__", "__mul__", "__truediv__"):
        assert getattr(p, op)(other) is NotImplemented


@pytest.mark.parametrize(
    "expression",
    [
        lambda: ZORPair(1, 2) + 1.0,
        lambda: 1.0 + ZORPair(1, 2),
        lambda: 2 * ZORPair(1, 2),
        lambda: -ZORPair(1, 2),
        lambda: ZORPair(1, 2) < ZORPair(3, 4),
        lambda: ZORPair(1, 2) // ZORPair(3, 4),
        lambda: ZORPair(1, 2) ** 2,
        lambda: hash(ZORPair(1, 2)),
        lambda: {ZORPair(1, 2)},
    ],
)
def test_unsupported_operations_raise_type_error(expression):
    with pytest.raises(TypeError):
        expression()


def test_in_place_operators_bind_new_pairs():
    p = ZORPair(1, 2)
    original = p
    p += ZORPair(1, 1)
    assert p is not original and (p.real, p.imag) == (2.0, 3.0)
    assert (original.real, original.imag) == (1.0, 2.0)


@pytest.mark.parametrize(
    "pair, text",
    [
        (ZORPair(1.5, -2.25), "ZORPair(1.500000 - 2.250000i)"),
        (ZORPair(0, math.nan), "ZORPair(0.000000 - NaNi)"),
        (ZORPair(1, 0.0).conjugate(), "ZORPair(1.000000 + 0.000000i)"),
        (ZORPair(-math.inf, math.inf), "ZORPair(-inf + infi)"),
        (ZORPair(-0.0, -1e-7), "ZORPair(-0.000000 - 0.000000i)"),
    ],
)
def test_repr(pair, text):
    assert repr(pair) == text


def test_conjugate_flips_only_the_sign_bit():
    assert math.copysign(1.0, ZORPair(1, 0.0).conjugate().imag) == -1.0
    assert ZORPair(1, 2).conjugate().imag == -2.0


def test_immutable_and_final():
    p = ZORPair(1, 2)
    for name in ("real", "imag", "modulus", "other"):
        with pytest.raises(AttributeError):
            setattr(p, name, 1.0)
    with pytest.raises(TypeError):
        type("Sub", (ZORPair,), {})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ZORPair(1), r"^ZORPair.__new__\(\) missing 1 required positional argument: 'imag'$"),
        (lambda: ZORPair.from_polar(1.0, "a"), r"^argument 'theta': must be real number, not str$"),
        (lambda: ZORPair(1, 2).rotate_phase(), r"^ZORPair.rotate_phase\(\) missing 1 required positional argument: 'angle'$"),
        (lambda: ZORPair(1, 2).rotate_phase(angle=None), r"^argument 'angle': must be real number, not NoneType$"),
        (lambda: ZORPair.from_values(1, 2, 3), r"^ZORPair.from_values\(\) takes 2 positional arguments but 3 were given$"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()
