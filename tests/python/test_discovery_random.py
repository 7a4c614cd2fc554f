"""Randomised comparison of find_formula with the plain-Python model."""

import math

from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

import discovery_model as m
from zor_core import find_formula

SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-301, 1e-300, -1e-300, 709.78, 709.79, 710.0, 800.0, -800.0, 1e300,
           math.pi, math.e]
NON_FINITE = [math.inf, -math.inf, math.nan]

values = st.one_of(st.floats(-4.0, 4.0, allow_nan=False, allow_infinity=False), st.sampled_from(SPECIAL))
# non-finite samples now and then: leaves pass them through, operators fail on them
rare_values = st.integers(0, 24).flatmap(lambda i: st.sampled_from(NON_FINITE) if i == 0 else values)

# Targets made from the data hit exact fits, ties and the stop test.
TARGET_MAKERS = [
    lambda a, b: a,
    lambda a, b: b,
    lambda a, b: a * a,
    lambda a, b: a + 1.0,
    lambda a, b: m.c_exp(a),
    lambda a, b: m.zor(a, b),
    lambda a, b: a * m.c_exp(a),
    lambda a, b: a - b,
    lambda a, b: m.c_sin(a) * b,
    lambda a, b: math.sqrt(abs(a)),
    lambda a, b: 1.0,
    lambda a, b: 0.0,
]


@st.composite
def problems(draw):
    n_cols = draw(st.integers(1, 2))
    n = draw(st.sampled_from([0, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6]))
    columns = []
    for k in range(n_cols):
        extra = draw(st.sampled_from([0, 0, 0, 1])) if k else 0
        columns.append(draw(st.lists(rare_values, min_size=n + extra, max_size=n + extra)))
    if draw(st.booleans()):
        maker = draw(st.sampled_from(TARGET_MAKERS))
        second = columns[1] if n_cols > 1 else columns[0]
        y = []
        for i in range(n):
            try:
                y.append(maker(columns[0][i], second[i]))
            except (ValueError, OverflowError):
                y.append(0.0)
        noise = draw(st.sampled_from([0.0, 0.0, 1e-12, 1e-3]))
        y = [v + noise for v in y]
        y = y[: draw(st.integers(max(n - 1, 0), n))] + draw(st.lists(values, max_size=1))
    else:
        y = draw(st.lists(rare_values, max_size=7))
    # uniform choices for the settings: the search is only interesting past level 1
    rnd = draw(st.randoms(use_true_random=False))
    max_complexity = rnd.choice([0, 1, 2, 2, 3, 3, 3, 4, 4, 4, 4, 4, 4, 5, 5])
    options = m.Options(
        max_complexity=max_complexity,
        beam_width=rnd.randint(0, 40 if max_complexity < 5 else 16),
        precision_goal=rnd.choice([1e-10] * 8 + [0.0, -1.0, -1.0, -1e-300, 1e-3, 0.5, math.inf]),
        use_trig=rnd.random() < 0.5,
        use_zor=rnd.random() < 0.5,
        complexity_penalty=rnd.choice([0.0, -0.0, 0.001, 0.001, 0.001, 0.1, 1.0, -0.001, -0.25, -0.5, -1.0,
                                       rnd.uniform(-1.0, 1.0)]),
    )
    return columns, y, options


def error_key(error):
    return "NaN" if math.isnan(error) else m.bits(error)


def search_both(problem):
    """Runs find_formula and the model on the same problem; skips problems
    whose outcome the model cannot pin down (NaN scores mixed with numbers)."""
    columns, y, o = problem
    stats = {}
    try:
        best = m.beam_search(columns, y, o, stats)
    except m.Undetermined:
        assume(False)
    r = find_formula(columns, y, o.max_complexity, o.beam_width, o.precision_goal, o.use_trig, o.use_zor,
                     o.complexity_penalty)
    return r, best, stats


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(problems())
def test_find_formula_matches_model(problem):
    r, best, stats = search_both(problem)
    assert (r.formula, error_key(r.error), r.complexity) == (best.formula, error_key(best.score), best.complexity)
    assert repr(r) == m.result_repr(best.formula, best.score, best.complexity)
    assert r.to_latex() == m.to_latex(best.formula)
    assert r.to_python() == m.to_python(best.formula)
    assert r.params == []
    event(f"levels run: {stats['levels']}")
    event(f"candidates admitted: {'<10' if stats['admitted'] < 10 else '<100' if stats['admitted'] < 100 else '100+'}")
    event(f"result complexity: {best.complexity}")
    event(f"max_complexity: {problem[2].max_complexity}")


@st.composite
def wider_problems(draw):
    """Smooth data and wider beams: deeper searches whose best is rarely a seed."""
    rnd = draw(st.randoms(use_true_random=False))
    n_cols = rnd.choice([1, 1, 2])
    n = rnd.randint(2, 8)
    columns = [[round(rnd.uniform(0.1, 3.0), rnd.choice([1, 2, 17])) for _ in range(n)] for _ in range(n_cols)]
    maker = draw(st.sampled_from(TARGET_MAKERS[2:10]))
    second = columns[-1]
    y = [maker(a, b) + rnd.choice([0.0, 0.0, 1e-9, 0.3 * math.sin(7 * a)]) for a, b in zip(columns[0], second)]
    options = m.Options(
        max_complexity=rnd.choice([4, 5, 5, 6]),
        beam_width=rnd.randint(4, 120),
        precision_goal=rnd.choice([1e-10, 1e-10, 0.0, -1.0]),
        use_trig=rnd.random() < 0.7,
        use_zor=rnd.random() < 0.7,
        complexity_penalty=rnd.choice([0.001, 0.001, 0.0, 0.05, -0.05]),
    )
    return columns, y, options


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(wider_problems())
def test_deeper_searches_match_model(problem):
    r, best, stats = search_both(problem)
    assert (repr(r), error_key(r.error)) == (m.result_repr(best.formula, best.score, best.complexity),
                                             error_key(best.score))
    assert r.to_latex() == m.to_latex(best.formula) and r.to_python() == m.to_python(best.formula)
    event(f"levels run: {stats['levels']}")
    event(f"result complexity: {best.complexity}")
