"""Few rows: a formula that bends to the noise of one row predicts that row, left out, no better than the law."""

import dataclasses

import numpy as np
import pytest

import zor
from zor import _parameter_fits, _parameter_snapping, _parameters
from zor._domain import box_of
from zor._fit import Judge
from zor._leave_one_out import LEAVE_ONE_OUT_ROWS, best_predictor, leave_one_out_errors
from zor._results import information_criterion

A = ("var", 0)
AXES = np.array([0.387, 0.723, 1.0, 1.524, 5.203, 9.537, 19.19, 30.07])  # the planets' semi-major axes (AU)


def planets(rows=AXES):
    speeds = np.array([float(f"{value:.4g}") for value in rows**-0.5])  # four digits, as published
    law = Judge([rows], speeds, ("a",), 0.001, box_of([rows])).judge_tokens((A, ("op", "Sqrt"), ("op", "Recip")))
    problem = _parameter_fits.problem_for([rows], speeds, ("a",), box_of([rows]), 0.001,
                                      _parameters.operator_names(True, True))
    # c·√(sin(c0/a)): the law as c0 → 0, bent at the smallest axis to Mercury's rounding
    tokens = (("param", 0, 0.0238), A, ("op", "Div"), ("op", "Sin"), ("op", "Sqrt"))
    fitted = _parameter_fits.fit(tokens, [rows], speeds, np.array([0.0238, 6.48, 0.0]), np.array([True, True, False]))
    bent = _parameter_snapping.formula_from_fit(problem, fitted, {}, fitted)
    return speeds, law, bent


def test_a_bend_fitted_to_one_row_gives_way_to_the_law():
    speeds, law, bent = planets()
    n, rms = len(speeds), float(np.sqrt(np.mean(speeds**2)))
    # the information criterion prefers the bend on these eight rows
    assert information_criterion(bent, n, rms) < information_criterion(law, n, rms)
    assert best_predictor(bent, [law, bent], [AXES], speeds, False) is law


@pytest.mark.parametrize("front", ["bent alone", "more rows"])
def test_the_choice_stands_without_a_simpler_entry_or_on_more_rows(front):
    rows = AXES if front == "bent alone" else np.geomspace(0.387, 30.07, LEAVE_ONE_OUT_ROWS + 1)
    speeds, law, bent = planets(rows)
    assert best_predictor(bent, [bent] if front == "bent alone" else [law, bent], [rows], speeds, False) is bent


def test_a_formula_without_an_offset_is_judged_without_one():
    # 3·x fitted with no offset to 3·x + 5: its left-out rows miss by about 5, as it would predict them
    x = np.linspace(1.0, 3.0, 12)
    y = 3.0 * x + 5.0
    with_offset = Judge([x], y, ("x",), 0.001, box_of([x])).judge_tokens((A,))
    without = dataclasses.replace(with_offset, scale=float(x @ y / (x @ x)), offset=0.0, exact_scale=None,
                                  exact_offset=None)
    assert np.mean(leave_one_out_errors(with_offset, [x], y, False)) < 1e-20
    assert np.mean(leave_one_out_errors(without, [x], y, False)) > 1.0


def noisy_law(law, x, noise, seed):
    return x, law(x) * (1.0 + noise * np.random.default_rng(seed).standard_normal(len(x)))


@pytest.mark.parametrize("x, y, exponent", [
    # 120·e^(0.45·t), 5 % noise on 15 rows: a·√(e^t) + b, as many constants and a token less, predicts the
    # left-out rows within a standard error of the law, which the rule no longer takes it for
    (*noisy_law(lambda t: 120.0 * np.exp(0.45 * t), np.linspace(0.0, 7.0, 15), 0.05, 9), 0.45),
    # 3·M^0.75, 10 % noise on 20 rows over three decades: the ladder's exact M/√√M, whose least-squares
    # offset is -0.06 once refitted for the relative error, is offered without it
    (*noisy_law(lambda m: 3.0 * m**0.75, np.geomspace(0.1, 100.0, 20), 0.10, 18), 0.75),
])
def test_short_laws_with_relative_noise_come_back_without_an_offset(x, y, exponent):
    best = zor.discover(x.reshape(-1, 1), y, progress=False).best
    assert best.constants.used_offset == 0.0
    dense = np.geomspace(x[x > 0].min(), x.max(), 200)
    growth = np.asarray(best.predict(dense)) / np.asarray(best.predict(dense[-1:]))
    law = (np.exp(exponent * (dense - dense[-1])) if exponent == 0.45 else (dense / dense[-1]) ** exponent)
    assert np.max(np.abs(growth / law - 1.0)) < 0.1
