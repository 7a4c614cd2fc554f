"""Formulas defined where the data live: the box check of the front, and predict outside the data."""

import math
import warnings

import numpy as np
import pytest

import zor
from zor._domain import defined_over, reach

X, Y = ("var", 0), ("var", 1)


def const(value):
    return ("const", value)


def op(name):
    return ("op", name)


@pytest.mark.parametrize("tokens, box, defined", [
    # a pole between any two points of the sample: the denominator changes sign
    ([X, const(2.5), op("Sub"), op("Recip")], [(0.5, 4.5)], False),
    ([X, X, Y, op("Sub"), op("Div")], [(1.0, 2.0), (1.5, 3.0)], False),
    ([X, const(2.5), op("Sub"), op("Recip")], [(3.0, 4.5)], True),
    # undefined at a corner, or on a region inside
    ([X, op("Ln")], [(0.0, 4.5)], False),
    ([X, const(2.0), op("Sub"), op("Sqrt")], [(1.0, 4.0)], False),
    ([X, op("Ln")], [(1e-3, 4.5)], True),
    # a zor whose guards would take over: its logarithm's argument reaches 0, or its exponent the fold
    ([X, Y, op("Zor")], [(0.0, 1.0), (-1.0, 1.0)], False),
    ([X, Y, op("Zor")], [(0.0, 800.0), (1.0, 2.0)], False),
    ([X, Y, op("Zor")], [(0.0, 700.0), (1.0, 2.0)], True),
    ([X, op("Sin"), Y, op("Mul")] , [(-1e6, 1e6), (-1.0, 1.0)], True),
])
def test_the_box_check(tokens, box, defined):
    assert defined_over(tokens, tuple(box)) is defined


@pytest.mark.parametrize("box, rows, widened", [
    # a share 1/(rows + 1) of the range on each side
    ([(2.0, 4.0)], 9, [(1.8, 4.2)]),
    ([(-3.0, 7.0), (5.0, 5.0)], 4, [(-5.0, 9.0), (5.0, 5.0)]),
    # not across 0 for a variable of one sign: years from 1 reach year 0, never -1
    ([(1.0, 308.0)], 246, [(0.0, 308.0 + 307.0 / 247)]),
    ([(-9.0, -0.5)], 16, [(-9.5, 0.0)]),
])
def test_the_reach_beyond_the_rows(box, rows, widened):
    assert np.allclose(reach(tuple(box), rows), widened, rtol=1e-15, atol=0.0)


@pytest.mark.parametrize("x, law, noise, kept", [
    # a logarithm's 0 where the next row may fall: with noise, no formula on the front has it
    (np.linspace(0.05, 2.0, 30), np.log, 0.01, False),
    # beyond that gap, or fitted to the precision goal (the law, wherever it is defined), it stays
    (np.linspace(1.0, 3.0, 30), lambda x: 1.0 / (x - 0.97), 0.0, True),
    (np.linspace(1.0, 3.0, 30), lambda x: 1.0 / (x - 0.5), 0.01, True),
    (np.linspace(0.5, 2.0, 30), np.log, 0.01, True),
])
def test_approximations_stay_defined_where_the_next_row_may_fall(x, law, noise, kept):
    y = law(x) + noise * np.random.default_rng(5).normal(size=len(x)) * np.std(law(x))
    result = zor.discover(x, y, max_complexity=9, beam_width=5000, progress=False)
    if kept:  # the law itself, within its noise, on points between the rows
        between = (x[1:] + x[:-1]) / 2
        assert np.max(np.abs(result.best.predict(between) - law(between))) < 3 * noise * np.std(law(x)) + 1e-9
    else:
        low, high = reach(((x[0], x[-1]),), len(x))[0]
        edges = np.concatenate([np.linspace(low, x[0], 200), np.linspace(x[-1], high, 200)])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            assert all(np.all(np.isfinite(formula.predict(edges))) for formula in result.front)


def test_the_front_holds_no_formula_undefined_inside_the_data():
    # sparse noisy data on boxes where ln(c), c - 1 and their quotients reach 0: approximations built on
    # them fit the rows but not the box
    rng = np.random.default_rng(3)
    X = rng.uniform([1.0, 1.0, 1.0], [5.0, 5.0, 5.0], size=(60, 3))
    y = X[:, 0] / (X[:, 1] * np.sqrt(X[:, 2])) + rng.normal(0, 0.05, 60)
    result = zor.discover(X, y, variable_names=["q", "r", "c"], max_complexity=9, beam_width=5000, progress=False)
    inside = np.random.default_rng(4).uniform([1.0, 1.0, 1.0], [5.0, 5.0, 5.0], size=(20000, 3))
    inside[:8] = [[a, b, c] for a in (1.0, 5.0) for b in (1.0, 5.0) for c in (1.0, 5.0)]
    for formula in result.front:
        assert formula.domain == tuple((float(X[:, j].min()), float(X[:, j].max())) for j in range(3))
        assert np.all(np.isfinite(formula.predict(inside[(inside >= X.min(0)).all(1) & (inside <= X.max(0)).all(1)])))


def test_predict_names_the_variable_outside_the_range_and_warns_once():
    days = np.arange(4.0, 30.0)
    result = zor.discover(days, 3.0 * np.log(days) + 1.0, variable_names=["Days"], progress=False)
    assert result.best.formula == "((3 * ln(Days)) + 1)" and result.best.domain == ((4.0, 29.0),)
    with pytest.warns(RuntimeWarning) as caught:
        predicted = result.predict(np.array([[0.0], [5.0], [-1.0]]))
    assert len(caught) == 1 and "Days = 0 is outside the range [4, 29]" in str(caught[0].message)
    assert math.isnan(predicted[0]) and math.isnan(predicted[2]) and predicted[1] == 3.0 * math.log(5.0) + 1.0
