"""Refitting and snapping: every candidate f of the scaled search fitted as y = a·f + b on given rows,
its constants snapped to exact values where the fit stays as good (see zor._constants), and judged as
a Formula; an unscaled candidate made a Formula as the search scored it."""

from __future__ import annotations

import math
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._constants import FitStatistics, Snapped, affine_text, affine_values, snap
from zor._data import Column
from zor._domain import Box
from zor._expression import UNARY, Token, to_text
from zor._results import EXACT_SHARE, Formula

if TYPE_CHECKING:
    from zor._native import Candidate


def least_squares(values: NDArray[np.float64], y: NDArray[np.float64]) -> tuple[float, float, float, float, float]:
    """The least-squares fit y = scale·values + offset: (mean of values, mean of y, the values' sum of
    squared deviations, scale, offset); scale 0 and offset the mean of y when the values do not vary."""
    f_mean, y_mean = float(np.mean(values)), float(np.mean(y))
    centred = values - f_mean
    sff = float(np.sum(centred * centred))
    scale = float(np.sum(centred * (y - y_mean))) / sff if sff > 0.0 else 0.0
    return f_mean, y_mean, sff, scale, y_mean - scale * f_mean


class Judge:
    """Fits, snaps and scores scaled candidates on given rows."""

    def __init__(self, columns: list[Column], target: Column, names: tuple[str, ...], penalty: float,
                 domain: Box) -> None:
        self.columns, self.target, self.names, self.penalty, self.domain = columns, target, names, penalty, domain
        self.cache: dict[tuple[Token, ...], Formula | None] = {}

    def judge(self, candidate: Candidate) -> Formula | None:
        return self.judge_tokens(tuple(candidate["tokens"]), candidate.get("scale", 1.0) == 0.0)

    def judge_tokens(self, tokens: tuple[Token, ...], constant: bool = False) -> Formula | None:
        if tokens not in self.cache:
            self.cache[tokens] = self._judge(tokens, constant)
        return self.cache[tokens]

    def _judge(self, tokens: tuple[Token, ...], constant: bool) -> Formula | None:
        if constant:
            tokens = (("const", 1.0),)
        values = np.asarray(_native.evaluate(list(tokens), self.columns), dtype=np.float64)
        if not np.all(np.isfinite(values)):
            return None  # defined on the rows the search saw, not on all of them
        y = self.target
        n = len(y)
        f_mean, y_mean, sff, scale, offset = least_squares(values, y)
        largest = float(np.max(np.abs(values)))
        if constant or not sff > (1e-9 * largest) ** 2 * n:
            constant, scale, offset = True, 0.0, y_mean
        if not (math.isfinite(scale) and math.isfinite(offset)):
            return None
        residual = (scale * values + offset) - y
        stats = FitStatistics(n, f_mean, y_mean, sff, float(np.sum(residual * residual)), float(np.sum(y * y)))
        snapped = snap(stats, scale, offset, constant)
        flipped, snapped = _positive_scale(tokens, snapped)
        if flipped != tokens:
            tokens, values = flipped, -values
        predicted = affine_values(values, snapped)
        error = float(np.sqrt(np.mean((predicted - y) ** 2)))
        complexity = 1 if constant else len(tokens) + (snapped.used_scale != 1.0) + (snapped.used_offset != 0.0)
        mean_square, variance = float(np.mean(y * y)), float(np.var(y))
        return Formula(
            complexity=complexity,
            error=error,
            score=_native.penalised_score(error, complexity, self.penalty),
            formula=affine_text(to_text(tokens, self.names), snapped),
            tokens=tokens,
            variable_names=self.names,
            scale=snapped.scale,
            offset=snapped.offset,
            exact_scale=snapped.exact_scale,
            exact_offset=snapped.exact_offset,
            relative_error=error / math.sqrt(mean_square) if mean_square > 0 else math.nan,
            r2=1.0 - error * error / variance if variance > 0 else math.nan,
            domain=self.domain,
        )


def _positive_scale(tokens: tuple[Token, ...], snapped: Snapped) -> tuple[tuple[Token, ...], Snapped]:
    """A negative scale of a difference or a negation, moved into it:
    -a * (u - v) is a * (v - u), and -a * (-u) is a * u, bit for bit, since
    rounding is symmetric in sign; so x - y is not written as -1 * (y - x)."""
    if not snapped.used_scale < 0.0 or tokens[-1] not in (("op", "Sub"), ("op", "Neg")):
        return tokens, snapped
    if tokens[-1] == ("op", "Neg"):
        flipped = tokens[:-1]
    else:
        depth, split = 0, 0
        for i, token in enumerate(tokens[:-1]):
            depth += 1 if token[0] != "op" else 0 if token[1] in UNARY else -1
            if depth == 1:
                split = i + 1
        flipped = tokens[split:-1] + tokens[:split] + (("op", "Sub"),)
    exact = snapped.exact_scale
    return flipped, Snapped(-snapped.scale, snapped.offset, None if exact is None else (-exact[0],) + exact[1:],
                            snapped.exact_offset)


def unscaled_formula(candidate: Candidate, names: tuple[str, ...], domain: Box,
                     target_mean_square: float = math.nan, target_variance: float = math.nan) -> Formula:
    tokens = tuple(candidate["tokens"])
    error = candidate["rmse"]
    return Formula(
        complexity=candidate["complexity"],
        error=error,
        score=candidate["score"],
        formula=to_text(tokens, names),
        tokens=tokens,
        variable_names=names,
        relative_error=error / math.sqrt(target_mean_square) if target_mean_square > 0 else math.nan,
        r2=1.0 - error * error / target_variance if target_variance > 0 else math.nan,
        domain=domain,
    )


# model_selection="validation": the rows are dealt into this many folds by a fixed permutation.
VALIDATION_FOLDS = 5


def _folds(n: int) -> NDArray[np.intp]:
    """Each row's fold: the rows dealt into VALIDATION_FOLDS folds by a permutation fixed by their number."""
    fold = np.empty(n, dtype=np.intp)
    fold[np.random.default_rng(n).permutation(n)] = np.arange(n) % VALIDATION_FOLDS
    return fold


# A row of at least this leverage is fitted by itself: the formula's constants follow that row's target
# whatever it is. 1e153·exp(−x) + b is zero on every row but the one with the least x, which it matches
# exactly, and on a new row with a smaller x it predicts anything. (A law's widest row stays well below:
# Neptune's period in T = a^1.5 over the eight planets has leverage 0.8.)
MEMORISED = 0.99
# Such a row is memorised unless the fit of the other rows predicts it: its externally studentised
# residual (Belsley, Kuh and Welsch, Regression Diagnostics, 1980) within the two-sided quantile of
# Student's t at this level. 8.99/r² on distances from 0.05 gives the nearest row a leverage of 0.99, but
# the other rows fix the scale and predict that row to its noise; 1e153·exp(−x) + b says nothing of it.
AGREEMENT_LEVEL = 0.99


def memorises_a_row(formula: Formula, columns: Sequence[NDArray[np.float64]], target: NDArray[np.float64]) -> bool:
    """Whether some row's leverage in the formula's least-squares fit (its terms, or its values, beside
    the offset) reaches MEMORISED and the fit of the other rows does not predict that row's target (see
    AGREEMENT_LEVEL); never for an exact formula, where there is no noise to memorise."""
    if formula.scale == 0.0 or not formula.relative_error > EXACT_SHARE:
        return False
    if formula.terms:
        values = np.stack([np.asarray(_native.evaluate(list(term.tokens), list(columns)), dtype=np.float64)
                           for term in formula.terms], axis=1)
    else:
        values = np.asarray(formula.predict(list(columns)), dtype=np.float64).reshape(-1, 1)
    design = np.column_stack([values, np.ones(len(values))])
    if not np.all(np.isfinite(design)) or len(design) <= design.shape[1]:
        return False
    design = design / np.maximum(np.max(np.abs(design), axis=0), 1e-300)
    u, singular, _ = np.linalg.svd(design, full_matrices=False)
    basis = u[:, singular > 1e-12 * singular[0]]
    leverage = np.sum(basis * basis, axis=1)
    rows = np.flatnonzero(leverage >= MEMORISED)
    return any(not _predicted_by_the_others(design, target, int(row)) for row in rows)


def _predicted_by_the_others(design: NDArray[np.float64], target: NDArray[np.float64], row: int) -> bool:
    """Whether the least-squares fit of the other rows predicts `row`'s target within its noise: the
    externally studentised residual (prediction error over its standard error) below Student's quantile
    at AGREEMENT_LEVEL."""
    from scipy.special import stdtrit  # scipy.stats costs a second or two to import

    others = np.ones(len(target), dtype=bool)
    others[row] = False
    rest, y = design[others], target[others]
    coefficients, _, rank, singular = np.linalg.lstsq(rest, y, rcond=None)
    freedom = len(y) - design.shape[1]
    if rank < design.shape[1] or freedom < 1 or not singular[-1] > 1e-9 * singular[0]:
        return False  # the other rows cannot fix the constants without it
    residual = rest @ coefficients - y
    noise = float(np.sum(residual * residual)) / freedom
    # the prediction's variance at the row over the noise variance: 1 + x (XᵀX)⁻¹ xᵀ for the other rows' X
    spread = 1.0 + float(design[row] @ np.linalg.solve(rest.T @ rest, design[row]))
    error = float(design[row] @ coefficients) - float(target[row])
    quantile = float(stdtrit(freedom, 0.5 + AGREEMENT_LEVEL / 2.0))
    return bool(error * error <= quantile * quantile * noise * spread)


# A function of one variable that turns back at more than this share of its distinct values, taken in
# order, varies faster than the rows resolve it: cos(x²) with x in the hundreds is a pseudo-random sign,
# free to fit whatever noise the rows have. (A random sequence turns at two thirds; a sinusoid sampled four
# times a cycle at one half, so a cycle the rows resolve turns less often.)
MOST_TURNS = 0.5
# Fewer distinct values than this say too little about how a function turns between them.
FEWEST_VALUES_FOR_TURNS = 12


def oscillates_between_rows(tokens: Sequence[Token], columns: Sequence[NDArray[np.float64]]) -> bool:
    """Whether a function of a single variable turns back (a local extremum) at more than MOST_TURNS of
    that variable's distinct values in order. On whole months a sine of 100.01·month is the annual cycle
    and is not flagged; on incomes in the hundreds, cos(income²) is."""
    used = {int(token[1]) for token in tokens if token[0] == "var"}
    if len(used) != 1:
        return False
    points = np.unique(columns[used.pop()])
    if len(points) < FEWEST_VALUES_FOR_TURNS:
        return False
    with np.errstate(all="ignore"):
        values = np.asarray(_native.evaluate(list(tokens), [points] * len(columns)), dtype=np.float64)
    if not np.all(np.isfinite(values)):
        return False  # the domain checks judge such a function
    steps = np.diff(values)
    steps = steps[steps != 0.0]
    turns = int(np.count_nonzero(np.sign(steps[:-1]) != np.sign(steps[1:])))  # a product of steps may overflow
    return turns > MOST_TURNS * (len(points) - 2)


def varies_faster_than_rows(formula: Formula, columns: Sequence[NDArray[np.float64]]) -> bool:
    """Whether the formula, or a term of a sum, oscillates between the rows (see oscillates_between_rows),
    unless the formula is exact."""
    if not formula.relative_error > EXACT_SHARE:
        return False
    parts = [term.tokens for term in formula.terms] if formula.terms else [formula.tokens]
    return any(oscillates_between_rows(part, columns) for part in parts)


def kept_out_of_front(formula: Formula, columns: Sequence[NDArray[np.float64]], target: NDArray[np.float64]) -> bool:
    """Whether the rows cannot vouch for a formula: one row fits it by itself and the others do not
    predict it (see memorises_a_row), or it varies faster than they resolve (see varies_faster_than_rows)."""
    return memorises_a_row(formula, columns, target) or varies_faster_than_rows(formula, columns)


def held_out_errors(formula: Formula, columns: Sequence[NDArray[np.float64]],
                    target: NDArray[np.float64]) -> NDArray[np.float64]:
    """The formula's mean squared error on each fold (see _folds), its shape kept and its constants
    refitted on the other folds (see _refit); inf for a fold it is not finite on."""
    fold = _folds(len(target))
    values = np.asarray(_native.evaluate(list(formula.tokens), list(columns)), dtype=np.float64)
    errors = np.empty(VALIDATION_FOLDS)
    for k in range(VALIDATION_FOLDS):
        train, test = fold != k, fold == k
        predicted = _refit(values, target, train, formula, list(columns))(values[test])
        errors[k] = float(np.mean((predicted - target[test]) ** 2))
    return np.where(np.isfinite(errors), errors, math.inf)


def select_by_validation(front: Sequence[Formula], columns: Sequence[NDArray[np.float64]],
                         target: NDArray[np.float64]) -> Formula:
    """model_selection="validation" over a front: the simplest entry whose error on held-out rows is
    within one standard error of the lowest. The rows are dealt into VALIDATION_FOLDS folds by a
    permutation fixed by their number; each entry's shape keeps its tokens while its scale and offset
    (if it has them) are refitted by least squares on the other folds and judged on each fold in turn.
    Errors below EXACT_SHARE of the targets' root mean square count as equal, so an exact law stays
    chosen. With fewer rows than folds this is the lowest error on the data."""
    n = len(target)
    if n < VALIDATION_FOLDS:
        return min(front, key=lambda formula: formula.error if math.isfinite(formula.error) else math.inf)
    floor = max(EXACT_SHARE * float(np.sqrt(np.mean(target * target))), sys.float_info.min)
    # The one-standard-error rule: the simplest entry whose held-out error is within one standard error
    # of the lowest, since the shapes themselves were chosen on every row and the lowest overfits.
    table = [held_out_errors(formula, columns, target) for formula in front]
    means = [max(float(np.mean(errors)), floor * floor) for errors in table]
    lowest = int(np.argmin(means))
    spread = float(np.std(table[lowest], ddof=1)) / math.sqrt(VALIDATION_FOLDS)
    return next(formula for formula, mean in zip(front, means) if mean <= means[lowest] + spread)


def search_held_out_errors(search: Callable[[list[Column], Column], Formula | None],
                           columns: Sequence[NDArray[np.float64]], target: NDArray[np.float64]) -> NDArray[np.float64]:
    """The held-out error of the search itself rather than of a formula it found: on each fold (see
    _folds), the mean squared error of the formula `search` chooses from the other folds' rows alone; inf
    for a fold where it chooses none or predicts a non-finite value."""
    fold = _folds(len(target))
    errors = np.full(VALIDATION_FOLDS, math.inf)
    for k in range(VALIDATION_FOLDS):
        train, test = fold != k, fold == k
        formula = search([np.ascontiguousarray(column[train]) for column in columns],
                         np.ascontiguousarray(target[train]))
        if formula is not None:
            with warnings.catch_warnings():  # a row outside the fold's range gives NaN, counted as inf
                warnings.simplefilter("ignore", RuntimeWarning)
                predicted = formula.predict([column[test] for column in columns])
            errors[k] = float(np.mean((predicted - target[test]) ** 2))
    return np.where(np.isfinite(errors), errors, math.inf)


def uses_every_variable(formula: Formula, variables: int) -> bool:
    """Whether the formula uses each of the variables, as the linear model on them does."""
    return {token[1] for token in formula.tokens if token[0] == "var"} == set(range(variables))


def linear_unless_better(chosen: Formula, linear: Formula | None, columns: Sequence[NDArray[np.float64]],
                         target: NDArray[np.float64], chosen_errors: NDArray[np.float64] | None = None) -> Formula:
    """`chosen`, unless the least-squares linear model on the raw variables (`linear`) has the lower error
    on held-out rows (see held_out_errors), beyond rounding. The linear model's shape was not searched, so
    its held-out error is an honest one, while the chosen formula's shape was picked on every row and its
    held-out error flatters it: the linear model then wins only where it truly predicts better.

    `chosen_errors`, when given, are the search's own held-out errors, the search run again without each
    fold (see search_held_out_errors). On the few rows where they are measured, five folds of a handful of
    rows each, the search must then beat the linear model by more than the standard error of the
    difference fold by fold: the usual model of such data keeps its place unless the data clearly
    prefer another. The folds' training rows overlap, so their differences are correlated and the plain
    standard error of their mean understates the spread: it is widened as Nadeau and Bengio's corrected
    resampled t-test does (Machine Learning 52, 2003), by the variance factor 1/k + n_test/n_train in place
    of 1/k, for k folds.

    A formula no larger than the linear model over all of its variables (a product of powers, a·x^p·z^q,
    against a + b·x + c·z) has only to do no worse on its own folds: the linear model has no claim to be
    the null hypothesis of a model as small as itself. One that leaves a variable out is judged as a larger
    one is: which variables to drop the search chose from many subsets on every row, which its own folds
    flatter (x₁ + x₂ of data linear in four variables)."""
    if linear is None or linear is chosen or len(target) < VALIDATION_FOLDS:
        return chosen
    floor = EXACT_SHARE * float(np.sqrt(np.mean(target * target)))
    theirs = held_out_errors(linear, columns, target)
    if chosen.complexity <= linear.complexity and uses_every_variable(chosen, len(columns)):
        chosen_errors = None  # no larger, over the same variables: its own folds, and no significance asked
    if chosen_errors is None:
        ours = float(np.mean(held_out_errors(chosen, columns, target)))
        return linear if float(np.mean(theirs)) < ours and ours > floor * floor else chosen
    if float(np.mean(chosen_errors)) <= floor * floor:
        return chosen  # the search finds the law exactly without any fold
    if not np.all(np.isfinite(chosen_errors)):
        return linear  # the search's choice fails a fold
    if not np.all(np.isfinite(theirs)):
        return chosen
    gain = theirs - chosen_errors
    folds = len(gain)
    spread = float(np.std(gain, ddof=1)) * math.sqrt(1.0 / folds + 1.0 / (folds - 1))
    return chosen if float(np.mean(gain)) > spread else linear


def _refit(values: NDArray[np.float64], target: NDArray[np.float64], train: NDArray[np.bool_],
           formula: Formula, columns: list[NDArray[np.float64]]) -> Any:
    """The formula's affine part refitted on the training rows: scale and offset for a scaled formula (the
    scale alone where it has no offset), the offset for a constant one, nothing for a formula without
    constants."""
    y = target[train]
    if formula.terms:  # a sum: every coefficient, and the offset if it has one, refitted
        values = np.stack([np.asarray(_native.evaluate(list(term.tokens), columns), dtype=np.float64)
                           for term in formula.terms], axis=1)
        design = values if formula.constants.used_offset == 0.0 else np.column_stack([values, np.ones(len(values))])
        coefficients = np.linalg.lstsq(design[train], y, rcond=None)[0]
        return lambda _f: design[~train] @ coefficients
    if formula.constants.used_scale == 0.0:
        offset = float(np.mean(y))
        return lambda f: np.full(len(f), offset)
    if formula.constants.used_scale == 1.0 and formula.constants.used_offset == 0.0:
        return lambda f: f  # no constant to refit
    if formula.constants.used_offset == 0.0:  # no offset term: refitting one would judge a larger formula
        fitted = values[train]
        square = float(fitted @ fitted)
        through_origin = float(fitted @ y) / square if square > 0.0 else 0.0
        return lambda f: through_origin * f
    scale, offset = least_squares(values[train], y)[3:]
    return lambda f: scale * f + offset
