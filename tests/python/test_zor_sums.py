"""Sums of terms: laws made of unlike terms come back exactly, every form of a sum computes what predict
computes, a sum survives a result file, and the front never loses to the linear model on its own rows."""

import json
import math

import numpy as np
import pytest

import zor
from zor import _constants, _sums

from climb import climb

RNG = np.random.default_rng(7)
SPEED = RNG.uniform(1.0, 30.0, 200)
I1, I2, DELTA = RNG.uniform(1.0, 5.0, 200), RNG.uniform(1.0, 5.0, 200), RNG.uniform(0.0, 6.28, 200)
LAWS = {
    "braking": (SPEED.reshape(-1, 1), 0.75 * SPEED + 0.05 * SPEED**2, ["v"], [[2.0], [40.0]]),
    "interference": (np.c_[I1, I2, DELTA], I1 + I2 + 2.0 * np.sqrt(I1 * I2) * np.cos(DELTA), ["I1", "I2", "delta"],
                     [[1.5, 4.5, 0.3], [2.0, 2.0, 3.0]]),
}


@pytest.fixture(scope="module", params=sorted(LAWS))
def law(request):
    X, y, names, fresh = LAWS[request.param]
    # Without free parameters, which write a·v + b·v² as exactly a·(v + c)² + d
    result = zor.discover(X, y, variable_names=names, progress=False, max_parameters=0)
    return request.param, result, np.asarray(fresh)


def test_a_law_of_unlike_terms_comes_back_exactly(law):
    name, result, fresh = law
    best = result.best
    assert len(best.terms) >= 2 and best.relative_error < 1e-12, result
    X, _, names, _ = LAWS[name]
    truth = {"braking": lambda r: 0.75 * r[:, 0] + 0.05 * r[:, 0] ** 2,
             "interference": lambda r: r[:, 0] + r[:, 1] + 2.0 * np.sqrt(r[:, 0] * r[:, 1]) * np.cos(r[:, 2])}[name]
    np.testing.assert_allclose(best.predict(fresh), truth(fresh), rtol=1e-12)


def test_every_form_of_a_sum_is_what_predict_computes(law, tmp_path):
    name, result, fresh = law
    best = result.best
    namespace: dict = {}
    exec(best.python, namespace)  # noqa: S102 - the formula's own source
    X = LAWS[name][0]
    predicted = best.predict(X)
    assert [namespace["f"](*row) for row in X] == predicted.tolist()
    result.save(tmp_path / "sum.json")
    loaded = zor.load(tmp_path / "sum.json")
    assert loaded.best == best and loaded.best.predict(X).tobytes() == predicted.tobytes()
    sympy = pytest.importorskip("sympy")
    expression = best.to_sympy()
    symbols = [sympy.Symbol(n) for n in best.variable_names]
    at = dict(zip(symbols, fresh[0]))
    assert math.isclose(float(expression.evalf(subs=at)), float(best.predict(fresh[:1])[0]), rel_tol=1e-12)
    assert best.latex.count("+") + best.latex.count("-") >= len(best.terms) - 1


def test_a_file_whose_terms_do_not_add_up_is_refused(law, tmp_path):
    _, result, _ = law
    result.save(tmp_path / "sum.json")
    document = json.loads((tmp_path / "sum.json").read_text())
    document["result"]["best"]["terms"][0]["coefficient"] = 123.0
    document["result"]["best"]["terms"][0]["exact"] = None
    (tmp_path / "edited.json").write_text(json.dumps(document))
    with pytest.raises(zor.ResultFileError, match="terms: they do not add up"):
        zor.load(tmp_path / "edited.json")


@pytest.mark.parametrize("seed", range(3))
def test_the_front_never_loses_to_the_linear_model_on_its_rows(seed):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(120, 4))
    y = X @ rng.normal(size=4) + 0.5 * np.sin(3.0 * X[:, 0]) + rng.normal(scale=0.3, size=120)
    result = zor.discover(X, y, max_complexity=6, beam_width=500, progress=False)
    design = np.c_[X, np.ones(len(y))]
    linear = float(np.sqrt(np.mean((design @ np.linalg.lstsq(design, y, rcond=None)[0] - y) ** 2)))
    assert min(f.error for f in result.front) <= linear * (1 + 1e-9)


@pytest.mark.parametrize("value, error, offered, refused", [
    (0.7487, 0.012, (3, 4, ""), None),  # two digits known: 3/4 reads no longer than 0.75
    (0.987, 0.003, None, (5, 9, "sqrtpi")),  # 5*sqrt(pi)/9 claims more than the data know; 1 is 4 errors off
    (0.987, 0.003, None, (1, 1, "")),
    (0.78539816339, 1e-12, (1, 4, "pi"), None),
    (-0.7487, 0.012, (-3, 4, ""), None),  # a sign is no digit
    (-0.7830, 0.002, None, (-1, 4, "pi")),  # -pi/4 and -25/32 are both 1.2 errors off: neither is known
])
def test_a_coefficient_snaps_only_to_what_its_standard_error_allows(value, error, offered, refused):
    found = _constants.exact_near(value, error)
    assert offered is None or offered in found
    assert refused not in found


def test_few_rows_get_no_sum_of_searched_terms():
    a = np.array([0.387, 0.723, 1.0, 1.524, 5.203, 9.537, 19.19, 30.07])
    period = a**1.5 * (1 + 0.01 * np.random.default_rng(1).standard_normal(8))
    result = zor.discover(a, period, variable_names=["a"], max_complexity=8, beam_width=5000, progress=False)
    assert not any(f.terms for f in result.front)


@pytest.mark.parametrize("seed", range(2))
def test_the_best_formula_predicts_new_rows_as_well_as_linear_regression_does(seed):
    rng = np.random.default_rng(seed)
    weights = rng.uniform(0.5, 2.0, 6)
    X, X_new = rng.normal(size=(150, 6)), rng.normal(size=(2000, 6))
    y, y_new = (data @ weights + rng.normal(scale=2.0, size=len(data)) for data in (X, X_new))
    best = zor.discover(X, y, max_complexity=6, beam_width=500, progress=False).best
    design = np.c_[X, np.ones(len(y))]
    linear = np.c_[X_new, np.ones(len(X_new))] @ np.linalg.lstsq(design, y, rcond=None)[0]

    def r2(predicted):
        return 1.0 - np.sum((predicted - y_new) ** 2) / np.sum((y_new - np.mean(y_new)) ** 2)

    assert r2(best.predict(X_new)) >= r2(linear) - 0.02, best


X0, X1 = (("var", 0),), (("var", 0), ("op", "Sqrt"))


@pytest.mark.parametrize("terms, offset", [
    ((_sums.Term(X0, -1.0), _sums.Term(X1, 0.3)), 0.0),  # a first term of -1 is a negation
    ((_sums.Term(X0, -0.7), _sums.Term(X1, -1.0, (-1, 1, ""))), 2.5),  # a later negative term subtracts
    ((_sums.Term(X0, 0.785, (1, 4, "pi")), _sums.Term(X1, -0.4, (-2, 5, "")), _sums.Term(X0, 1.0)), -0.1),
])
def test_a_sum_of_any_signs_reads_and_computes_as_predict_does(terms, offset):
    from zor._terms import sum_complexity, sum_text, sum_tokens

    tokens = sum_tokens(terms)
    formula = zor.Formula(complexity=sum_complexity(terms), error=0.0, score=0.0, formula=sum_text(terms, ("x",)),
                          tokens=tokens, variable_names=("x",), offset=offset, terms=terms)
    rows = np.linspace(0.5, 9.0, 17)
    namespace: dict = {}
    exec(formula.python, namespace)  # noqa: S102 - the formula's own source
    predicted = formula.predict(rows)
    assert [namespace["f"](row) for row in rows] == predicted.tolist()
    expected = sum(term.used * np.asarray(_sums.shape_values(term.tokens, [rows])) for term in terms) + offset
    np.testing.assert_allclose(predicted, expected, rtol=1e-15)


@pytest.mark.parametrize("climbing", [False, True], ids=["default", "climbing"])
@pytest.mark.parametrize("seed", [0, 2])
def test_on_few_rows_the_best_formula_predicts_as_well_as_linear_regression(seed, climbing, monkeypatch):
    # 30 noisy rows over four variables: a shape picked from thousands fits their noise, and only the
    # search run again without each fold shows it, with a time limit or without.
    rng = np.random.default_rng(seed)
    weights = rng.uniform(0.5, 2.0, 4)
    X, X_new = rng.normal(size=(30, 4)), rng.normal(size=(2000, 4))
    y, y_new = (data @ weights + rng.normal(scale=2.0, size=len(data)) for data in (X, X_new))
    best = zor.discover(X, y, progress=False, **(climb(monkeypatch, 2) if climbing else {})).best
    linear = np.c_[X_new, np.ones(len(X_new))] @ np.linalg.lstsq(np.c_[X, np.ones(len(y))], y, rcond=None)[0]

    def r2(predicted):
        return 1.0 - np.sum((predicted - y_new) ** 2) / np.sum((y_new - np.mean(y_new)) ** 2)

    assert r2(best.predict(X_new)) >= r2(linear) - 0.02, best


def test_on_few_rows_an_exact_law_stays_exact(monkeypatch):
    rng = np.random.default_rng(3)
    m, a = rng.uniform(1.0, 5.0, 30), rng.uniform(1.0, 5.0, 30)
    best = zor.discover(np.c_[m, a], m * a, variable_names=["m", "a"], progress=False,
                        **climb(monkeypatch, 2)).best
    assert best.formula == "(m * a)" or best.formula == "(a * m)", best


V0 = ("var", 0)


@pytest.mark.parametrize("shape, noise", [
    ((V0, ("op", "Ln"), ("op", "Exp"), V0, ("op", "Sub"), V0, ("op", "Sin"), ("op", "Mul")), True),
    ((V0, ("op", "Ln"), V0, ("op", "Exp"), ("op", "Zor")), True),  # exp(ln x) − ln(exp x)
    ((V0, ("op", "Sqrt"), ("op", "Square"), V0, ("op", "Sub")), True),
    ((V0, ("const", 2.0), ("op", "Sub"), V0, ("op", "Mul")), False),  # zero on one row only
    ((V0, V0, ("op", "Sqrt"), ("op", "Sub")), False),
])
def test_a_term_that_is_zero_but_for_rounding_never_joins_a_sum(shape, noise):
    x = np.linspace(1.0, 50.0, 99)
    pool = _sums.TermPool([x], x, 2)
    pool.add([shape])
    assert _sums.rounds_to_zero(shape, [x]) is noise
    assert (shape in pool.shapes) is not noise


@pytest.mark.parametrize("low, joins", [(300.0, True), (360.0, False)])  # exp(x) up to 1e152, or past 1e156
def test_a_term_too_large_to_square_stays_out_of_the_pool_without_a_warning(low, joins):
    import warnings

    x = np.linspace(low, low + 50.0, 60)
    pool = _sums.TermPool([x], x, 2)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        pool.add([(V0, ("op", "Exp"))])
    assert ((V0, ("op", "Exp")) in pool.shapes) is joins


def test_a_formula_that_is_zero_but_for_rounding_never_joins_the_front():
    from zor import _front, _run
    from zor._settings import settings_from

    x = np.linspace(1.0, 3.0, 40)
    run = _run.Run([x], np.sin(7.0 * x), ("x",), settings_from("discover", {}), None, None, False)
    noise = (V0, ("op", "Ln"), V0, ("op", "Exp"), ("op", "Zor"))  # x − x, but for rounding
    run.factored.append(noise)
    assert all(formula.tokens != noise for formula in _front.scaled_front(run))


@pytest.mark.parametrize("lowest, memorised", [(1.0, True), (59.5, False)])
def test_a_formula_that_one_row_fits_by_itself_never_joins_the_front(lowest, memorised):
    from zor import _fit, _front, _run
    from zor._settings import settings_from

    x = np.r_[lowest, np.linspace(60.0, 90.0, 39)]
    y = np.random.default_rng(1).normal(size=len(x))
    run = _run.Run([x], y, ("x",), settings_from("discover", {}), None, None, False)
    spike = (V0, ("op", "Neg"), ("op", "Exp"))  # ~e^(−x): the lowest row's alone when it lies far below the rest
    assert _fit.memorises_a_row(run.final_judge.judge_tokens(spike, False), [x], y) is memorised
    run.factored.append(spike)
    if memorised:
        assert all(formula.tokens != spike for formula in _front.scaled_front(run))


M = ("var", 1)


@pytest.mark.parametrize("tokens, points, flagged", [
    # cos(x²) on incomes in the hundreds: a pseudo-random sign.
    ((V0, ("op", "Square"), ("op", "Cos")), np.random.default_rng(3).uniform(300.0, 3000.0, 150), True),
    # sin(x) on rows 5 apart on average, at random: a cycle of 6.3 sampled about once per cycle.
    ((V0, ("op", "Sin")), np.random.default_rng(3).uniform(0.0, 500.0, 100), True),
    # Resolved: √x, and sin(x) on rows 0.5 apart (12.6 rows a cycle).
    ((V0, ("op", "Sqrt")), np.random.default_rng(3).uniform(300.0, 3000.0, 150), False),
    ((V0, ("op", "Sin")), np.arange(0.0, 50.0, 0.5), False),
    # 100.01·month on whole months is the annual cycle, aliased: judged on the distinct values, it is smooth.
    ((("const", 100.01), M, ("op", "Mul"), ("op", "Sin")), np.tile(np.arange(1.0, 13.0), 61), False),
    # Two variables: no order to take the values in.
    ((V0, M, ("op", "Mul"), ("op", "Square"), ("op", "Cos")), np.random.default_rng(3).uniform(300, 3000, 150), False),
])
def test_a_function_that_turns_between_every_few_rows_is_seen(tokens, points, flagged):
    from zor import _fit

    assert _fit.oscillates_between_rows(tokens, [points, points]) is flagged


@pytest.mark.parametrize("spike_target, memorised", [(8.99 / 0.05**2, False), (8.99 / 0.05**2 * 1.5, True)])
def test_a_row_of_high_leverage_that_the_other_rows_predict_is_not_memorised(spike_target, memorised):
    # 8.99/r² on distances from 0.05: the nearest row has a leverage of 0.99, and the other rows predict it
    # (the law) or do not (a row the formula alone would follow)
    from zor import _fit, _run
    from zor._settings import settings_from

    r = np.linspace(0.05, 1.0, 10)
    y = np.round(8.99 / r**2, 2)
    y[0] = spike_target
    run = _run.Run([r], y, ("r",), settings_from("discover", {}), None, None, False)
    inverse_square = (V0, ("op", "Recip"), ("op", "Square"))
    assert _fit.memorises_a_row(run.final_judge.judge_tokens(inverse_square, False), [r], y) is memorised
