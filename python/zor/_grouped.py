"""Free parameters over the dimensionless groups: with units, the parametric stage also runs on the groups
and y / P (one or two columns where the variables are four or five, so that it reaches shapes such as
1/(exp(c0/π) − 1) that it never would over the variables), and each formula it fits, a·g(π; θ) + b, is
refitted over the variables as a·P·(g + c) (c = b/a, a parameter of its own) and snapped there, with every
parameter's standard error on the data themselves."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from zor._domain import box_of
from zor._expression import Token
from zor._parameter_fits import Problem, problem_for, refit
from zor._parameter_snapping import formula_from_fit, snap_parameters
from zor._parameters import operator_names, parametric_stage, stage_size
from zor._results import Formula
from zor._settings import SearchSettings

if TYPE_CHECKING:
    from zor._groups import Reduction
    from zor._run import Run


def grouped_parameters(run: Run, settings: SearchSettings, deadline: float | None) -> tuple[list[Formula], bool]:
    """The parametric stage over the run's groups, its formulas refitted over the variables; and whether
    the deadline cut it short."""
    reduction = run.reduction
    assert reduction is not None
    names = tuple(f"π{k + 1}" for k in range(len(reduction.groups)))
    # Without a time limit, not at the larger size few rows give the stage over the variables: over one group
    # that is thousands of shapes, screened again in each fold of the search's own held-out check.
    size = stage_size(settings.max_parameters, len(names), settings.climbing)
    found, cut_short = parametric_stage(run.ladder_columns, run.ladder_target, names, box_of(run.ladder_columns),
                                        settings, [], deadline, size=size)
    operators = operator_names(settings.use_trig, settings.use_zor)
    problem = problem_for(run.columns, run.target, run.names, run.domain, settings.complexity_penalty, operators)
    formulas = []
    for formula in found:
        refitted = _over_variables(formula, reduction, problem, run.ladder_spread)
        if refitted is not None:
            formulas.append(refitted)
    return formulas, cut_short


def _over_variables(formula: Formula, reduction: Reduction, problem: Problem, spread: float) -> Formula | None:
    """a·g(π; θ) + b as a·P·(g + c) over the variables, refitted there from the same constants and snapped
    there by the stage's own rules (see zor._parameter_snapping.snap_parameters)."""
    parameters = {token[1]: float(token[2]) for token in formula.tokens if token[0] == "param"}  # type: ignore[misc]
    k = len(parameters)
    used = formula.constants
    if used.used_scale == 0.0:
        return None
    # An offset that is rounding of y / P (as in _run.EXACT_SHIFT) is none.
    shift = used.used_offset / used.used_scale if abs(used.used_offset) > 1e-12 * spread else 0.0
    tokens: Sequence[Token] = formula.tokens
    inner = [parameters[index] for index in range(k)]
    if shift != 0.0:
        tokens = tuple(tokens) + (("param", k, shift), ("op", "Add"))
        inner.append(shift)
    start = np.array(inner + [used.used_scale, 0.0])
    fitted = refit(problem, reduction.expand(tokens), start, np.array([True] * (len(inner) + 1) + [False]))
    if fitted is None:
        return None
    snapped, exact, original = snap_parameters(problem, fitted)
    made: Formula | None = formula_from_fit(problem, snapped, exact, original)  # type: ignore[assignment]
    return made
