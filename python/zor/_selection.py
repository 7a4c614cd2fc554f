"""The choice of one discover call's formula from its front, by the model selection asked for (see
`choose`), with the rule that prefers a formula defined where the next row may fall."""

from __future__ import annotations

import dataclasses
import math
from typing import TYPE_CHECKING

import numpy as np

from zor._description_length import operator_kinds, select_by_description_length, with_criterion
from zor._domain import defined_over
from zor._fit import linear_unless_better, select_by_validation, unscaled_formula, uses_every_variable
from zor._front import relative_criterion
from zor._leave_one_out import best_predictor
from zor._parameters import operator_names
from zor._results import EXACT_SHARE, Formula, pareto_front, select_best

if TYPE_CHECKING:
    from zor._run import Run

# model_selection="best" prefers a formula defined where the next row may fall to the chosen one when their
# information criteria differ by no more than this many standard errors of the difference (see
# _criterion_noise): the rows cannot tell the two apart, and the one that stays defined is the safer.
REACH_Z = 1.96


def choose(run: Run, front: tuple[Formula, ...]) -> tuple[tuple[Formula, ...], Formula | None]:
    """The front with each entry's criterion, and the formula the run's model selection chooses from it.

    "best": the lowest information criterion (on the relative error, for noise relative to the value;
    see zor._results.select_best); on few rows, the simplest entry no larger that predicts each row left
    out about as well (zor._leave_one_out.best_predictor); where that is undefined just past the rows, a
    formula defined there within the noise of its criterion (prefer_defined_past_rows); and the linear
    model on the raw variables where the choice does not beat it on held-out rows
    (zor._fit.linear_unless_better), which then joins the front. "validation": the lowest held-out error;
    "description_length": the shortest description; "accuracy": the lowest score (without scaling, the
    search's own best)."""
    selection = str(run.settings.model_selection)
    kinds = operator_kinds(len(operator_names(run.settings.use_trig, run.settings.use_zor)), len(run.names))
    if run.relative is not None:
        front = tuple(dataclasses.replace(f, criterion=relative_criterion(run, f)) for f in front)
    elif run.settings.scaling:
        front = with_criterion(front, selection, run.columns, run.target, kinds)
    if selection == "validation" and front:
        best: Formula | None = select_by_validation(front, run.columns, run.target)
    elif selection == "description_length" and front:
        best = select_by_description_length(front, run.columns, run.target, kinds)
    elif selection == "best" and front:
        chosen = min(front, key=lambda f: f.criterion) if run.relative is not None else select_best(
            front, len(run.target), math.sqrt(run.target_mean_square))
        chosen = best_predictor(chosen, front, run.columns, run.target, run.relative is not None)
        chosen = prefer_defined_past_rows(run, chosen, front)
        best = linear_unless_better(chosen, run.linear, run.columns, run.target, run.search_errors)
        if best is run.linear and chosen is not best:
            best = _no_larger_than_linear(run, front, chosen) or best
        if best not in front:  # the linear model, which simpler formulas beat on the rows but not beyond
            front = tuple(sorted(front + (best,), key=lambda formula: formula.complexity))
    elif run.settings.scaling:
        best = min(front, key=lambda f: (math.isnan(f.score), f.score), default=None)
    else:
        best = None if run.merged.best is None else unscaled_formula(
            run.merged.best, run.names, run.domain, run.target_mean_square, run.target_variance)
    return front, best


def _no_larger_than_linear(run: Run, front: tuple[Formula, ...], rejected: Formula) -> Formula | None:
    """Where the linear model on the raw variables beat the larger choice on held-out rows: the front's entry
    of the lowest criterion among those no larger than the linear model over all of its variables, if it
    does no worse on its own folds (see zor._fit.linear_unless_better), else None. Rejecting a larger
    formula says the rows do not carry its size, not that the linear model is the law: 0.0022·D²·H + 2.5
    against 5.0·D + 0.50·H − 71 on 24 noisy rows of a product of powers, the same size and a fifth closer."""
    linear = run.linear
    assert linear is not None
    rivals = [f for f in front if f.complexity <= linear.complexity and f.complexity < rejected.complexity
              and uses_every_variable(f, len(run.columns))]
    if not rivals:
        return None
    rival = min(rivals, key=lambda f: f.criterion) if run.relative is not None else select_best(
        tuple(rivals), len(run.target), math.sqrt(run.target_mean_square))
    return rival if linear_unless_better(rival, linear, run.columns, run.target) is rival else None


def prefer_defined_past_rows(run: Run, chosen: Formula, front: tuple[Formula, ...]) -> Formula:
    """`chosen`, unless it is undefined just past the rows (ln(year) on years from 1, 1/√a on distances
    from near 0) and the formula defined there with the lowest criterion is within the noise of the
    difference of their criteria (see _criterion_noise). The next row may fall there, but the rows
    cannot tell what happens beyond them: a law that fits clearly better stays chosen, and predict
    answers such a row with NaN and a warning."""
    if _defined_past_rows(run, chosen):
        return chosen
    kinds = operator_kinds(len(operator_names(run.settings.use_trig, run.settings.use_zor)), len(run.names))
    others = [f for f in front if f is not chosen and _defined_past_rows(run, f)]
    past_rows = _past_rows_front(run, front)
    if run.relative is not None:
        others += [dataclasses.replace(f, criterion=relative_criterion(run, f)) for f in past_rows]
    else:
        others += with_criterion(past_rows, "best", run.columns, run.target, kinds)
    alternative = min(others, key=lambda formula: formula.criterion, default=None)
    if alternative is not None and alternative.criterion - chosen.criterion <= _criterion_noise(run, chosen,
                                                                                                  alternative):
        return alternative
    return chosen


def _past_rows_front(run: Run, front: tuple[Formula, ...]) -> tuple[Formula, ...]:
    """The Pareto front of the formulas offered to the front that stay defined on the reach, less those
    of `front`: per complexity, the lowest error among them (checked in order of error, so that the
    box check runs only as far as it must)."""
    past_rows: dict[int, tuple[float, Formula]] = {}
    for complexity, offered in run.offered.items():
        for error, formula in sorted(offered, key=lambda entry: entry[0]):
            if _defined_past_rows(run, formula):
                past_rows[complexity] = (error, formula)
                break
    exact = EXACT_SHARE * (1.0 if run.relative is not None else math.sqrt(run.target_mean_square))
    return tuple(formula for _, formula in pareto_front(past_rows, lambda entry: entry[0], exact)
                 if formula not in front)


def _defined_past_rows(run: Run, formula: Formula) -> bool:
    """Whether the formula stays defined where the next row may fall (see zor._domain.reach); a formula
    exact to the precision goal is the law, and counts as defined wherever it is."""
    return not formula.error > run.goal or defined_over(formula.tokens, run.reach)


def _criterion_noise(run: Run, first: Formula, second: Formula) -> float:
    """How far apart the two formulas' information criteria may lie by chance: REACH_Z times the
    standard error of their difference, −2 times the sum over the rows of the difference of their
    Gaussian log-likelihoods (Vuong's test of non-nested models, Econometrica 57, 1989)."""
    n = len(run.target)
    residuals = []
    for formula in (first, second):
        with np.errstate(all="ignore"):
            predicted = np.asarray(formula.predict(run.columns), dtype=np.float64)
        if run.relative is not None:
            residuals.append(np.log(predicted / run.target))
        else:
            residuals.append(predicted - run.target)
    terms = []
    for residual in residuals:
        variance = float(np.mean(residual * residual))
        if not (np.all(np.isfinite(residual)) and variance > 0.0):
            return 0.0
        terms.append(math.log(variance) + residual * residual / variance)  # −2 × the row's log-likelihood
    return REACH_Z * math.sqrt(n) * float(np.std(terms[0] - terms[1]))
