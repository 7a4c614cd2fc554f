import math

import pytest
from hypothesis import given, strategies as st
from zor_core import ZORKnot, ZORPoint

from kernel_model import HALF_PI, TWO_PI, c_fmod, mirror_pulse, same, zor

floats = st.floats(allow_nan=True, allow_infinity=True)
INT64 = st.integers(min_value=-(2**63), max_value=2**63 - 1)


def wrap64(n):
    return (n + 2**63) % 2**64 - 2**63


def model_pulse(x, y, count, phase):
    nx, ny = mirror_pulse(x, y)
    return nx, ny, wrap64(count + 1), c_fmod(phase + HALF_PI, TWO_PI)


def fields(knot):
    return knot.point.x, knot.point.y, knot.flip_count, knot.phase


@given(floats, floats, INT64, floats)
def test_pulse_and_flip_match_the_model(x, y, n, theta):
    knot = ZORKnot(ZORPoint(x, y), n, theta)
    state = (x, y, n, c_fmod(theta, TWO_PI))
    assert all(same(a, b) for a, b in zip(fields(knot), state))
    steps = [state]
    for _ in range(4):
        steps.append(model_pulse(*steps[-1]))
    assert all(same(a, b) for a, b in zip(fields(knot.mirror_pulse()), steps[1]))
    assert all(same(a, b) for a, b in zip(fields(knot.pulse()), steps[1]))
    four = knot.mirror_pulse().mirror_pulse().mirror_pulse().mirror_pulse()
    for flipped in (knot.flip(), knot.three_one_flip()):
        assert all(same(a, b) for a, b in zip(fields(flipped), steps[4]))
        assert all(same(a, b) for a, b in zip(fields(flipped), fields(four)))
    assert same(knot.rho, abs(zor(x, y)))


@pytest.mark.parametrize(
    "theta, phase",
    [(0.0, 0.0), (-1.0, -1.0), (7.0, 0.7168146928204138), (math.inf, math.nan), (math.nan, math.nan)],
)
def test_phase_is_reduced_with_fmod(theta, phase):
    assert same(ZORKnot(ZORPoint(1.0, 2.0), theta=theta).phase, phase)


def test_defaults_and_rho():
    knot = ZORKnot(ZORPoint(1.0, 2.0))
    assert (knot.flip_count, knot.phase) == (0, 0.0)
    assert ZORKnot(ZORPoint(0.0, 1.0)).rho == 1.0
    assert ZORKnot(ZORPoint(0.0, 3.0)).rho == 0.09861228866810978


def test_quarter_turns_return_to_zero():
    knot = ZORKnot(ZORPoint(0.0, 1.0)).mirror_pulse()
    assert (knot.phase, knot.flip_count) == (HALF_PI, 1)
    assert knot.point.x == ZORPoint(0.0, 1.0).mirror_pulse().x
    assert ZORKnot(ZORPoint(0.0, 1.0)).flip().phase == 0.0


@pytest.mark.parametrize(
    "count, expected", [(0, 0), (3, 0), (4, 2), (7, 2), (8, 4), (-1, 0), (-3, 0), (-4, -2), (-5, -2)]
)
def test_tread_yield_truncates_toward_zero(count, expected):
    assert ZORKnot(ZORPoint(0, 1), count).tread_yield() == expected


def test_flip_count_wraps_at_64_bits():
    top = ZORKnot(ZORPoint(0, 1), 2**63 - 1)
    assert top.mirror_pulse().flip_count == -(2**63)
    assert top.flip().flip_count == -(2**63) + 3


def test_point_reads_are_fresh_objects():
    knot = ZORKnot(ZORPoint(1.0, 2.0))
    first, second = knot.point, knot.point
    assert first is not second and (first.x, first.y) == (second.x, second.y)


@pytest.mark.parametrize(
    "knot, text",
    [
        (ZORKnot(ZORPoint(0.0, 1.0), 3, 1.0), "ZORKnot(n=3, rho=1.000000, theta=1.0000, point=ZORPoint { x: 0.0, y: 1.0 })"),
        (ZORKnot(ZORPoint(1e16, 1.5e-5), -7, -0.0),
         f"ZORKnot(n=-7, rho={abs(zor(1e16, 1.5e-5)):.6f}, theta=-0.0000, point=ZORPoint {{ x: 1e16, y: 1.5e-5 }})"),
        (ZORKnot(ZORPoint(math.nan, -math.inf), 0, math.inf),
         "ZORKnot(n=0, rho=NaN, theta=NaN, point=ZORPoint { x: NaN, y: -inf })"),
    ],
)
def test_repr(knot, text):
    assert repr(knot) == text


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ZORKnot(ZORPoint(1, 2), n=None), TypeError, r"^argument 'n': "),
        (lambda: ZORKnot(ZORPoint(1, 2), 1.5), TypeError, r"^argument 'n': "),
        (lambda: ZORKnot(ZORPoint(1, 2), theta=None), TypeError, r"^argument 'theta': "),
        (lambda: ZORKnot((1, 2)), TypeError, r"^argument 'point': 'tuple' object cannot be converted to 'ZORPoint'$"),
        (lambda: ZORKnot(), TypeError, r"^ZORKnot.__new__\(\) missing 1 required positional argument: 'point'$"),
        (lambda: ZORKnot(ZORPoint(1, 2), 2**63), OverflowError, None),
        (lambda: ZORKnot(ZORPoint(1, 2), 0, 0.0, 1), TypeError,
         r"^ZORKnot.__new__\(\) takes from 1 to 3 positional arguments but 4 were given$"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message) as info:
        call()
    assert type(info.value) is error


def test_immutable_identity_semantics():
    knot = ZORKnot(ZORPoint(1, 2), True)
    assert knot.flip_count == 1
    with pytest.raises(AttributeError):
        knot.phase = 1.0
    assert knot != ZORKnot(ZORPoint(1, 2), 1)
    with pytest.raises(TypeError):
        type("Sub", (ZORKnot,), {})
