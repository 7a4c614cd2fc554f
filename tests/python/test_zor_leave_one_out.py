"""Few rows: a formula that bends to the noise of one row predicts that row, left out, no better than the law."""

import numpy as np
import pytest

from zor import _parameter_fits, _parameter_snapping, _parameters
from zor._domain import box_of
from zor._fit import Judge
from zor._leave_one_out import LEAVE_ONE_OUT_ROWS, best_predictor
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
