"""Few rows: the information criterion's penalty is an asymptotic one, and on eight or a dozen rows a formula
with a constant more can fit the noise of one row by more than it charges (on the eight planets,
6.48·√(sin(0.0238/a)) bends to the rounding of Mercury's speed, which 1/√a leaves). Leaving each row out in
turn and refitting every fitted constant on the others shows it: the bend follows the row it was fitted to
and predicts it no better than the law does. model_selection="best" then takes, on at most LEAVE_ONE_OUT_ROWS
rows, the simplest front entry with fewer fitted constants than its choice that predicts the left-out rows about
as well as the best of them. Only fewer constants: what the check guards against is a constant fitted to one
row's noise, and of two formulas with as many constants it can tell no more than the criterion (a·e^(c·t) and
a·√(e^t) + b on fifteen rows of growth are a token apart, and the rule would always take the shorter)."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._fit import _refit
from zor._domain import box_of
from zor._front import relative_item
from zor._parameter_fits import Problem, fit, log_fits
from zor._results import Formula, fitted_constants

# The most rows the check runs on: a refit per row and front entry, and where the asymptotic penalty fails.
LEAVE_ONE_OUT_ROWS = 20


def leave_one_out_errors(formula: Formula, columns: Sequence[NDArray[np.float64]], target: NDArray[np.float64],
                         relative: bool) -> NDArray[np.float64]:
    """The formula's squared error on each row, its fitted constants refitted on the other rows (for noise
    relative to the value, refitted for and judged on the relative error ln(predicted / y)); inf where a
    refit fails or a prediction is not finite."""
    n = len(target)
    predicted = np.empty(n)
    inner = [token for token in formula.tokens if token[0] == "param"]
    values = None if inner else np.asarray(_native.evaluate(list(formula.tokens), list(columns)), dtype=np.float64)
    for row in range(n):
        train = np.ones(n, dtype=bool)
        train[row] = False
        if relative and not formula.terms and formula.constants.used_scale != 0.0:
            predicted[row] = _relative_prediction(formula, columns, target, train, row)
        elif values is not None:
            predicted[row] = float(_refit(values, target, train, formula, list(columns))(values[row:row + 1])[0])
        else:
            predicted[row] = _parametric_prediction(formula, columns, target, train, row)
    with np.errstate(all="ignore"):
        errors = np.log(predicted / target) if relative else predicted - target
        squared = errors * errors
    return np.where(np.isfinite(squared), squared, math.inf)


def _parametric_prediction(formula: Formula, columns: Sequence[NDArray[np.float64]], target: NDArray[np.float64],
                           train: NDArray[np.bool_], row: int) -> float:
    """A formula with inner parameters refitted on the training rows, from its own constants, each fitted
    one free and each snapped one held; its prediction of `row`."""
    fitted = {parameter.name for parameter in formula.parameters if parameter.exact is None}
    inner = [token for token in formula.tokens if token[0] == "param"]
    used = formula.constants
    constants: list[float] = [float(token[2]) for token in inner]  # type: ignore[misc]
    start = np.array(constants + [used.used_scale, used.used_offset])
    free = np.array([f"c{int(token[1])}" in fitted for token in inner] + ["scale" in fitted, "offset" in fitted])
    refitted = fit(formula.tokens, [column[train] for column in columns], target[train], start, free)
    return math.nan if refitted is None else _prediction(formula, refitted.full, columns, row)


def _relative_prediction(formula: Formula, columns: Sequence[NDArray[np.float64]], target: NDArray[np.float64],
                         train: NDArray[np.bool_], row: int) -> float:
    """The formula's constants refitted on the training rows for the relative error, as the front refits them
    for noise relative to the value (zor._front.relative_item), its snapped inner parameters held; its
    prediction of `row`."""
    tokens, full, free = relative_item(formula)
    held = {parameter.name for parameter in formula.parameters if parameter.exact is not None}
    free[:-2] &= np.array([f"c{i}" not in held for i in range(len(full) - 2)], dtype=bool)
    problem = Problem([np.ascontiguousarray(column[train]) for column in columns], np.ascontiguousarray(target[train]),
                      formula.variable_names, box_of(columns), 0.0, 0, relative=True)
    refitted = log_fits(problem, [(tokens, full, free)])[0]
    return math.nan if refitted is None else _prediction(formula, refitted.full, columns, row)


def _prediction(formula: Formula, full: NDArray[np.float64], columns: Sequence[NDArray[np.float64]], row: int) -> float:
    """scale·f(θ) + offset at `row`, for the constants `full` (the inner parameters, the scale, the offset)."""
    tokens = [("param", int(token[1]), float(full[int(token[1])])) if token[0] == "param" else token
              for token in formula.tokens]
    with np.errstate(all="ignore"):
        value = float(_native.evaluate(tokens, [column[row:row + 1] for column in columns])[0])
        return float(full[-2]) * value + float(full[-1])


def best_predictor(chosen: Formula, front: Sequence[Formula], columns: Sequence[NDArray[np.float64]],
                   target: NDArray[np.float64], relative: bool) -> Formula:
    """On at most LEAVE_ONE_OUT_ROWS rows, the simplest entry of the front no larger than `chosen` and with
    fewer fitted constants (or `chosen` itself) whose leave-one-out error is within one standard error of the lowest (Breiman's rule, as for
    model_selection="validation"); `chosen` itself on more rows. A formula whose constants the other rows
    cannot fix without some row (its refit fails) predicts nothing there: its error is inf."""
    if not 4 <= len(target) <= LEAVE_ONE_OUT_ROWS:
        return chosen
    constants = fitted_constants(chosen)
    entries = sorted((f for f in front if f.complexity < chosen.complexity and fitted_constants(f) < constants),
                     key=lambda formula: formula.complexity)
    if not entries:
        return chosen
    entries.append(chosen)
    table = [leave_one_out_errors(f, columns, target, relative) for f in entries]
    means = [float(np.mean(errors)) for errors in table]
    lowest = int(np.argmin(means))
    if not math.isfinite(means[lowest]):
        return chosen
    spread = float(np.std(table[lowest], ddof=1)) / math.sqrt(len(target))
    return next(f for f, mean in zip(entries, means) if mean <= means[lowest] + spread)
