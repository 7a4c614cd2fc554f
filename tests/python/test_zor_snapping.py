"""Snapping the scale and the offset together: the offset of 0 and the scale of 1 first, then exact values
within two standard errors and written in the digits the data fix, neither left to make up for the other."""

from __future__ import annotations

import math

import numpy as np
import pytest

import zor
from zor import _parameter_fits, _parameter_snapping, _parameters
from zor._constants import FitStatistics, exact_value, snap

PENDULUM = 2 * math.pi / math.sqrt(9.81)


def _pendulum(seed):
    rng = np.random.default_rng(seed)
    length = np.linspace(0.1, 2.0, 25)
    return length, PENDULUM * np.sqrt(length) * (1 + 0.005 * rng.standard_normal(25))


@pytest.mark.parametrize("seed", [0, 3, 16])
def test_pendulum_is_a_fitted_scale_without_an_offset(seed):
    # the data fix 2π/√g to about ±0.002: 2·√L, with an offset making up for the snapped 2, is not the law
    length, period = _pendulum(seed)
    best = zor.discover(length.reshape(-1, 1), period, variable_names=["L"], progress=False).best
    assert best.tokens == (("var", 0), ("op", "Sqrt")) and best.complexity == 3, best
    assert best.exact_scale is None and best.constants.used_offset == 0.0, best
    assert best.scale == pytest.approx(PENDULUM, rel=5e-3)
    assert [p.name for p in best.parameters] in ([], ["scale"])


def _statistics(n, f_mean, sff, scale, offset, sigma):
    """The statistics of a least-squares fit scale·f + offset leaving noise of standard deviation sigma."""
    y_mean = scale * f_mean + offset
    sse = (n - 2) * sigma**2
    return FitStatistics(n, f_mean, y_mean, sff, sse, n * y_mean**2 + scale**2 * sff + sse)


def test_an_offset_known_to_one_digit_is_not_written_with_pi():
    # an offset of 1.768 ± 0.45 (its values' mean far from 0 makes it loose): 2, never sqrt(pi) or 7/4
    stats = _statistics(15, 900.0, 2500.0, 4.3071, 1.768, 0.025)
    assert 0.025 * math.sqrt(1 / 15 + 900.0**2 / 2500.0) == pytest.approx(0.45, rel=0.01)
    snapped = snap(stats, 4.3071, 1.768, constant=False)
    assert snapped.exact_offset == (2, 1, "") and snapped.exact_scale is None


def test_a_snapped_scale_leaves_no_offset_to_make_up_for_it():
    # each alone is within two standard errors, not both: the offset, whose exact 3 costs the fit least,
    # snaps, and the scale is refitted for it, rather than 2·f with an offset pulled off its fitted value
    stats = _statistics(20, 5.0, 20.0, 2.006, 3.0085, 0.0149)
    snapped = snap(stats, 2.006, 3.0085, constant=False)
    assert snapped.exact_offset == (3, 1, "") and snapped.exact_scale is None
    assert snapped.used_scale == pytest.approx(stats.scale_for(3.0, 2.006), rel=1e-15)
    scale_first = stats.increase(2.0, 2.006, stats.y_mean - 2.0 * stats.f_mean)
    assert stats.increase(snapped.used_scale, 2.006, 3.0) < scale_first


@pytest.mark.parametrize("scale, offset, sigma, exact_scale, exact_offset", [
    (PENDULUM, 0.0, 0.003, None, (0, 1, "")),    # the offset dropped, the scale refitted through 0
    (2.0, 0.0, 0.003, (2, 1, ""), (0, 1, "")),   # 2 within two standard errors of the refitted scale
    (1.0, 0.25, 0.003, (1, 1, ""), (1, 4, "")),  # a scale of 1 dropped, the offset snapped with it fixed
])
def test_the_structure_comes_first(scale, offset, sigma, exact_scale, exact_offset):
    rng = np.random.default_rng(2)
    f = np.sqrt(np.linspace(0.1, 2.0, 25))
    y = scale * f + offset + sigma * rng.standard_normal(len(f))
    fc = f - f.mean()
    fitted = float(fc @ (y - y.mean()) / (fc @ fc))
    free_offset = float(y.mean() - fitted * f.mean())
    residual = fitted * f + free_offset - y
    stats = FitStatistics(len(f), float(f.mean()), float(y.mean()), float(fc @ fc), float(residual @ residual),
                          float(y @ y))
    snapped = snap(stats, fitted, free_offset, constant=False)
    assert (snapped.exact_scale, snapped.exact_offset) == (exact_scale, exact_offset)
    if exact_scale is None:
        assert snapped.used_scale == pytest.approx(float(f @ y / (f @ f)), rel=1e-12)


@pytest.mark.parametrize("law, expected", [
    (lambda x: 4.9 * x**2, "((49/10) * (x^2))"),
    (lambda x: 3 * x**2 + 1, "((3 * (x^2)) + 1)"),
    (lambda x: x * np.sqrt(x), "(sqrt(x) * x)"),
    (lambda x: 0.75 * np.sqrt(x) - 2.0, "(((3/4) * sqrt(x)) - 2)"),
])
def test_exact_data_keep_their_exact_constants(law, expected):
    x = np.linspace(0.5, 4.0, 30)
    best = zor.discover(x.reshape(-1, 1), law(x), progress=False).best
    assert best.formula == expected


def _damped(seed):
    rng = np.random.default_rng(seed)
    t = np.linspace(0.1, 3.0, 25)
    return t, PENDULUM * np.exp(-0.5 * t) * (1 + 0.005 * rng.standard_normal(25))


@pytest.mark.parametrize("seed", [16, 19])
def test_parameters_drop_the_offset_before_the_scale_snaps(seed):
    # exp(c0·t) with c0 = -1/2: an offset of 0 is no term, and the scale 2.006 is not left at 2 with an
    # offset of 0.003 making up for it
    t, y = _damped(seed)
    problem = _parameter_fits.problem_for([t], y, ("t",), ((0.1, 3.0),), 0.0, _parameters.operator_names(False, False))
    shape = (("var", 0), ("param", 0, 0.0), ("op", "Mul"), ("op", "Exp"))
    fitted = _parameter_fits.fit_shape(problem, shape, [np.array([-0.5])])
    formula = _parameter_snapping.formula_from_fit(problem, *_parameter_snapping.snap_parameters(problem, fitted))
    assert formula.constants.used_offset == 0.0, formula
    assert "offset" not in [p.name for p in formula.parameters]
    scale = next(p for p in formula.parameters if p.name == "scale")
    assert scale.exact is None or abs(exact_value(scale.exact) - scale.fitted) <= 2 * scale.standard_error


def test_a_decay_to_an_asymptote_keeps_its_exact_scale_and_offset():
    rng = np.random.default_rng(0)
    t = np.linspace(0.0, 10.0, 100)
    y = (2.0 + 3.0 * np.exp(-t / 3.3)) * (1.0 + 0.01 * rng.standard_normal(len(t)))
    best = zor.discover(t.reshape(-1, 1), y, variable_names=["t"], progress=False).best
    assert (best.exact_scale, best.exact_offset) == ((3, 1, ""), (2, 1, "")), best
    c0 = next(p for p in best.parameters if p.name == "c0")
    assert c0.exact is None and c0.low <= -1 / 3.3 <= c0.high


@pytest.mark.parametrize("value, error, named, never", [
    (0.0795841, 5.6e-5, (1, 4, "1/pi"), None),  # 1/(4π) for a scale known to 0.07 %
    (2.00535, 0.002, (2, 1, ""), (63, 10, "1/pi")),
    (1.768, 0.45, (2, 1, ""), (1, 1, "sqrtpi")),
])
def test_a_scale_or_offset_snaps_only_to_constants_written_in_the_digits_the_data_fix(value, error, named, never):
    from zor._constants import scale_or_offset_near

    candidates = scale_or_offset_near(value, error)
    assert named in candidates and never not in candidates
