"""Free parameters inside formulas: derivatives, fitting, uncertainties, snapping, description length,
and their place in discover, results, files and the command line."""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
import time
import types
import warnings

import numpy as np
import pytest

import zor
import zor_core
from zor import _constants, _derivatives, _native, _noise, _parameter_fits, _parameter_snapping, _ladder, _parameters, _shapes, _stages
from zor._description_length import description_length, formula_description_length, marginal_variances
from zor._description_length import operator_kinds
from zor._domain import box_of
from zor._expression import UNARY, fold, to_python
from zor._settings import settings_from

from climb import climb


X = ("var", 0)
C0, C1 = ("param", 0, 0.0), ("param", 1, 0.0)


def _operand_tokens(name):
    """A formula applying `name` to parametric operands that stay in its domain for x in [0.5, 1.5]."""
    if name in UNARY:
        return (X, C0, ("op", "Mul"), C1, ("op", "Add"), ("op", name))
    return (X, C0, ("op", "Mul"), X, C1, ("op", "Add"), ("op", name))


OPERATOR_NAMES = [row["name"] for row in _native.OPERATORS]


@pytest.mark.parametrize("name", OPERATOR_NAMES)
def test_gradient_matches_finite_differences(name):
    x = np.linspace(0.5, 1.5, 9)
    theta = np.array([0.7, 1.3])
    tokens = _operand_tokens(name)
    value, gradient = _derivatives.value_and_gradient(tokens, [x], theta)
    for k in range(2):
        step = np.zeros(2)
        step[k] = 1e-6
        plus = _derivatives.values_at(tokens, [x], theta + step)
        minus = _derivatives.values_at(tokens, [x], theta - step)
        np.testing.assert_allclose(gradient[k], (plus - minus) / 2e-6, rtol=1e-6, atol=1e-8)
    # The values the fit works with are the native evaluation's, to rounding.
    native = _native.evaluate(list(_derivatives.number_parameters(tokens, theta)), [x])
    np.testing.assert_allclose(value, native, rtol=1e-14)


@pytest.mark.parametrize("name", ["Exp", "Div", "Mul"])
def test_grid_values_are_the_values_at_each_point(name):
    x = np.linspace(0.5, 1.5, 5)
    points = np.array([[0.7, 1.3], [-0.2, 2.0], [1.5, 0.9]])
    grid = _derivatives.values_at(_operand_tokens(name), [x], points)
    for row, point in zip(grid, points):
        np.testing.assert_array_equal(row, _derivatives.values_at(_operand_tokens(name), [x], point))


def test_enumeration_holds_the_laws_and_no_affine_repeats():
    x = np.linspace(0.5, 5.0, 48)
    shapes = _shapes.enumerate_shapes(1, 6, 3, _parameters.operator_names(True, True), [x])
    texts = {_parameter_snapping.parameter_text(shape, ["x"]) for shape in shapes}
    for law in ["exp((x * 0.0))", "(1/(x + 0.0))", "exp((0.0 / (x + 0.0)))", "exp((0.0 * ln(x)))",
                "exp((0.0 * ((x + 0.0)^2)))", "(1/(0.0 + exp((x * 0.0))))"]:
        assert law in texts
    # f + c and c·f are the outer offset and scale: never a shape of their own.
    def kind(value):
        return value if isinstance(value, str) else "expr"

    for shape in shapes:
        top = fold(shape, lambda token: token[0], lambda op, a: "expr", lambda op, a, b: (op, kind(a), kind(b)))
        assert not (isinstance(top, tuple) and top[0] in ("Add", "Sub", "Mul", "Div") and "param" in top[1:])
    # Deterministic: the same shapes in the same order.
    assert shapes == _shapes.enumerate_shapes(1, 6, 3, _parameters.operator_names(True, True), [x])


def _problem(columns, y):
    operators = _parameters.operator_names(True, True)
    return _parameter_fits.problem_for(columns, y, ("x",), box_of(columns), 0.001, operators)


@pytest.mark.parametrize("noise", ["same on every row", "relative to the value"])
def test_interval_covers_the_truth_about_as_often_as_it_says(noise):
    # A peak on a floor: the peak's height is fixed by the few rows near x = 0, where noise relative to the
    # value is largest, so an error that pools the noise of every row is too small for it.
    rng = np.random.default_rng(11)
    tokens = (X, ("op", "Square"), C0, ("op", "Mul"), ("op", "Exp"))
    x = np.linspace(-3.0, 3.0, 80)
    clean = 2.0 * np.exp(-0.8 * x * x) + 0.5
    spread = 0.02 if noise.startswith("same") else 0.04 * clean
    truth = np.array([-0.8, 2.0, 0.5])
    covered = np.zeros(3)
    trials = 150
    for _ in range(trials):
        y = clean + spread * rng.standard_normal(len(x))
        fit = _parameter_fits.fit(tokens, [x], y, np.array([-0.5, 1.5, 0.4]))
        assert fit is not None
        errors, dof = _parameter_fits.standard_errors(fit, _problem([x], y))
        covered += np.abs(fit.full - truth) <= _parameter_fits.t_quantile(dof) * errors
    rate = covered / trials
    assert np.all(rate >= 0.88), rate
    assert rate[0] <= 0.99 and rate[1] <= 0.99, rate  # not so wide that they say nothing


@pytest.mark.parametrize("seed", [5, 7, 10])
def test_snapped_constants_do_not_narrow_the_interval_of_a_fitted_one(seed):
    # 3·e^(c·t) + 2 on 1 % noise: the scale and offset snap to 3 and 2, chosen on these rows within their
    # own errors; the rate's error stays about that of the fit with them free, three times the one with them
    # fixed, whose interval misses the true rate on these draws.
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 10.0, 100)
    y = (2.0 + 3.0 * np.exp(-t / 3.3)) * (1.0 + 0.01 * rng.standard_normal(len(t)))
    best = zor.discover(t, y, progress=False).best
    rate, scale, offset = (next(p for p in best.parameters if p.name == name) for name in ("c0", "scale", "offset"))
    assert (scale.value, offset.value) == (3.0, 2.0) and rate.exact is None
    fixed = _parameter_fits.fit(best.tokens, [t], y, np.array([rate.value, 3.0, 2.0]), np.array([True, False, False]))
    assert fixed is not None
    fixed_errors, _ = _parameter_fits.standard_errors(fixed, _problem([t], y))
    assert rate.standard_error > 2.0 * fixed_errors[0]
    assert rate.low <= -1 / 3.3 <= rate.high


def test_fit_refuses_parameters_the_data_do_not_determine():
    x = np.linspace(0.0, 2.0, 30)
    # exp(c0·x + c1) times a scale: c1 and the scale are one constant.
    tokens = (X, C0, ("op", "Mul"), C1, ("op", "Add"), ("op", "Exp"))
    assert _parameter_fits.fit(tokens, [x], np.exp(0.5 * x), np.array([0.3, 0.2, 1.0, 0.0])) is None


def test_a_fit_undefined_over_the_box_is_dropped():
    # 1/(x + c0) fits rows that skip x = 1.5, but has a pole inside the box [1, 2] they span.
    x = np.concatenate([np.linspace(1.0, 1.4, 20), np.linspace(1.6, 2.0, 20)])
    problem = _problem([x], 1.0 / (x - 1.5) + 3.0)
    tokens = (X, C0, ("op", "Add"), ("op", "Recip"))
    fit = _parameter_fits.fit(tokens, [x], problem.target, np.array([-1.45, 1.0, 3.0]))
    assert fit is not None and fit.inner[0] == pytest.approx(-1.5)
    assert _parameter_snapping.formula_from_fit(problem, fit, {}, fit) is None


@pytest.mark.parametrize("exponent, noise, snapped", [(0.75, 0.0, (3, 4, "")), (0.75, 0.01, None),
                                                       (0.7137, 0.0, None)])
def test_snapping_needs_two_standard_errors_and_a_shorter_description(exponent, noise, snapped):
    rng = np.random.default_rng(4)
    x = rng.uniform(0.5, 100.0, 200)
    y = 3.4 * x**exponent * (1.0 + noise * rng.standard_normal(len(x)))
    problem = _problem([x], y)
    tokens = (X, ("op", "Ln"), C0, ("op", "Mul"), ("op", "Exp"))
    fit = _parameter_fits.fit(tokens, [x], y, np.array([0.6, 4.0, 0.0]))
    assert fit is not None
    final, exact, original = _parameter_snapping.snap_parameters(problem, fit)
    formula = _parameter_snapping.formula_from_fit(problem, final, exact, original)
    c0 = formula.parameters[0]
    assert c0.name == "c0" and c0.exact == snapped
    if snapped is None:  # the fitted value's interval; the value used may be refitted after the scale snaps
        assert c0.value == formula.tokens[2][2] and c0.low < exponent < c0.high
    else:
        assert formula.tokens[2] == ("param", 0, 0.75)


def test_a_parameter_snaps_only_to_a_constant_written_in_the_digits_the_data_fix():
    # A Gaussian's -1/(2·0.8²) = -0.78125 fitted at 1 % noise to ±0.002: -pi/4 lies within two standard
    # errors and shortens the description, but claims more digits than the fit knows.
    rng = np.random.default_rng(2024)
    x = rng.uniform(-3.0, 5.0, 200)
    y = 2.0 * np.exp(-((x - 1.2) ** 2) / (2 * 0.8**2)) * (1.0 + 0.01 * rng.standard_normal(len(x)))
    tokens = (X, C0, ("op", "Add"), ("op", "Square"), C1, ("op", "Mul"), ("op", "Exp"))
    fit = _parameter_fits.fit(tokens, [x], y, np.array([-1.0, -0.7, 2.0, 0.0]))
    problem = _problem([x], y)
    formula = _parameter_snapping.formula_from_fit(problem, *_parameter_snapping.snap_parameters(problem, fit))
    width = formula.parameters[1]
    assert width.exact is None and width.low < -0.78125 < width.high, width


def test_description_length_prefers_the_law_to_an_overfit():
    rng = np.random.default_rng(2)
    x = np.linspace(0.0, 5.0, 100)
    y = 2.0 * np.exp(-0.5 * x) + 0.02 * rng.standard_normal(len(x))
    law = zor.discover(x.reshape(-1, 1), y, progress=False, model_selection="description_length")
    fresh = np.linspace(0.0, 5.0, 1000)
    truth = 2.0 * np.exp(-0.5 * fresh)
    assert 1.0 - np.mean((law.best.predict(fresh.reshape(-1, 1)) - truth) ** 2) / np.var(truth) > 0.9999
    kinds = operator_kinds(len(_parameters.operator_names(True, True)), 1)
    lengths = {f.complexity: formula_description_length(f, [x], y, kinds) for f in law.front}
    assert min(lengths, key=lengths.get) == law.best.complexity
    assert law.best.criterion == pytest.approx(lengths[law.best.complexity])
    # A formula as exact as rounding with an exact constant costs less than with the constant fitted.
    jacobian = np.ones((100, 1))
    exact = description_length(sse=0.0, rows=100, complexity=4, kinds=kinds, free_values=np.array([2.0]),
                               jacobian=np.zeros((100, 0)), exact=[(2, 1, "")], sse_floor=1e-20)
    fitted = description_length(sse=0.0, rows=100, complexity=4, kinds=kinds, free_values=np.array([2.0]),
                                jacobian=jacobian, exact=[], sse_floor=1e-20)
    assert exact < fitted


LAWS = {
    "decay": (lambda t: 2.0 + 3.0 * np.exp(-t / 2.5), (0.0, 10.0), -0.4),
    "michaelis_menten": (lambda c: 4.0 * c / (1.5 + c), (0.1, 10.0), 1.5),
}


@pytest.mark.parametrize("law", sorted(LAWS))
@pytest.mark.parametrize("noise", [0.0, 0.01])
def test_discover_recovers_a_law_with_its_parameter_in_its_interval(law, noise):
    function, (low, high), inner = LAWS[law]
    rng = np.random.default_rng(7)
    x = rng.uniform(low, high, 200)
    y = function(x) * (1.0 + noise * rng.standard_normal(len(x)))
    result = zor.discover(x.reshape(-1, 1), y, progress=False)
    best = result.best
    c0 = next(p for p in best.parameters if p.name == "c0")
    assert c0.low <= inner <= c0.high or (c0.exact is not None and c0.value == inner)
    fresh = np.linspace(low, high, 50)
    predicted = best.predict(fresh.reshape(-1, 1))
    assert 1.0 - np.mean((predicted - function(fresh)) ** 2) / np.var(function(fresh)) >= 0.9999
    assert all(math.isfinite(p.standard_error) for p in best.parameters)
    assert "±" in repr(best) or all(p.exact is not None for p in best.parameters)
    assert [f.complexity for f in result.front] == sorted(f.complexity for f in result.front)
    assert all(math.isfinite(f.criterion) for f in result.front)


@pytest.fixture(scope="module")
def decay_result():
    rng = np.random.default_rng(3)
    t = rng.uniform(0.0, 6.0, 120)
    y = 1.0 + 2.0 * np.exp(-t / 1.7) + 0.01 * rng.standard_normal(len(t))
    return zor.discover(t.reshape(-1, 1), y, variable_names=["t"], progress=False), t


def test_python_form_and_files_keep_a_parametric_formula_bit_for_bit(decay_result, tmp_path):
    result, t = decay_result
    best = result.best
    assert any(token[0] == "param" for token in best.tokens)
    namespace = {}
    exec(best.python, namespace)
    predicted = best.predict(t.reshape(-1, 1))
    assert [namespace["f"](float(v)) for v in t] == predicted.tolist()
    path = tmp_path / "decay.json"
    result.save(path)
    assert json.loads(path.read_text())["format_version"] == 6
    loaded = zor.load(path)
    assert loaded.best == best and loaded.front == result.front
    assert loaded.predict(t.reshape(-1, 1)).tobytes() == result.predict(t.reshape(-1, 1)).tobytes()


def test_older_result_files_still_load(decay_result, tmp_path):
    result, t = decay_result
    path = tmp_path / "old.json"
    result.save(path)
    document = json.loads(path.read_text())
    document["format_version"] = 2
    for formula in [document["result"]["best"]] + document["result"]["front"]:
        del formula["parameters"], formula["criterion"]
    del document["result"]["noise"]
    path.write_text(json.dumps(document))
    loaded = zor.load(path)
    assert loaded.best.parameters == () and math.isnan(loaded.best.criterion) and loaded.noise == "same"
    assert loaded.predict(t.reshape(-1, 1)).tobytes() == result.predict(t.reshape(-1, 1)).tobytes()


def test_parameters_are_shown_everywhere(decay_result, tmp_path):
    result, t = decay_result
    best = result.best
    assert "c0 = " in repr(best)
    html = result._repr_html_()
    assert "criterion" in html and "c0 = " in html
    pytest.importorskip("pandas")
    frame = result.to_dataframe()
    assert frame.loc[frame["best"], "parameters"].item().startswith("c0 = ")
    assert frame["criterion"].notna().all()
    data = tmp_path / "decay.csv"
    data.write_text("t,y\n" + "".join(f"{float(a)!r},{float(b)!r}\n" for a, b in zip(t, result.predict(t.reshape(-1, 1)))))
    command = os.path.join(os.path.dirname(sys.executable), "zor-discover")
    report = subprocess.run([command, str(data), "--no-progress"], capture_output=True, text=True, check=True)
    assert "c0 = " in report.stdout and "criterion" in report.stdout
    document = json.loads(subprocess.run([command, str(data), "--no-progress", "--json"], capture_output=True,
                                         text=True, check=True).stdout)
    assert document["best"]["parameters"][0]["name"] == "c0"


@pytest.mark.parametrize("x, y", [
    ([2.0], [3.0]),                                            # a single row
    (np.linspace(0.0, 1.0, 30), np.full(30, 4.25)),            # constant targets
    (np.linspace(0.0, 1.0, 3), np.array([1.0, 2.0, 0.5])),     # fewer rows than a parametric fit needs
])
def test_degenerate_data_gives_formulas_without_nan_parameters(x, y):
    result = zor.discover(np.asarray(x).reshape(-1, 1), np.asarray(y), progress=False)
    assert result.best is not None
    for formula in result.front:
        for parameter in formula.parameters:
            assert math.isfinite(parameter.value)
    assert not any(token[0] == "param" for token in result.best.tokens)


def test_stage_is_deterministic_and_off_at_zero():
    rng = np.random.default_rng(9)
    x = rng.uniform(0.1, 10.0, 80)
    y = 4.0 * x / (1.5 + x) * (1.0 + 0.01 * rng.standard_normal(len(x)))
    first = zor.discover(x.reshape(-1, 1), y, progress=False)
    second = zor.discover(x.reshape(-1, 1), y, progress=False)
    # (a snapped constant's fitted standard error may be NaN, which no dataclass equality holds)
    assert [repr(f) for f in first.front] == [repr(f) for f in second.front] and repr(first.best) == repr(second.best)
    assert [f.error for f in first.front] == [f.error for f in second.front]
    off = zor.discover(x.reshape(-1, 1), y, progress=False, max_parameters=0)
    assert not any(token[0] == "param" for formula in off.front for token in formula.tokens)
    # Without scaling, discover is find_formula whatever max_parameters says.
    unscaled = zor.discover([x.tolist()], y.tolist(), progress=False, scaling=False)
    core = zor_core.find_formula([x.tolist()], y.tolist())
    assert unscaled.best.score == core.error and unscaled.best.complexity == core.complexity


@pytest.mark.parametrize("value, error", [(-1, ValueError), (1.5, TypeError), ("3", TypeError)])
def test_max_parameters_is_checked(value, error):
    with pytest.raises(error, match="max_parameters"):
        zor.discover([[1.0, 2.0, 3.0]], [1.0, 2.0, 3.0], progress=False, max_parameters=value)


def test_python_form_of_parameters_is_bit_exact():
    tokens = _derivatives.number_parameters((X, C0, ("op", "Mul"), ("op", "Exp")), [-0.1234567890123])
    namespace = {}
    exec(to_python(tokens, ["x"]), namespace)
    x = np.linspace(0.0, 7.0, 40)
    assert [namespace["f"](float(v)) for v in x] == _native.evaluate(list(tokens), [x])


def test_formulas_fitted_on_a_subsample_are_judged_on_every_row():
    rng = np.random.default_rng(6)
    x = rng.uniform(0.1, 10.0, 400)
    y = 4.0 * x / (1.5 + x) * (1.0 + 0.01 * rng.standard_normal(len(x)))
    result = zor.discover(x.reshape(-1, 1), y, progress=False, max_rows=100)
    for formula in result.front:
        if formula.parameters:
            error = float(np.sqrt(np.mean((formula.predict(x.reshape(-1, 1)) - y) ** 2)))
            assert formula.error == pytest.approx(error, rel=1e-12)
    assert any(formula.parameters for formula in result.front)


def test_a_sum_of_two_decays_starts_near_its_rates_and_fits_them():
    x = np.linspace(0.0, 10.0, 200)
    y = 5.0 * np.exp(-x / 0.7) + 2.0 * np.exp(-x / 4.0)
    term = (X, C0, ("op", "Mul"), ("op", "Exp"))
    rows = _shapes.screen_rows(len(x))
    starts = _shapes.pair_starts(term, term, [x[rows]], y[rows], _parameters.PAIR_STARTS)
    # A sum of a term with itself takes each pair of rates once, the smaller first; one start has both
    # decays, and none leans on a nearly straight term (a rate near 0 with a huge coefficient).
    assert all(p < q and abs(c) < 10 for p, q, c in starts) and any(q < 0 for _, q, _ in starts)
    fit = _parameter_fits.fit_shape(_problem([x], y), _shapes.pair_shape(term, term), starts)
    np.testing.assert_allclose(fit.full, [-1 / 0.7, -0.25, 0.4, 5.0, 0.0], rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("law", [lambda x: 3.0 * x * x + 1.0, lambda x: 2.0 * np.sin(3.0 * x),
                                 lambda x: 2.0 + 3.0 * np.exp(-x / 1.5)])
@pytest.mark.parametrize("sigma", [0.01, 0.1])
def test_noise_level_of_one_variable_data(law, sigma):
    rng = np.random.default_rng(12)
    x = rng.uniform(1.0, 5.0, 400)
    y = law(x) + sigma * rng.standard_normal(len(x))
    assert _noise.noise_level([x], y) == pytest.approx(sigma, rel=0.15)
    assert _noise.noise_level([x, x], y) is None


def test_a_default_search_at_the_noise_level_skips_the_stage_and_a_time_limit_does_not():
    rng = np.random.default_rng(13)
    x = rng.uniform(1.0, 5.0, 200)
    y = 3.0 * x * x + 1.0 + 0.3 * rng.standard_normal(len(x))
    quick = zor.discover(x.reshape(-1, 1), y, progress=False)
    assert quick.best.formula.startswith("((3") and not any(f.parameters for f in quick.front)
    found = [(f.complexity, f.error) for f in quick.front]
    assert not _noise.worth_fitting(settings_from("discover", {}), [x], y, found)
    assert _noise.worth_fitting(settings_from("discover", {"time_limit": 5}), [x], y, found)
    # A longer formula at the noise level leaves room for a shorter one with a parameter.
    assert _noise.worth_fitting(settings_from("discover", {}), [x], y, [(9, found[-1][1])])


@pytest.mark.parametrize("tiny", [1e-160, 1e-170])  # the squared norm denormal, or zero
def test_a_parameter_of_no_effect_has_an_infinite_error_without_a_warning(tiny):
    x = np.linspace(0.0, 10.0, 50)
    y = 2.0 + 3.0 * np.exp(-0.3 * x)
    tokens = (X, C0, ("op", "Mul"), ("op", "Exp"))
    jacobian = np.column_stack([tiny * x, np.exp(-0.3 * x), np.ones_like(x)])
    fitted = _parameter_fits.Fit(tokens, np.array([-0.3, 3.0, 2.0]), np.ones(3, dtype=bool), 1e-3, jacobian)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        errors, dof = _parameter_fits.standard_errors(fitted, _problem([x], y))
        variances = marginal_variances(jacobian, 1e-4)
    assert dof == 47 and math.isinf(errors[0]) and np.all(np.isfinite(errors[1:]))
    # The description length counts no precision for it (no finite positive variance).
    assert not (math.isfinite(variances[0]) and variances[0] > 0.0) and np.all(np.isfinite(variances[1:]))


def test_enumeration_stops_at_its_deadline_and_keeps_only_whole_sets():
    operators = tuple(_parameters.operator_names(False, False))
    x = np.linspace(0.35, 3.05, 48)
    assert _shapes.enumerate_shapes(1, 5, 2, operators, [x], time.monotonic() - 1.0) is None
    assert _shapes.shapes_for(1, 5, 2, operators, time.monotonic() - 1.0) is None
    made = _shapes.shapes_for(1, 5, 2, operators)
    assert made and _shapes.shapes_for(1, 5, 2, operators, time.monotonic() - 1.0) == made


def test_a_deadline_in_the_screen_leaves_time_to_fit_the_shapes_screened(monkeypatch):
    t = np.linspace(0.0, 10.0, 100)
    problem = _problem([t], 2.0 + 3.0 * np.exp(-t / 3.3))
    size = _parameters.stage_size(3, 1, True)
    operators = _parameters.operator_names(True, True)
    shapes = _shapes.shapes_for(1, size.max_tokens, size.max_params, tuple(operators))  # made in real time
    # A clock that moves a millisecond each time it is read: the screen reads it twice every 64 shapes, and
    # would reach the deadline of 50 ms a third of the way through the shapes, before any fit.
    now = [0.0]

    def tick():
        now[0] += 1e-3
        return now[0]

    monkeypatch.setattr(_parameters, "time", types.SimpleNamespace(monotonic=tick))
    report = _parameters.StageReport()
    formulas = _parameters.parametric_formulas(problem, size, operators, [], 0.05, report)
    assert report.cut_short and 0 < report.screened < len(shapes) and report.fitted > 0
    assert any(p.name == "c0" and p.low <= -1 / 3.3 <= p.high for f in formulas for p in f.parameters)


def test_a_climb_fits_parameters_early_at_the_size_without_a_limit(monkeypatch):
    # The ladder takes most of a short time limit; the stage, which needs about a second, runs once the
    # ladder has searched as deep and wide as a search without a limit, at that search's size and with no
    # deadline of its own, whatever the limit. The climb here is cut to the step after the stage.
    rng = np.random.default_rng(0)
    t = np.linspace(0.0, 10.0, 100)
    y = (2.0 + 3.0 * np.exp(-t / 3.3)) * (1.0 + 0.01 * rng.standard_normal(len(t)))
    steps: list[int] = []
    calls = []
    stage = _stages.parametric_stage

    class Seen(Exception):
        """The ladder climbs on after the stage: nothing more to see."""

    def recorded(*args, **kwargs):
        formulas, cut_short = stage(*args, **kwargs)
        calls.append((args[4].climbing, args[4].time_limit, max(steps), formulas, cut_short))
        return formulas, cut_short

    def listen(level):
        steps.append(level.step)
        if calls:
            raise Seen

    monkeypatch.setattr(_stages, "parametric_stage", recorded)
    early = _ladder.early_parameters_step(list(_ladder.LADDER))
    with warnings.catch_warnings(), pytest.raises(Seen):
        warnings.simplefilter("error")
        zor.discover(t.reshape(-1, 1), y, progress=listen, **climb(monkeypatch, early + 1))
    assert _ladder.LADDER[early - 1] >= (8, 2000)
    [(climbing, limit, step, formulas, cut_short)] = calls
    assert (climbing, limit, step, cut_short) == (False, None, early - 1, False)
    assert any(p.name == "c0" and p.low <= -1 / 3.3 <= p.high for f in formulas for p in f.parameters)


def _holds(formula, law, x):
    """Whether the formula's own shape, refitted to noiseless points of the law, fits them to 1e-6."""
    inner = [float(token[2]) for token in formula.tokens if token[0] == "param"]
    fresh = np.linspace(float(x.min()), float(x.max()), 400)
    truth = law(fresh)
    used = formula.constants
    fitted = _parameter_fits.fit(formula.tokens, [fresh], truth, np.array(inner + [used.used_scale, used.used_offset]))
    return fitted is not None and math.sqrt(fitted.sse / len(fresh)) <= 1e-6 * math.sqrt(float(np.mean(truth**2)))


@pytest.mark.parametrize(("rows", "worth"), [(15, True), (400, False)])
def test_the_noise_gate_needs_rows_enough_to_know_the_noise_level(rows, worth):
    # A short formula at the data's noise level: on 400 rows the stage is skipped; on 15 the noise level is
    # known to ±27 % only, and a law with a parameter inside may still beat the formula.
    x = np.linspace(0.0, 7.0, rows)
    y = 3.0 * x * x + 1.0 + np.random.default_rng(4).standard_normal(rows)
    found = [(4, 0.95 * _noise.noise_level([x], y))]
    assert _noise.worth_fitting(settings_from("discover", {}), [x], y, found) is worth


def test_a_rough_fit_also_gives_its_shape_without_an_offset():
    t = np.linspace(0.0, 7.0, 15)
    shape = _derivatives.number_parameters([X, C0, ("op", "Mul"), ("op", "Exp")])
    for noise, relative in ((0.1, False), (0.1, True), (0.001, False)):
        y = 120.0 * np.exp(0.45 * t) * (1.0 + noise * np.random.default_rng(1).standard_normal(len(t)))
        problem = _parameter_fits.problem_for([t], y, ("t",), box_of([t]), 0.001, ["Exp", "Mul"], relative)
        fitted = _parameter_fits.fit_shapes(problem, [(shape, [np.array([0.3])])])[0]
        free = _parameter_fits.offset_free_fits(problem, [fitted])[0]
        if noise < _constants.SNAP_GATE:  # a close fit: snapping weighs an offset of 0 itself
            assert free is None
            continue
        assert free is not None and free.full[2] == 0.0 and not free.free[2] and free.free[:2].all()
        assert free.full[0] == pytest.approx(0.45, abs=0.05) and free.full[1] == pytest.approx(120.0, rel=0.2)
        assert free.sse >= fitted.sse * (1.0 - 1e-9)  # one constant fewer cannot fit closer


GROWTH = (lambda t: 120.0 * np.exp(0.45 * t), np.linspace(0.0, 7.0, 15), 0.05)
LOGISTIC = (lambda t: 100.0 / (1.0 + np.exp(-(t - 5.0) / 1.2)), np.linspace(0.0, 10.0, 25), 0.02)


@pytest.mark.parametrize(("law", "seed"), [(GROWTH, 0), (GROWTH, 2), (LOGISTIC, 3), (LOGISTIC, 4)],
                         ids=["growth 0", "growth 2", "logistic 3", "logistic 4"])
def test_a_default_discover_on_few_noisy_rows_finds_the_law_with_a_constant_inside(law, seed):
    # On 15 or 25 rows with a few per cent of noise the search's approximants (78.9·sqrt(exp(t)) + 95.7,
    # a cosine of a sine) fit as closely as the law; the stage must run, hold the shape, and weigh it.
    function, t, noise = law
    y = function(t) * (1.0 + noise * np.random.default_rng(seed).standard_normal(len(t)))
    best = zor.discover(t.reshape(-1, 1), y, progress=False).best
    assert best.parameters and _holds(best, function, t), best.formula


@pytest.mark.parametrize("seed", [2, 4])
def test_the_screen_for_relative_noise_weighs_the_smallest_values(seed):
    # A power law over three decades with 10 % noise relative to the value: unweighted, the screen ranks
    # shapes by the largest values, and a·x^c is not among those fitted. On the second draw the offset of
    # its least-squares fit takes it below 0 on the smallest masses, where its log fit cannot start.
    m = np.geomspace(0.1, 100.0, 20)
    y = 3.0 * m**0.75 * (1.0 + 0.1 * np.random.default_rng(seed).standard_normal(len(m)))
    operators = _parameters.operator_names(True, True)
    problem = _parameter_fits.problem_for([m], y, ("M",), box_of([m]), 0.001, operators, relative=True)
    formulas = _parameters.parametric_formulas(problem, _parameters.stage_size(3, 1, False, len(m)), operators, [],
                                               None)
    assert any(_holds(formula, lambda x: 3.0 * x**0.75, m) for formula in formulas)
