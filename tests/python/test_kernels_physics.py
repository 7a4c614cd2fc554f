"""boost_n, christoffel_batch_n, rotate_phase_n, schrodinger_step_n and
simulate_pulses_n against the reference model."""

import math
import random
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zor_core
from kernel_model import (
    INF,
    LN_OF_FLOOR,
    NAN,
    SPECIAL,
    assert_same,
    boost_n,
    christoffel,
    christoffel_n,
    from_bits,
    rotate_phase_n,
    schrodinger_step_n,
    simulate_pulses_n,
    zor,
)

any_float = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=0, max_value=2**64 - 1).map(from_bits),
    st.sampled_from(SPECIAL),
)
pairs = st.tuples(any_float, any_float)
pair_lists = st.lists(pairs, max_size=25)
float_lists = st.lists(any_float, max_size=25)
small_index = st.integers(min_value=0, max_value=3)


def random_points(seed, n):
    rng = random.Random(seed)
    return [(rng.uniform(-5.0, 5.0), rng.choice([rng.uniform(-10.0, 10.0), rng.choice(SPECIAL)])) for _ in range(n)]


# --- boost_n ----------------------------------------------------------------


@settings(max_examples=150, deadline=None)
@given(points=pair_lists, phis=float_lists, c=any_float)
def test_boost_matches_model(points, phis, c):
    assert_same(zor_core.boost_n(points, phis, c), boost_n(points, phis, c))


@pytest.mark.parametrize("n", [1, 4095, 4097, 12000])
def test_boost_batches_match_model(n):
    rng = random.Random(n)
    points = random_points(n, n)
    phis = [rng.uniform(-3.0, 3.0) for _ in range(n)]
    assert_same(zor_core.boost_n(points, phis, 1.5), boost_n(points, phis, 1.5))


@pytest.mark.parametrize(
    "points, phis, c, expected",
    [
        ([(0.0, 1.0)], [0.0], 1.0, [(0.0, 1.0)]),
        # T = 1, X = ln(1e-300); no boost: y' = exp(ln 1e-300)
        ([(0.0, 0.0)], [0.0], 1.0, [(0.0, math.exp(LN_OF_FLOOR))]),
        # T' = cosh 1 - 5 sinh 1 < 0: x' takes the floor's logarithm
        ([(0.0, math.exp(5.0))], [1.0], 1.0, [(LN_OF_FLOOR, None)]),
        # X' = -(c T) sinh(phi) far below -709: clamped
        ([(0.0, 1.0)], [1.0], 1e6, [(None, math.exp(-709.0))]),
        # X' far above 709: clamped
        ([(0.0, 1.0)], [-1.0], 1e6, [(None, math.exp(709.0))]),
    ],
)
def test_boost_documented_cases(points, phis, c, expected):
    got = zor_core.boost_n(points, phis, c)
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        for gv, ev in zip(g, e):
            if ev is not None:
                assert_same(gv, ev)
    assert_same(got, boost_n(points, phis, c))


def test_boost_by_one_rapidity():
    ((x, y),) = zor_core.boost_n([(0.0, 1.0)], [1.0], 1.0)
    assert math.isclose(x, 0.4337808304830271, rel_tol=1e-14)
    assert math.isclose(y, 0.3087568535221258, rel_tol=1e-14)


def test_boost_of_zero_y_stays_near_the_floor():
    ((x, y),) = zor_core.boost_n([(0.0, 0.0)], [0.0], 1.0)
    assert x == 0.0
    assert math.isclose(y, 1e-300, rel_tol=1e-12)


@pytest.mark.parametrize("points, phis, n", [([(0.0, 1.0), (1.0, 2.0)], [0.5], 1), ([(0.0, 1.0)], [0.5, 1.0, 2.0], 1), ([], [1.0], 0)])
def test_boost_length_is_the_shorter_input(points, phis, n):
    got = zor_core.boost_n(points, phis, 1.0)
    assert len(got) == n
    assert_same(got, boost_n(points, phis, 1.0))


@pytest.mark.parametrize("c", [0.0, -0.0, INF, NAN, -1.0])
def test_boost_unguarded_speed_follows_ieee(c):
    points = [(0.0, 1.0), (1.0, 2.0), (0.0, 0.5), (-1.0, -3.0)]
    phis = [0.0, 0.5, -0.5, 1.0]
    assert_same(zor_core.boost_n(points, phis, c), boost_n(points, phis, c))


def test_boost_returns_tuples_of_floats():
    (item,) = zor_core.boost_n([(0, 1)], [0], 1)
    assert type(item) is tuple and all(type(v) is float for v in item)


# --- christoffel_batch_n ------------------------------------------------------


@settings(max_examples=150, deadline=None)
@given(points=pair_lists, lam=small_index, mu=small_index, nu=small_index, rs=any_float)
def test_christoffel_matches_model(points, lam, mu, nu, rs):
    assert_same(zor_core.christoffel_batch_n(points, lam, mu, nu, rs), christoffel_n(points, lam, mu, nu, rs))


@pytest.mark.parametrize(
    "points, lam, mu, nu, rs, expected",
    [
        ([(0.0, 9.9)], 0, 0, 1, 0.5, [0.5]),
        ([(0.0, 9.9)], 0, 1, 0, 0.5, [0.5]),
        ([(0.0, 9.9)], 0, 0, 0, 0.5, [0.0]),
        ([(0.0, 0.0)], 1, 1, 1, 0.5, [-0.5]),
        ([(0.0, 0.0)], 1, 0, 0, 0.5, [0.125]),
        ([(0.0, 0.0)], 2, 2, 2, 1.0, [0.0]),
        ([(0.0, 0.0)], 1, 2, 2, 1.0, [0.0]),
        ([(0.0, 0.0)], 2**64 - 1, 0, 1, 1.0, [0.0]),
        ([], 0, 0, 1, 1.0, []),
    ],
)
def test_christoffel_documented_cases(points, lam, mu, nu, rs, expected):
    assert_same(zor_core.christoffel_batch_n(points, lam, mu, nu, rs), expected)


def test_christoffel_inside_the_horizon_is_lifted():
    (value,) = zor_core.christoffel_batch_n([(0.0, 0.0)], 0, 0, 1, 2.0)
    r = 2.0 + 1e-9
    assert value == 2.0 / ((r - 2.0) * (r + r))
    assert math.isclose(value, 4.99999958e8, rel_tol=1e-7)


@pytest.mark.parametrize("lam, mu, nu", [(0, 0, 1), (0, 1, 0), (1, 0, 0), (1, 1, 1), (0, 0, 0), (3, 3, 3)])
@pytest.mark.parametrize("rs", [3e7, 16777216.0, 1e300])
def test_christoffel_large_radius_lifts_to_rs_itself(lam, mu, nu, rs):
    assert zor_core.christoffel_batch_n([(0.0, 0.0), (1.0, 5.0), (NAN, 0.0)], lam, mu, nu, rs) == [0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "x, rs",
    [(NAN, 0.5), (0.0, NAN), (NAN, NAN), (-INF, -1.0), (-INF, -2e-9), (INF, 1.0), (1000.0, 0.5), (-800.0, 0.0)],
)
@pytest.mark.parametrize("lam, mu, nu", [(0, 0, 1), (1, 0, 0), (1, 1, 1)])
def test_christoffel_nan_and_degenerate_radii(x, rs, lam, mu, nu):
    assert_same(zor_core.christoffel_batch_n([(x, 0.0)], lam, mu, nu, rs), [christoffel(x, lam, mu, nu, rs)])


def test_christoffel_second_member_is_ignored():
    xs = [random.Random(3).uniform(-3, 3) for _ in range(50)]
    a = zor_core.christoffel_batch_n([(x, 1.0) for x in xs], 0, 1, 0, 0.25)
    b = zor_core.christoffel_batch_n([(x, NAN) for x in xs], 0, 1, 0, 0.25)
    assert_same(a, b)


@pytest.mark.parametrize("n", [4095, 4097, 10000])
def test_christoffel_batches_match_model(n):
    points = random_points(n + 7, n)
    assert_same(zor_core.christoffel_batch_n(points, 1, 0, 0, 0.75), christoffel_n(points, 1, 0, 0, 0.75))


# --- rotate_phase_n and schrodinger_step_n ------------------------------------


@settings(max_examples=150, deadline=None)
@given(pairs=pair_lists, angles=float_lists)
def test_rotate_phase_matches_model(pairs, angles):
    assert_same(zor_core.rotate_phase_n(pairs, angles), rotate_phase_n(pairs, angles))


@settings(max_examples=150, deadline=None)
@given(psi=pair_lists, v=float_lists, dt=any_float, hbar=any_float)
def test_schrodinger_step_matches_model(psi, v, dt, hbar):
    assert_same(zor_core.schrodinger_step_n(psi, v, dt, hbar), schrodinger_step_n(psi, v, dt, hbar))


def test_rotate_by_a_right_angle():
    ((re, im),) = zor_core.rotate_phase_n([(1.0, 0.0)], [math.pi / 2])
    assert re == math.cos(math.pi / 2) and re != 0.0
    assert im == 1.0


@pytest.mark.parametrize(
    "pairs, angles, expected",
    [
        ([(1.0, 2.0), (3.0, 4.0)], [0.0], [(1.0, 2.0)]),
        ([(1.0, 2.0)], [0.0, 1.0], [(1.0, 2.0)]),
        ([], [0.0], []),
        ([(1.0, 2.0)], [], []),
    ],
)
def test_rotate_phase_length_is_the_shorter_input(pairs, angles, expected):
    assert_same(zor_core.rotate_phase_n(pairs, angles), expected)


@pytest.mark.parametrize(
    "psi, v, dt, hbar",
    [
        ([(1.0, 0.0)], [0.0], 0.1, 1.0),
        ([(1.0, 0.0)], [1.0], math.pi, 1.0),
        ([(1.0, 0.0), (0.5, 0.5)], [1.0], 0.1, 0.0),  # hbar = 0: NaN by IEEE rules
        ([(1.0, 2.0)], [1.0, 2.0, 3.0], 0.1, 1.0),
    ],
)
def test_schrodinger_step_documented_cases(psi, v, dt, hbar):
    assert_same(zor_core.schrodinger_step_n(psi, v, dt, hbar), schrodinger_step_n(psi, v, dt, hbar))


def test_schrodinger_zero_potential_is_identity():
    assert zor_core.schrodinger_step_n([(1.0, 0.0)], [0.0], 0.1, 1.0) == [(1.0, 0.0)]


def test_schrodinger_half_turn():
    ((re, im),) = zor_core.schrodinger_step_n([(1.0, 0.0)], [1.0], math.pi, 1.0)
    assert re == -1.0 and abs(im) < 1e-15


def test_schrodinger_with_zero_hbar_gives_nan():
    ((re, im),) = zor_core.schrodinger_step_n([(1.0, 0.0)], [1.0], 0.1, 0.0)
    assert math.isnan(re) and math.isnan(im)


@pytest.mark.parametrize("n", [5000, 20000])
def test_loop_kernels_on_long_inputs(n):
    rng = random.Random(n)
    pairs = random_points(n, n)
    angles = [rng.uniform(-10.0, 10.0) for _ in range(n)]
    assert_same(zor_core.rotate_phase_n(pairs, angles), rotate_phase_n(pairs, angles))
    assert_same(zor_core.schrodinger_step_n(pairs, angles, 0.3, 1.1), schrodinger_step_n(pairs, angles, 0.3, 1.1))


# --- simulate_pulses_n ----------------------------------------------------------


@settings(max_examples=150, deadline=None)
@given(x0=any_float, y0=any_float, n=st.integers(min_value=0, max_value=30))
def test_simulate_pulses_matches_model(x0, y0, n):
    got = zor_core.simulate_pulses_n(x0, y0, n)
    assert len(got) == n + 1
    assert_same(got, simulate_pulses_n(x0, y0, n))


E = math.e


@pytest.mark.parametrize(
    "x0, y0, n, expected",
    [
        (0.0, 1.0, 0, [(0.0, 1.0, 1.0)]),
        (0.0, 1.0, 1, [(0.0, 1.0, 1.0), (1.0, 1.0, E)]),
        (0.0, -2.0, 1, [(0.0, -2.0, 1.0 - math.log(2.0)), (2.0, 1.0 - math.log(2.0), zor(2.0, 1.0 - math.log(2.0)))]),
        (0.0, 0.0, 1, [(0.0, 0.0, 1.0 - LN_OF_FLOOR), (1e-300, 1.0 - LN_OF_FLOOR, zor(1e-300, 1.0 - LN_OF_FLOOR))]),
    ],
)
def test_simulate_pulses_documented_cases(x0, y0, n, expected):
    assert_same(zor_core.simulate_pulses_n(x0, y0, n), expected)


def test_simulate_pulses_zero_start_values():
    steps = zor_core.simulate_pulses_n(0.0, 0.0, 1)
    assert steps[1][:2] == (1e-300, 691.7755278982137)


def test_simulate_pulses_long_run():
    assert_same(zor_core.simulate_pulses_n(0.3, -0.7, 5000), simulate_pulses_n(0.3, -0.7, 5000))


@pytest.mark.clock
@pytest.mark.parametrize("n_pulses", [2**64 - 1, 2**63, 10**15, 2**64 - 2])
def test_simulate_pulses_impossible_length_raises_memory_error_at_once(n_pulses):
    start = time.perf_counter()
    with pytest.raises(MemoryError):
        zor_core.simulate_pulses_n(0.0, 1.0, n_pulses)
    assert time.perf_counter() - start < 1.0
    # The module keeps working afterwards.
    assert zor_core.simulate_pulses_n(0.0, 1.0, 1)[1] == (1.0, 1.0, E)


@pytest.mark.parametrize("n_pulses, exc", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("3", TypeError)])
def test_simulate_pulses_count_must_be_an_unsigned_integer(n_pulses, exc):
    with pytest.raises(exc):
        zor_core.simulate_pulses_n(0.0, 1.0, n_pulses)


def test_simulate_pulses_accepts_index_objects():
    class Two:
        def __index__(self):
            return 2

    assert_same(zor_core.simulate_pulses_n(0.0, 1.0, Two()), simulate_pulses_n(0.0, 1.0, 2))
    assert_same(zor_core.simulate_pulses_n(0.0, 1.0, True), simulate_pulses_n(0.0, 1.0, 1))
