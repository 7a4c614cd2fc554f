"""Few rows: the information criterion's penalty is an asymptotic one, and on eight or a dozen rows a formula
with a constant more can fit the noise of one row by more than it charges (on the eight planets,
6.48·√(sin(0.0238/a)) bends to the rounding of Mercury's speed, which 1/√a leaves). Leaving each row out in
turn and refitting every fitted constant on the others shows it: the bend follows the row it was fitted to
and predicts it no better than the law does. model_selection="best" then takes, on at most LEAVE_ONE_OUT_ROWS
rows, the simplest front entry no larger than its choice that predicts the left-out rows about as well as the
best of them."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._fit import _refit
from zor._parameter_fits import fit
from zor._results import Formula

# The most rows the check runs on: a refit per row and front entry, and where the asymptotic penalty fails.
LEAVE_ONE_OUT_ROWS = 20


def leave_one_out_errors(formula: Formula, columns: Sequence[NDArray[np.float64]], target: NDArray[np.float64],
                         relative: bool) -> NDArray[np.float64]:
    """The formula's squared error on each row, its fitted constants refitted on the other rows (of the
    relative error ln(predicted / y) for noise relative to the value); inf where a refit fails or a
    prediction is not finite."""
    n = len(target)
    predicted = np.empty(n)
    inner = [token for token in formula.tokens if token[0] == "param"]
    values = None if inner else np.asarray(_native.evaluate(list(formula.tokens), list(columns)), dtype=np.float64)
    for row in range(n):
        train = np.ones(n, dtype=bool)
        train[row] = False
        if values is not None:
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
    if refitted is None:
        return math.nan
    tokens = [("param", int(token[1]), float(refitted.full[int(token[1])])) if token[0] == "param" else token
              for token in formula.tokens]
    with np.errstate(all="ignore"):
        value = float(_native.evaluate(tokens, [column[row:row + 1] for column in columns])[0])
        return float(refitted.full[-2]) * value + float(refitted.full[-1])


def best_predictor(chosen: Formula, front: Sequence[Formula], columns: Sequence[NDArray[np.float64]],
                   target: NDArray[np.float64], relative: bool) -> Formula:
    """On at most LEAVE_ONE_OUT_ROWS rows, the simplest entry of the front no larger than `chosen` whose
    leave-one-out error is within one standard error of the lowest (Breiman's rule, as for
    model_selection="validation"); `chosen` itself on more rows. A formula whose constants the other rows
    cannot fix without some row (its refit fails) predicts nothing there: its error is inf."""
    if not 4 <= len(target) <= LEAVE_ONE_OUT_ROWS:
        return chosen
    entries = sorted((f for f in front if f.complexity < chosen.complexity), key=lambda formula: formula.complexity)
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
