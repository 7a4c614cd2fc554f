"""The stages after the ladder, each entered once with the run (zor._run.Run) and adding to it: the noise
model (`weigh_noise`: noise relative to the value or the same on every row), the parametric stage
(`fit_parameters`, whose first run a climbing ladder makes early: `early_parameters`), the sums of terms
(`find_sums`) and the search's own held-out error on few rows (`check_search`). What they add becomes
the front in zor._front; zor._selection chooses from it."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

import numpy as np

from zor._data import Column, rms
from zor._fit import VALIDATION_FOLDS, search_held_out_errors
from zor._front import relative_formula, relative_item, same_noise_formula
from zor._grouped import grouped_parameters
from zor._noise import prefers_relative, sign_of, worth_fitting
from zor._oscillations import envelope_cycle_terms
from zor._parameter_fits import fit, log_fits, problem_for
from zor._parameters import operator_names, parametric_stage
from zor._periodic import periodic_terms
from zor._results import Formula
from zor._settings import SearchSettings
from zor._sums import Shape, TermPool, linear_shapes, residual_targets, term_library

if TYPE_CHECKING:
    from zor._run import Run

# Sums of terms (scaling, max_terms of 2 or more; see zor._sums): a search with a time limit leaves this
# share of it to the searches of what the best sums leave over, all of them at each size of
# RESIDUAL_SEARCHES in turn when climbing (else at the settings given, but no larger than its first size:
# there are a dozen residuals to search, and without a time limit each at (8, 20000) would cost the search
# ten times over). A formula that meets the precision goal needs no sum, and none is sought.
SUM_SHARE = 0.15
RESIDUAL_SEARCHES = ((8, 2000), (10, 5000))
# A sum of D terms is sought only on ROWS_PER_COEFFICIENT x (D + 1) rows or more: on fewer, sums of terms
# picked from hundreds fit the noise (three terms fit Kepler's eight planets to a thousandth, and on fifty
# noisy rows a held-out check chosen after them is fooled).
ROWS_PER_COEFFICIENT = 20
# On fewer rows, a sum is still sought where the data hold a cycle, of the cycle's own terms (the
# periodogram's significant peaks and the envelope × cycle fits) and the raw variables alone: a handful of
# terms that a significance test put forward, not hundreds chosen by their fit, so fewer rows per
# coefficient suffice. Beats or a damped cycle about a drift on 45-59 rows take two terms; 44 rows or fewer
# (everyday data) never get a sum.
ROWS_PER_CYCLE_COEFFICIENT = 15
# The searches of residuals leave this share of that time for choosing and fitting the sums.
SUM_FIT_SHARE = 0.3
# On at most CHECKED_ROWS rows over two or more variables, model_selection="best" weighs
# the linear model against the search itself: the whole search runs again without each of the five folds,
# and its choice is judged on the fold (zor._fit.search_held_out_errors). On so few rows a shape picked
# from thousands on every row fits their noise, and its held-out error with only its constants refitted
# flatters it. The five searches share CHECK_SHARE of a time limit; without one, they run at the settings
# given: five times a search on so few rows, a second or less, where the formula's own held-out error put
# a shape below the linear model on half of small noisy linear data sets (R² 0.11 against 0.66).
CHECKED_ROWS = 100
CHECK_SHARE = 0.25


def weigh_noise(run: Run, stage_formulas: Sequence[Formula] = ()) -> None:
    """For model_selection="best" with scaling, whether the noise grows with the value (see
    zor._noise.prefers_relative), each formula of the ladder's front (and `stage_formulas`, the
    parametric stage's) weighed under both models; the formulas are then fitted and ranked on their
    relative errors, the stage's formulas so far refitted. Once chosen, the relative model is weighed
    again at each later call, on the ladder's front then and every formula of the stages, and given up
    where the same noise on every row now explains the rows better: a ladder stopped early, or one
    without a time limit, may hold only approximants, whose misfit grows with the value (the law
    kb·v/(A·(γ − 1)) under noise of the same size on every row, found by a later step)."""
    settings = run.settings
    if not (settings.scaling and settings.model_selection == "best") or run.reached_goal():
        return
    judged = [f for f in map(run.judge.judge, run.merged.pareto()) if f is not None] + list(
        stage_formulas if run.relative is None else run.parametric)
    if not judged or sign_of(run.target) is None or sign_of(run.search_target) is None:
        return
    operators = operator_names(settings.use_trig, settings.use_zor)
    searched = problem_for(run.search_columns, run.search_target, run.names, run.domain,
                           settings.complexity_penalty, operators, relative=True)
    # Each formula under both models: its least-squares fit, and its constants refitted on the log
    # ratios (as zor._front.relative_formula refits them), in one batch.
    refitted = log_fits(searched, [relative_item(formula) for formula in judged])
    n = len(run.search_target)
    fits = []
    for formula, log_fit in zip(judged, refitted):
        fits.append((formula.complexity, _least_squares_error(run, formula),
                     None if log_fit is None else log_fit.sse / n))
    relative = prefers_relative(fits, run.search_target)
    if relative and run.relative is None:
        run.relative = problem_for(run.columns, run.target, run.names, run.domain,
                                   settings.complexity_penalty, operators, relative=True)
        run.parametric = [relative_formula(run, formula) or formula for formula in run.parametric]
    elif not relative and run.relative is not None:
        run.relative = None
        run.parametric = [same_noise_formula(run, formula) or formula for formula in run.parametric]


def _least_squares_error(run: Run, formula: Formula) -> float:
    """The mean squared error of the formula on the search's rows, its constants fitted by least squares
    (refitted, for a formula fitted on the relative error)."""
    if run.relative is not None:
        tokens, full, free = relative_item(formula)
        fitted = fit(tokens, run.search_columns, run.search_target, full, free) if free.any() else None
        if fitted is not None:
            return fitted.sse / len(run.search_target)
    with np.errstate(all="ignore"):
        residual = np.asarray(formula.predict(run.search_columns), dtype=np.float64) - run.search_target
    return float(np.mean(residual * residual))


def early_parameters(run: Run) -> None:
    """The climb's first parametric stage, at the size a search without a time limit gives it (see
    EARLY_PARAMETERS_SIZE); once."""
    if run.early_seconds is not None:
        return
    started = time.monotonic()
    weigh_noise(run)
    _parametric_stage(run, dataclasses.replace(run.settings, time_limit=None))
    run.early_seconds = time.monotonic() - started


def fit_parameters(run: Run) -> None:
    """With scaling, formulas with parameters inside (see zor._parameters), unless the search
    already reached its goal. When climbing, the stage at the size of a search without a time limit
    first, unless it ran early, then at the ladder's own size if the time left to it is more than the
    first took: the larger stage screens thousands of shapes and with less would run out of time
    before it fitted one."""
    if not run.settings.climbing:
        _parametric_stage(run, run.settings)
        return
    early_parameters(run)
    left = run.remaining(run.sum_reserve + run.check_reserve)
    if left is not None and run.early_seconds is not None and left > run.early_seconds:
        _parametric_stage(run, run.settings)


def _parametric_stage(run: Run, settings: SearchSettings) -> None:
    """The parametric stage at the size these settings give it, on the ladder's front so far, until the
    time limit less the shares of the stages after it; its formulas join those of earlier runs."""
    best = run.merged.best
    found = [(c["complexity"], c["rmse"]) for c in run.merged.by_complexity.values()]
    if not run.fitting or (best is not None and (
            run.goal >= best["score"]
            or not worth_fitting(run.settings, run.search_columns, run.search_target, found))):
        return
    limit = run.settings.time_limit
    run.announce("free parameters")
    front = [tuple(candidate["tokens"]) for candidate in run.merged.pareto()]
    formulas, cut_short = parametric_stage(
        run.search_columns, run.search_target, run.names, run.domain, settings, front,
        None if limit is None else run.started + limit - run.sum_reserve - run.check_reserve, run.columns, run.target,
        relative=run.relative is not None)
    if run.reduction is not None:
        grouped, grouped_cut = grouped_parameters(
            run, settings, None if limit is None else run.started + limit - run.sum_reserve - run.check_reserve)
        formulas += grouped
        cut_short = cut_short or grouped_cut
    run.parametric += formulas
    run.cut_short = run.cut_short or cut_short
    # A law with a constant inside may show noise relative to the value that the ladder's approximants,
    # fitted to the largest values, hide (a logistic from 1 % to 99 % of its plateau).
    weigh_noise(run, formulas)


def find_sums(run: Run) -> None:
    """The sums worth refitting on every row (see zor._sums), unless a single formula meets the
    precision goal: the linear model on the raw variables always, which costs one least-squares fit;
    then, unless the time is up, a pool of terms from the library, the ladder's shapes and searches of
    what the best sums leave over, screened and searched exactly."""
    best = run.merged.best
    if not run.summing or (best is not None and run.goal >= best["score"]):
        return
    rows, variables = len(run.search_target), len(run.names)
    if variables >= 2 and rows > variables + 1:
        run.sum_shapes.append(linear_shapes(variables))
    remaining = run.remaining(run.check_reserve)
    if remaining is not None and remaining <= 0.0:
        return
    terms = min(run.settings.max_terms, rows // ROWS_PER_COEFFICIENT - 1)
    if terms < 2:
        _cycle_sums(run, min(run.settings.max_terms, rows // ROWS_PER_CYCLE_COEFFICIENT - 1))
        return
    run.announce("sums of terms")
    pool = TermPool(run.search_columns, run.search_target, terms)
    pool.add(term_library(len(run.names), run.settings.use_trig))
    if run.settings.use_trig:
        pool.add(periodic_terms(run.search_columns, run.search_target, terms))
        pool.add(envelope_cycle_terms(run.search_columns, run.search_target))
    library = len(pool.shapes)
    pool.add(tuple(c["tokens"]) for c in run.merged.by_complexity.values() if c["scale"] != 0.0)
    pool.add(run.factored)
    if run.reduction is not None and run.reduction.factor_tokens:
        pool.add([run.reduction.factor_tokens])  # y = P·(a·g + b) is the sum a·(P·g) + b·P
    first = RESIDUAL_SEARCHES[0]
    sizes = RESIDUAL_SEARCHES if run.settings.climbing else (
        (min(run.last_step[0], first[0]), min(run.last_step[1], first[1])),)
    for size in sizes:
        for residual in residual_targets(pool, run.search_target, library):
            shapes = _residual_search(run, np.ascontiguousarray(residual), size)
            if shapes is None:
                break
            pool.add_found(shapes, residual)
    run.sum_shapes += pool.candidates(library)


def _cycle_sums(run: Run, terms: int) -> None:
    """Sums of up to `terms` of the cycles' terms and the raw variables (see ROWS_PER_CYCLE_COEFFICIENT);
    none where the periodogram shows no cycle."""
    if terms < 2 or not run.settings.use_trig:
        return
    cycles = periodic_terms(run.search_columns, run.search_target, terms)
    cycles += envelope_cycle_terms(run.search_columns, run.search_target)
    if not cycles:
        return
    run.announce("sums of cycles")
    pool = TermPool(run.search_columns, run.search_target, terms)
    pool.add(((("var", k),) for k in range(len(run.names))))
    pool.add(cycles)
    run.sum_shapes += pool.candidates(len(pool.shapes))


def _residual_search(run: Run, residual: Column, size: tuple[int, int]) -> list[Shape] | None:
    """The shapes of one scaled search of a residual, or None when the time is up."""
    remaining = run.remaining(SUM_FIT_SHARE * run.sum_reserve + run.check_reserve)
    if remaining is not None and remaining <= 0.0:
        run.cut_short = True
        return None
    spread = rms(residual)
    if not spread > 0.0:
        return []
    try:
        outcome = run.search(run.search_columns, residual, run.settings.at(
            *size, scaling=True, precision_goal=run.settings.precision_goal * spread), run.variable_dimensions,
            time_limit=remaining)
    except MemoryError:
        return []
    return [tuple(c["tokens"]) for c in outcome["front"] if c["scale"] != 0.0]


def check_search(run: Run, discover: Callable[[list[Column], Column, SearchSettings], Formula | None]) -> None:
    """On few rows, the search's own held-out error (see CHECKED_ROWS), for model_selection="best" to
    weigh the linear model against: `discover` (the whole search, without this check, on the rows and
    settings given; its best formula) runs without each fold; with a time limit each of the five gets a
    fifth of the time left."""
    if not run.checking:
        return
    remaining = run.remaining()
    if remaining is not None and remaining <= 0.0:
        return  # no time left: the formula's own held-out error stands in
    run.announce("the search without each fold")
    inner = dataclasses.replace(run.settings, time_limit=None if remaining is None else remaining / VALIDATION_FOLDS)

    def search(columns: list[Column], target: Column) -> Formula | None:
        return discover(columns, target, inner)

    run.search_errors = search_held_out_errors(search, run.columns, run.target)
