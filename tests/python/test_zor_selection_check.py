"""The search's own held-out error: each fold is judged by a formula chosen without it, and the linear
model keeps its place unless the search beats it by more than the noise between folds."""

import math

import numpy as np
import pytest

from zor import _fit


class Constant:
    def __init__(self, value):
        self.value = value

    def predict(self, columns):
        return np.full(len(columns[0]), self.value)


def test_the_search_never_sees_the_fold_it_is_judged_on():
    target = np.arange(40.0)
    calls = []

    def choose(columns, rows):
        calls.append(set(rows.tolist()))
        return None if len(calls) == 3 else Constant(float(np.mean(rows)))

    errors = _fit.search_held_out_errors(choose, [target.copy()], target)
    fold = _fit._folds(len(target))
    assert [rows for rows in calls] == [set(target[fold != k].tolist()) for k in range(_fit.VALIDATION_FOLDS)]
    assert math.isinf(errors[2]) and np.all(np.isfinite(np.delete(errors, 2)))


LINEAR = np.array([10.0, 12.0, 9.0, 11.0, 10.0])


class Sized:
    def __init__(self, complexity, variables=1):
        self.complexity = complexity
        self.tokens = tuple(("var", k) for k in range(variables))


@pytest.mark.parametrize("search, complexity, expected", [
    ([5.0, 6.0, 4.0, 6.0, 5.0], 9, "chosen"),  # better on every fold
    ([4.0, 25.0, 3.0, 9.0, 8.0], 9, "linear"),  # lower on average, but within the folds' noise
    ([1.0, 1.0, 1.0, 1.0, math.inf], 9, "linear"),  # fails a fold
    ([12.0, 13.0, 10.0, 12.0, 11.0], 9, "linear"),
    # Ahead by more than the plain standard error (0.71), not by the one widened for overlapping folds (1.06)
    ([8.0, 12.0, 6.0, 10.0, 11.0], 9, "linear"),
])
def test_the_linear_model_keeps_its_place_unless_clearly_beaten(monkeypatch, search, complexity, expected):
    models = {"chosen": Sized(complexity), "linear": Sized(6)}
    monkeypatch.setattr(_fit, "held_out_errors", lambda formula, columns, target: LINEAR)
    target = np.linspace(1.0, 2.0, 20)
    picked = _fit.linear_unless_better(models["chosen"], models["linear"], [target], target, np.array(search))
    assert picked is models[expected]


@pytest.mark.parametrize("own, complexity, variables, expected", [
    # no larger than the linear model over all its variables: no worse on its own folds is enough, whatever
    # the search's
    (LINEAR - 0.1, 6, 2, "chosen"),
    (LINEAR - 0.1, 5, 2, "chosen"),
    (LINEAR + 0.1, 6, 2, "linear"),
    # larger, or leaving a variable out: the search must beat the linear model clearly (it does not here)
    (LINEAR - 0.1, 7, 2, "linear"),
    (LINEAR - 0.1, 5, 1, "linear"),
])
def test_a_formula_as_small_as_the_linear_model_has_only_to_do_no_worse(monkeypatch, own, complexity, variables,
                                                                         expected):
    models = {"chosen": Sized(complexity, variables), "linear": Sized(6, 2)}
    monkeypatch.setattr(_fit, "held_out_errors",
                        lambda formula, columns, target: own if formula is models["chosen"] else LINEAR)
    target = np.linspace(1.0, 2.0, 20)
    search = np.array([12.0, 13.0, 10.0, 12.0, 11.0])  # the search itself behind the linear model
    picked = _fit.linear_unless_better(models["chosen"], models["linear"], [target, target], target, search)
    assert picked is models[expected]


def test_a_rejected_larger_choice_falls_back_to_a_law_as_small_as_the_linear_model():
    # A product of powers, 0.0024·D²·H, on 24 rows with 6 % noise: the search's own folds do not carry the
    # larger formula it chose, and the law, as small as the linear model over both variables and closer to
    # the rows, takes its place, not the linear model.
    import zor

    rng = np.random.default_rng(1)
    D, H = rng.uniform(8, 21, 30), rng.uniform(63, 87, 30)
    V = 0.0024 * D**2 * H * (1 + 0.06 * rng.standard_normal(30))
    train = np.random.default_rng(7).permutation(30) % 5 != 1
    best = zor.discover(np.column_stack([D, H])[train], V[train], variable_names=["D", "H"], progress=False).best
    predicted = best.predict(np.column_stack([D, H]))
    assert np.corrcoef(predicted, D**2 * H)[0, 1] > 1 - 1e-9, best.formula
