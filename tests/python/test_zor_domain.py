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
    # a logarithm's argument, or a denominator, that only touches 0 between the points: the square or the
    # absolute value of something that crosses it
    ([const(0.000617), X, op("Sub"), op("Square"), op("Ln")], [(0.0, 2.0)], False),
    ([X, const(0.3), op("Sub"), op("Abs"), op("Recip")], [(0.0, 2.0)], False),
    ([X, const(0.3), op("Sub"), op("Square"), op("Ln")], [(0.5, 2.0)], True),
    ([X, const(0.3), op("Sub"), op("Ln")], [(0.0, 2.0)], False),
])
def test_the_box_check(tokens, box, defined):
    assert defined_over(tokens, tuple(box)) is defined


@pytest.mark.parametrize("columns, widened", [
    # the mean of the two spacings next to each extreme, on each side
    ([[2.0, 2.5, 3.0, 3.2, 4.0]], [(1.5, 4.5)]),
    ([[-3.0, 7.0, 1.0, 5.0], [5.0, 5.0, 5.0, 5.0]], [(-7.0, 10.0), (5.0, 5.0)]),
    ([[1.0, 1.0, 2.0]], [(0.0, 3.0)]),  # distinct values: a repeated row leaves no gap
    # masses spread evenly over three decades: a fraction of the lowest, not 0
    ([np.geomspace(0.1, 100.0, 20)], [(0.1 - (0.1 * 1000 ** (2 / 19) - 0.1) / 2, 100 + (100 - 100 / 1000 ** (2 / 19)) / 2)]),
    # not across 0 for a variable of one sign: years from 1 reach year 0, never -1
    ([np.arange(1.0, 309.0)], [(0.0, 309.0)]),
    ([np.linspace(-9.0, -0.5, 18)], [(-9.5, 0.0)]),
])
def test_the_reach_beyond_the_rows(columns, widened):
    assert np.allclose(reach([np.asarray(column, dtype=float) for column in columns]), widened, rtol=1e-12, atol=0.0)


@pytest.mark.parametrize("x, law, noise", [
    # a pole or a logarithm's 0 just past the rows, where the next row may fall: the law fits clearly
    # better than anything defined there, and stays
    (np.linspace(0.05, 2.0, 30), np.log, 0.01),
    (np.linspace(1.0, 3.0, 30), lambda x: 1.0 / (x - 0.97), 0.0),
    (np.linspace(1.0, 3.0, 30), lambda x: 1.0 / (x - 0.5), 0.01),
    (np.linspace(0.5, 2.0, 30), np.log, 0.01),
])
def test_a_law_undefined_just_past_the_rows_is_kept(x, law, noise):
    y = law(x) + noise * np.random.default_rng(5).normal(size=len(x)) * np.std(law(x))
    result = zor.discover(x, y, max_complexity=9, beam_width=5000, progress=False)
    between = (x[1:] + x[:-1]) / 2  # the law itself, within its noise, on points between the rows
    assert np.max(np.abs(result.best.predict(between) - law(between))) < 3 * noise * np.std(law(x)) + 1e-9


def _significant(digits):
    return lambda values: np.array([float(f"{value:.{digits}g}") for value in values])


def _decimals(digits):
    return lambda values: np.round(values, digits)


@pytest.mark.parametrize("x, law, rounded", [
    # the planets' speeds against their semi-major axes (AU), four significant digits
    (np.array([0.387, 0.723, 1.0, 1.524, 5.203, 9.537, 19.19, 30.07]), lambda a: a**-0.5, _significant(4)),
    (np.linspace(0.2, 3.0, 12), lambda r: 1.0 / r**2, _significant(3)),
    (np.linspace(0.05, 1.0, 10), lambda r: 8.99 / r**2, _significant(3)),
    (np.geomspace(0.1, 10.0, 20), lambda x: 3.0 / np.sqrt(x), _significant(3)),
    (np.linspace(0.05, 2.0, 15), np.log, _decimals(3)),
    (np.linspace(0.02, 1.0, 8), lambda d: 2.0 * np.log(d) + 1.0, _decimals(2)),
])
def test_small_data_of_a_law_singular_at_0_come_back_as_the_law(x, law, rounded):
    # the rows start within a row's gap of the singularity, so the next row may fall on it; the law is
    # what the rows say all the same
    y = rounded(law(x))
    result = zor.discover(x, y, max_complexity=8, beam_width=2000, progress=False)
    dense = np.linspace(x[0], x[-1], 500)
    assert np.max(np.abs(result.best.predict(dense) - law(dense))) < 10 * np.max(np.abs(y - law(x)))


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
