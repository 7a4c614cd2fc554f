"""Our tool in the recovery benchmark: zor.discover.

Every runner returns the model's text and a function that predicts on new
rows (zor's own evaluation, with the search's guards: NaN where the formula
is undefined).
"""

from __future__ import annotations

import math
import time

import numpy as np
import zor
from zor._ladder import LADDER

from recovery_problems import EXACT, PROBLEMS, exact_suite_data, relative_error

# Scaled mode's cost is timed at these settings, without a time limit, on
# COST_ROWS rows of two variables; the best of COST_REPEATS runs of each mode counts.
COST_SETTINGS = {"max_complexity": 8, "beam_width": 20000}
COST_ROWS = 100
COST_REPEATS = 5
COST_TARGET = 1.5


def ladder_text():
    """The ladder the exact suite climbs, as (max_complexity, beam_width) pairs."""
    return ", ".join(f"({complexity}, {width})" for complexity, width in LADDER)


def nothing_found(X):
    return np.full(len(X), np.nan)


def model_of(result):
    if result.best is None:
        return "(nothing within the budget)", nothing_found
    last = result.levels[-1]
    return f"{result.best.formula} [{last.max_complexity}, {last.beam_width}]", result.predict


def fit_exact(X, y, budget):
    """The exact suite: the search without fitted constants, as find_formula
    runs it (bit for bit at equal settings), climbing zor's ladder of settings
    (LADDER) until a step reaches the precision goal or the budget is spent.
    The text ends with the last settings the climb reached."""
    return model_of(zor.discover(X, y, scaling=False, time_limit=budget, progress=False))


def fit_constants(X, y, names, budget, cores):
    """The constants suite: discover's defaults (fitted and snapped constants)
    with the budget as its time limit; the worker pool is sized by the caller."""
    result = zor.discover(X, y, variable_names=names, time_limit=budget, progress=False)
    if result.best is None:
        return "(nothing within the budget)", nothing_found
    return result.best.formula, result.predict


def cost_columns():
    """COST_ROWS rows of two variables and a target that these settings do not
    reach, scaled or not, so that every run goes through all its levels."""
    rows = np.arange(COST_ROWS)
    columns = [0.5 + 2.5 * ((rows * 0.6180339887 * (k + 1)) % 1.0) for k in range(2)]
    return columns, columns[0] ** 1.5 / (1.0 + columns[1]) + 0.3 * np.sin(columns[0])


def scaling_cost():
    """{"unscaled": s, "scaled": s}: the best of COST_REPEATS timed searches at COST_SETTINGS in each mode."""
    columns, y = cost_columns()
    # Alternating modes: a passing load on the shared machine then slows both alike or neither.
    best = {False: math.inf, True: math.inf}
    for _ in range(COST_REPEATS):
        for scaling in (False, True):
            start = time.perf_counter()
            zor.discover(columns, y, precision_goal=0.0, progress=False, scaling=scaling, **COST_SETTINGS)
            best[scaling] = min(best[scaling], time.perf_counter() - start)
    return {"unscaled": best[False], "scaled": best[True]}


def exact_suite_with_scaling(index, scaling, budget):
    """Whether discover with `scaling` and the budget as its time limit
    recovers exact-suite problem `index`, by that suite's criterion."""
    X, y, X_fresh, y_fresh = exact_suite_data(PROBLEMS[index])
    result = zor.discover(X, y, time_limit=budget, progress=False, scaling=scaling)
    error = math.inf
    if result.best is not None:
        with np.errstate(all="ignore"):
            error = relative_error(result.predict(X_fresh), y_fresh)
    return {"recovered": error <= EXACT, "error": error, "model": "" if result.best is None else result.best.formula}
