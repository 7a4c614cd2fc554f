"""The front of one discover call: the ladder's candidates fitted and snapped on every row, the factor
searches' and the stages' formulas, each offered per complexity by the error the front ranks it by
(the root mean square error, or for noise relative to the value the relative error, the formulas'
constants then refitted for it), and kept where it beats every simpler one."""

from __future__ import annotations

import dataclasses
import math
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from zor._constants import Exact
from zor._data import Column
from zor._domain import defined_over
from zor._expression import Token
from zor._fit import kept_out_of_front, unscaled_formula
from zor._noise import relative_error
from zor._parameter_fits import log_fits, problem_for, refit, standard_errors
from zor._parameters import operator_names
from zor._parameter_snapping import formula_from_fit
from zor._results import EXACT_SHARE, Formula, information_criterion, pareto_front
from zor._sums import fit_sum, linear_shapes, rounds_to_zero
from zor._units import consistent

if TYPE_CHECKING:
    from zor._run import Run

# A ladder formula refitted for relative noise is offered without its offset too where that offset lies within
# this many standard errors of 0 (the rule by which a constant snaps to an exact value).
OFFSET_Z = 2.0

def relative_item(formula: Formula) -> tuple[tuple[Token, ...], Column, NDArray[np.bool_]]:
    """The (tokens, constants, free ones) of a formula refitted for noise relative to the value: its inner
    parameters, and its scale and offset unless exact (an exact offset under a fitted scale is fitted too:
    see zor._parameter_fits.log_fits)."""
    used = formula.constants
    inner = [float(token[2]) for token in formula.tokens if token[0] == "param"]  # type: ignore[misc]
    k = len(inner)
    full = np.array(inner + [used.used_scale, used.used_offset])
    # A formula without an offset (one fitted as scale·f alone, see zor._parameter_fits.offset_free_fits) keeps none.
    free = np.array([True] * k + [used.exact_scale is None, used.exact_offset is None and used.used_offset != 0.0])
    if free[k] and not free[k + 1] and full[k + 1] != 0.0:
        free[k + 1] = True
    return tuple(formula.tokens), full, free


def front_of(run: Run) -> tuple[Formula, ...]:
    """The run's front: with scaling, see scaled_front; without, the ladder's candidates as they are."""
    if run.settings.scaling:
        return scaled_front(run)
    return tuple(unscaled_formula(candidate, run.names, run.domain, run.target_mean_square, run.target_variance)
                 for candidate in run.merged.pareto())


def scaled_front(run: Run) -> tuple[Formula, ...]:
    """The candidates of every step, fitted and snapped on every row and
    defined over the box the data span and the gap beyond it where the next
    row may fall (see zor._domain.reach), then per complexity the lowest
    error (relative error, for noise relative to the value), kept where it
    beats every simpler one."""
    candidates = list(run.merged.by_complexity.values())
    if run.merged.best is not None:
        candidates.append(run.merged.best)
    judged = [(tuple(c["tokens"]), c.get("scale", 1.0) == 0.0) for c in candidates]
    judged += [(tokens, False) for tokens in run.factored]
    by_complexity: dict[int, tuple[float, Formula]] = {}
    run.offered = {}

    def offer(formula: Formula) -> None:
        if not consistent(formula, run.units, run.settings.dimensionless_constants):
            return  # unlike quantities added, or a quantity with a dimension inside exp, ln, sin, cos
        error = ranking_error(run, formula)
        run.offered.setdefault(formula.complexity, []).append((error, formula))
        kept = by_complexity.get(formula.complexity)
        if kept is None or kept[0] > error:
            by_complexity[formula.complexity] = (error, formula)

    seen: set[tuple[Token, ...]] = set()
    for tokens, constant in judged:
        if tokens in seen:
            continue
        seen.add(tokens)
        formula = run.final_judge.judge_tokens(tokens, constant)
        if formula is None or not defined_over(formula.tokens, run.domain):
            continue  # undefined on a row, or between the rows
        if rounds_to_zero(formula.tokens, run.columns):
            continue  # zor(ln x, exp x) is rounding noise, which a scale of 1e23 fits to anything
        if kept_out_of_front(formula, run.columns, run.target):
            continue
        if run.relative is not None:
            refitted, without_offset = relative_formulas(run, formula)
            formula = refitted or formula
            if without_offset is not None:
                offer(without_offset)
        offer(formula)
    for formula in run.parametric:  # fitted and checked over the box by zor._parameters
        if not kept_out_of_front(formula, run.columns, run.target):
            offer(formula)
    linear = None
    for shapes in run.sum_shapes:
        formula = fit_sum(shapes, run.columns, run.target, run.names, run.settings.complexity_penalty,
                          run.domain)
        if formula is None:
            continue
        if shapes == linear_shapes(len(run.names)):
            if consistent(formula, run.units, run.settings.dimensionless_constants):
                linear = formula  # the baseline stays whatever its leverage
        elif kept_out_of_front(formula, run.columns, run.target):
            continue
        offer(formula)
    exact = EXACT_SHARE * (1.0 if run.relative is not None else math.sqrt(run.target_mean_square))
    front = tuple(formula for _, formula in pareto_front(by_complexity, lambda entry: entry[0], exact))
    run.linear = linear
    return front


def ranking_error(run: Run, formula: Formula) -> float:
    """The error the front ranks a formula by: its root mean square error, or for noise relative to
    the value its relative error (see zor._noise)."""
    if run.relative is None:
        return formula.error
    return relative_error(np.asarray(formula.predict(run.columns)), run.target)


def relative_criterion(run: Run, formula: Formula) -> float:
    """The information criterion of model_selection="best" on the relative error."""
    return information_criterion(dataclasses.replace(formula, error=ranking_error(run, formula)),
                                 len(run.target), 1.0)


def relative_formula(run: Run, formula: Formula) -> Formula | None:
    """A formula of the ladder with its constants refitted for noise relative to the value; its exact
    scale and offset stay (an exact offset under a fitted scale is fitted too); None where the refit
    fails."""
    return relative_formulas(run, formula)[0]


def relative_formulas(run: Run, formula: Formula) -> tuple[Formula | None, Formula | None]:
    """relative_formula, and where its scale and offset are both fitted and the offset lies within
    OFFSET_Z standard errors of 0, the same refitted without an offset (else None): the ladder snapped its
    offset on the least-squares fit, where the largest rows decide, and the relative error may not tell it
    from none."""
    assert run.relative is not None
    tokens, full, free = relative_item(formula)
    k = len(full) - 2
    fitted = log_fits(run.relative, [(tokens, full, free)])[0]
    if fitted is None:
        return None, None
    exact = _exact_outer(formula, free)
    refitted: Formula | None = formula_from_fit(run.relative, fitted, exact, fitted)  # type: ignore[assignment]
    if refitted is None or not (free[k] and free[k + 1]):
        return refitted, None
    errors, _ = standard_errors(fitted, run.relative)
    if not abs(float(fitted.full[k + 1])) <= OFFSET_Z * float(errors[-1]):
        return refitted, None
    start, fixed = fitted.full.copy(), free.copy()
    start[k + 1], fixed[k + 1] = 0.0, False
    without = log_fits(run.relative, [(tokens, start, fixed)])[0]
    if without is None:
        return refitted, None
    return refitted, formula_from_fit(run.relative, without, exact, without)  # type: ignore[return-value]


def same_noise_formula(run: Run, formula: Formula) -> Formula | None:
    """A formula fitted for noise relative to the value refitted by least squares on every row, the way back
    of relative_formula; its exact constants, inner ones too, stay. None where the refit fails."""
    tokens, full, free = relative_item(formula)
    snapped = {int(p.name[1:]): p.exact for p in formula.parameters if p.exact is not None and p.name[0] == "c"}
    for position in snapped:
        free[position] = False
    settings = run.settings
    problem = problem_for(run.columns, run.target, run.names, run.domain, settings.complexity_penalty,
                          operator_names(settings.use_trig, settings.use_zor))
    fitted = refit(problem, tokens, full, free)
    if fitted is None:
        return None
    exact = _exact_outer(formula, free)
    refitted: Formula | None = formula_from_fit(problem, fitted, {**snapped, **exact}, fitted)  # type: ignore[assignment]
    return refitted


def _exact_outer(formula: Formula, free: NDArray[np.bool_]) -> dict[int, Exact]:
    """The formula's exact scale and offset that a refit from relative_item holds, by position."""
    used, k = formula.constants, len(free) - 2
    return {k + i: value for i, value in enumerate((used.exact_scale, used.exact_offset))
            if value is not None and not free[k + i]}
