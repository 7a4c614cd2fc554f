"""Noise that grows with the value: telling it from the same noise on every row, fitting constants for it,
and discover choosing its formula for it."""

from __future__ import annotations

import math

import numpy as np
import pytest
from scipy.optimize import least_squares

import zor
from zor import _derivatives, _native, _noise, _parameter_fits
from zor._domain import box_of

RNG = np.random.default_rng(7)
X = RNG.uniform(1.0, 100.0, 200)
LAW = 3.0 * X
EPS = RNG.standard_normal(200)


@pytest.mark.parametrize(("target", "predicted", "relative"), [
    (LAW * (1.0 + 0.02 * EPS), LAW, True),
    (LAW + 0.02 * math.sqrt(float(np.mean(LAW**2))) * EPS, LAW, False),
    (-LAW * (1.0 + 0.02 * EPS), -LAW, True),  # of one sign, negative
    (LAW * (1.0 + 0.02 * EPS) - 150.0, LAW - 150.0, False),  # of both signs
    ((LAW * (1.0 + 0.02 * EPS))[:9], LAW[:9], False),  # too few rows to tell
], ids=["relative", "same on every row", "relative below zero", "both signs", "9 rows"])
def test_relative_noise_is_told_from_the_same_noise_on_every_row(target, predicted, relative):
    assert _noise.is_relative(predicted, target) is relative


T = np.linspace(0.0, 10.0, 120)
SHAPE = _derivatives.number_parameters([("var", 0), ("param", 0), ("op", "Mul"), ("op", "Exp")])
NOISE = np.exp(0.03 * np.random.default_rng(3).standard_normal(len(T)))


@pytest.mark.parametrize(("rate", "scale", "offset"), [
    (-0.4, 3.0, 2.0),  # a·(f + c) > 0
    (-0.4, -3.0, 5.0),  # a < 0: ln(−(f + c))
    (-0.4, -3.0, -2.0),  # targets below zero
], ids=["positive scale", "negative scale", "negative targets"])
def test_a_fit_for_relative_noise_is_the_least_squares_fit_of_the_log_ratio(rate, scale, offset):
    y = (scale * np.exp(rate * T) + offset) * NOISE
    problem = _parameter_fits.problem_for([T], y, ("t",), box_of([T]), 0.001, ["Exp", "Mul"], relative=True)
    start = np.array([0.8 * rate, 1.1 * scale, 1.1 * offset])  # inside the targets' sign on every row
    fitted = _parameter_fits.log_fits(problem, [(SHAPE, start, np.ones(3, dtype=bool))])[0]
    assert fitted is not None

    def log_ratio(p):
        return np.log((p[1] * np.exp(p[0] * T) + p[2]) / y)

    reference = least_squares(log_ratio, start, method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15)
    np.testing.assert_allclose(fitted.full, reference.x, rtol=1e-6)
    assert fitted.sse == pytest.approx(float(reference.fun @ reference.fun), rel=1e-9)
    # The Jacobian given for the standard errors is that of ln(m / y) in the formula's own constants.
    np.testing.assert_allclose(fitted.jacobian, reference.jac, rtol=1e-5, atol=1e-8)


@pytest.mark.parametrize("relative", [True, False], ids=["relative", "same on every row"])
def test_discover_chooses_and_fits_for_the_noise_it_finds(relative):
    x = np.linspace(1.0, 30.0, 200)
    rng = np.random.default_rng(11)
    law = 2.5 * x * x
    y = law * np.exp(0.1 * rng.standard_normal(200)) if relative else (
        law + 0.1 * math.sqrt(float(np.mean(law**2))) * rng.standard_normal(200))
    result = zor.discover(x, y, max_complexity=4, beam_width=200, max_parameters=0, max_terms=1, progress=False)
    assert result.noise == ("relative" if relative else "same")
    assert ("noise='relative'" in repr(result)) is relative
    best, used = result.best, result.best.constants
    f = np.asarray(_native.evaluate(list(best.tokens), [x]), dtype=np.float64)
    # An offset of 0 that is not exact is no offset at all (a formula fitted without one).
    free = [used.exact_scale is None, used.exact_offset is None and used.used_offset != 0.0]
    assert any(free)

    def residual(p):
        constants = iter(p)
        model = (next(constants) if free[0] else used.used_scale) * f + (
            next(constants) if free[1] else used.used_offset)
        return np.log(model / y) if relative else model - y

    found = np.array([used.used_scale, used.used_offset])[free]
    reference = least_squares(residual, found * 1.01, method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15)
    # The constants are the optimum of the measure the noise asks for: no fit of it does better.
    assert float(residual(found) @ residual(found)) <= float(reference.fun @ reference.fun) * (1.0 + 1e-9)
    np.testing.assert_allclose(found, reference.x, rtol=1e-4)


def test_a_target_of_both_signs_outside_the_searched_rows_keeps_the_usual_noise_model():
    # The search sees a subsample of rows, all above zero; one row it does not see is below zero, and the
    # formulas are fitted on every row: the relative model cannot hold there.
    from zor._data import subsample_rows

    x = np.linspace(1.0, 30.0, 300)
    y = 2.5 * x * x * np.exp(0.1 * np.random.default_rng(11).standard_normal(300))
    searched = subsample_rows(300, 200)
    unseen = np.setdiff1d(np.arange(300), searched)[0]
    y[unseen] = -1.0
    result = zor.discover(x, y, max_complexity=4, beam_width=200, max_parameters=0, max_terms=1, max_rows=200,
                          progress=False)
    assert result.noise == "same" and result.best is not None



def _weighed(complexity, predicted, y):
    """(complexity, mean squared error, mean squared log ratio with the scale refitted on the log ratios)."""
    ratios = np.log(predicted / y)
    return complexity, float(np.mean((predicted - y) ** 2)), float(np.mean((ratios - ratios.mean()) ** 2))


GROWTH_T = np.linspace(0.0, 7.0, 15)
GROWTH = 120.0 * np.exp(0.45 * GROWTH_T)
GROWTH_EPS = np.random.default_rng(0).standard_normal(len(GROWTH_T))


@pytest.mark.parametrize(("y", "relative"), [
    (GROWTH * (1.0 + 0.05 * GROWTH_EPS), True),
    (GROWTH + 0.05 * math.sqrt(float(np.mean(GROWTH**2))) * GROWTH_EPS, False),
], ids=["relative", "same on every row"])
def test_each_formula_is_weighed_under_both_noise_models(y, relative):
    # The formula the usual model prefers bends to the largest values and misses the smallest ones by far
    # more than the noise: alone it speaks for the same noise on every row, whatever the noise. The law,
    # fitted on the log ratios, tells the noise apart (on 15 rows).
    approximant = 78.86 * np.sqrt(np.exp(GROWTH_T)) + 95.7
    assert not _noise.is_relative(approximant, y)
    law_fit = np.exp(np.polyval(np.polyfit(GROWTH_T, np.log(y), 1), GROWTH_T))
    assert _noise.prefers_relative([_weighed(5, approximant, y), _weighed(6, law_fit, y)], y) is relative
    assert not _noise.prefers_relative([_weighed(6, law_fit[:9], y[:9])], y[:9])  # too few rows to tell


@pytest.mark.parametrize("seed", [0, 1])
def test_a_decay_with_the_same_noise_on_every_row_keeps_its_usual_model(seed):
    t = np.linspace(0.0, 10.0, 25)
    y = 2.0 + 3.0 * np.exp(-t / 3.3) + 0.01 * np.random.default_rng(seed).standard_normal(len(t))
    result = zor.discover(t.reshape(-1, 1), y, progress=False)
    assert result.noise == "same"
    assert result.best.formula.startswith("((3 * exp((x * ") and result.best.formula.endswith(" + 2)")


def test_the_relative_model_chosen_on_approximants_gives_way_to_the_law_found_later():
    # kb·v/(A·(γ − 1)) with noise of the same size on every row: the ladder's step at 8 tokens holds only
    # approximants, whose misfit grows with the value, and they choose the relative model; the step at 9
    # finds the law, and the rows then speak for the usual model
    from zor import _front, _ladder, _run, _selection, _stages
    from zor._settings import settings_from

    rng = np.random.default_rng(0)
    g, kb, a, v = rng.uniform(2.0, 5.0, 100), *rng.uniform(1.0, 5.0, (3, 100))
    law = kb * v / (a * (g - 1.0))
    y = law + 0.01 * math.sqrt(float(np.mean(law**2))) * rng.standard_normal(100)
    run = _run.Run([g, kb, a, v], y, ("gamma", "kb", "A", "v"), settings_from("discover", {}), None, None, False)
    _ladder.run_step(run, 0, 8, 2000)
    _stages.weigh_noise(run)
    assert run.relative is not None
    _stages.fit_parameters(run)
    _ladder.run_step(run, 1, 9, 2000)
    _stages.weigh_noise(run)
    assert run.relative is None
    _, best = _selection.choose(run, _front.front_of(run))
    assert np.max(np.abs(best.predict([g, kb, a, v]) / law - 1.0)) < 1e-12


@pytest.mark.parametrize("offset, offered", [(0.0, True), (50.0, False)])
def test_a_ladder_formula_is_offered_without_its_offset_only_where_the_rows_cannot_tell_it_from_none(offset, offered):
    from zor import _front, _run
    from zor._parameter_fits import problem_for
    from zor._settings import settings_from

    x = np.linspace(1.0, 10.0, 60)
    y = (3.71 * x * x + offset) * (1.0 + 0.05 * np.random.default_rng(4).standard_normal(60))
    run = _run.Run([x], y, ("x",), settings_from("discover", {}), None, None, False)
    run.relative = problem_for([x], y, ("x",), run.domain, 0.001, ["Square"], relative=True)
    refitted, without = _front.relative_formulas(run, run.final_judge.judge_tokens((("var", 0), ("op", "Square"))))
    assert refitted is not None and refitted.constants.used_offset != 0.0
    assert (without is not None) is offered
    if offered:
        assert without.constants.used_offset == 0.0 and without.complexity == refitted.complexity - 1
        assert without.constants.used_scale == pytest.approx(3.71, rel=0.02)
