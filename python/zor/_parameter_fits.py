"""Least-squares fits of a shape's inner parameters, scale and offset (Eigen's Levenberg–Marquardt in
zor._native), for the same noise on every row or for noise relative to the value (`log_fits`), and the
standard errors of what they fit. `Problem` holds the data a fit is made and judged on."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._constants import SNAP_FLOOR, SNAP_GATE
from zor._description_length import operator_kinds
from zor._domain import Box
from zor._derivatives import Array, values_at
from zor._derivatives import value_and_gradient
from zor._expression import Token
from zor._noise import sign_of


# Evaluations a fit may take per fitted constant (and one more): a fit converges in a few dozen, and
# one that wanders off (a rate drifting to 0 on data that has none) is given up early.
MAX_EVALUATIONS = 40

# The 95 % quantile of Student's t is taken from SciPy; a standard error is computed on the sum of
# squared errors floored at SNAP_FLOOR times the targets' sum of squares (rounding on exact data).
LEVEL = 0.95


@dataclass(frozen=True)
class Fit:
    """A least-squares fit of scale·f(parameters) + offset; `full` holds the inner parameters, the
    scale and the offset, `free` which of them were fitted (the others are fixed at exact values)."""

    tokens: tuple[Token, ...]
    full: Array
    free: NDArray[np.bool_]
    sse: float
    jacobian: Array  # rows × free parameters, at the optimum

    @property
    def inner(self) -> Array:
        return self.full[:-2]


def fit(tokens: Sequence[Token], columns: Sequence[Array], y: Array, start: Array,
        free: NDArray[np.bool_] | None = None) -> Fit | None:
    """Levenberg–Marquardt (Eigen's, in zor._native) from `start` (inner parameters, scale, offset), fitting
    the entries marked `free` (all by default). None when it does not converge, when the formula is not
    finite on every row at the optimum, or when the Jacobian there is singular."""
    free = np.ones(len(start), dtype=bool) if free is None else free
    base = np.array(start, dtype=np.float64)
    if int(free.sum()) > len(y) or not np.all(np.isfinite(base)):
        return None
    result = _native.fit_parameters(tokens, columns, y, base, free.tolist(), evaluations_per_entry=MAX_EVALUATIONS)
    return _fit_from(tuple(tokens), free, len(y), result)


def _fit_from(tokens: tuple[Token, ...], free: NDArray[np.bool_], rows: int,
              result: tuple[str, bytes, float, bytes]) -> Fit | None:
    """The Fit of a native result (status, full, sse, Jacobian), or None unless it converged."""
    status, full, sse, jacobian = result
    if status != "converged":
        return None
    return Fit(tokens, np.frombuffer(full, dtype=np.float64).copy(), free.copy(), sse,
               np.frombuffer(jacobian, dtype=np.float64).reshape(rows, int(free.sum())))


def log_fits(problem: Problem, items: Sequence[tuple[tuple[Token, ...], Array, NDArray[np.bool_]] | None]) -> list[Fit | None]:
    """Each (tokens, full, free) refitted from `full` for noise relative to the value: the entries marked
    free minimise Σ ln(m / y)² for m = a·f(θ) + b, by Eigen's Levenberg–Marquardt on the shape
    ln(±(f(θ) + c)) with scale 1 and offset ln|a| (c = b/a), in one native batch. The Fit is in the
    formula's own constants (θ, a, b), its sse that sum, its Jacobian that of ln(m / y). None for a
    scale of 0, a fixed offset other than 0 under a free scale (c = b/a cannot hold it), a fit that does
    not converge, or one whose model leaves the targets' sign on a row."""
    sign = problem.sign
    jobs, layouts = [], []
    for item in items:
        layout = None if item is None or sign is None else _log_job(item, sign)
        layouts.append(layout)
        if layout is not None and layout[1] is not None:
            jobs.append(layout[1])
    results = iter(_native.fit_parameters_batch(jobs, problem.columns, problem.log_target,
                                                evaluations_per_entry=MAX_EVALUATIONS) if jobs else [])
    fits: list[Fit | None] = []
    for item, layout in zip(items, layouts):
        if item is None or layout is None:
            fits.append(None)
            continue
        flip, job, free = layout
        if job is None:  # nothing free: the formula at its constants
            fits.append(_log_fit_at(problem, item[0], item[1], free))
            continue
        status, found, _, _ = next(results)
        if status != "converged":
            fits.append(None)
            continue
        log_full = np.frombuffer(found, dtype=np.float64)
        k = len(item[1]) - 2
        scale = flip * math.exp(float(log_full[k + 2]))
        full = np.concatenate([log_full[:k], [scale, scale * float(log_full[k])]])
        fits.append(_log_fit_at(problem, item[0], full, free))
    return fits


def _log_job(item: tuple[tuple[Token, ...], Array, NDArray[np.bool_]], sign: float
             ) -> tuple[float, tuple[tuple[Token, ...], Array, list[bool]] | None, NDArray[np.bool_]] | None:
    """The sign the scale takes back, the native job of log_fits for one item (None when nothing is
    free) and the free entries; None for a scale of 0 or not finite, or a fixed offset under a free
    scale."""
    tokens, full, free = item
    k = len(full) - 2
    scale, offset = float(full[k]), float(full[k + 1])
    if not (math.isfinite(scale) and math.isfinite(offset)) or scale == 0.0:
        return None
    if free[k] and not free[k + 1] and offset != 0.0:
        return None  # c = b/a cannot hold b fixed while a moves
    flip = 1.0 if sign * scale > 0.0 else -1.0  # the sign of a·(f + c) against the targets'
    shape = tuple(tokens) + (("param", k, 0.0), ("op", "Add")) + ((("op", "Neg"),) if flip < 0.0 else ()) + (
        ("op", "Ln"),)
    start = np.concatenate([full[:k], [offset / scale, 1.0, math.log(abs(scale))]])
    mask = list(free[:k]) + [bool(free[k + 1]), False, bool(free[k])]
    return sign * flip, ((shape, start, mask) if any(mask) else None), free


def _log_fit_at(problem: Problem, tokens: tuple[Token, ...], full: Array, free: NDArray[np.bool_]) -> Fit | None:
    """The Fit of a·f(θ) + b at `full` in log terms: Σ ln(m / y)² and the Jacobian of ln(m / y) over the
    free entries; None where m leaves the targets' sign or a value is not finite."""
    k = len(full) - 2
    values, gradient = value_and_gradient(tokens, problem.columns, full[:k])
    scale, offset = float(full[k]), float(full[k + 1])
    model = scale * values + offset
    with np.errstate(all="ignore"):
        ratio = model / problem.target
        if not np.all(np.isfinite(ratio) & (ratio > 0.0)):
            return None
        residual = np.log(ratio)
        columns = [scale * gradient[j] for j in range(k)] + [values, np.ones_like(values)]
        jacobian = np.stack([columns[j] / model for j in np.flatnonzero(free)], axis=1) if free.any() else (
            np.zeros((len(model), 0)))
    if not np.all(np.isfinite(jacobian)):
        return None
    return Fit(tuple(tokens), np.asarray(full, dtype=np.float64).copy(), free.copy(), float(residual @ residual),
               jacobian)


def refit(problem: Problem, tokens: Sequence[Token], start: Array, free: NDArray[np.bool_]) -> Fit | None:
    """The fit of the entries marked free from `start` (none free: the formula at its constants), on the
    problem's measure of error."""
    if problem.relative:
        return log_fits(problem, [(tuple(tokens), start, free)])[0]
    if not free.any():
        return fixed_fit(tokens, problem.columns, problem.target, start)
    return fit(tokens, problem.columns, problem.target, start, free)


def fixed_fit(tokens: Sequence[Token], columns: Sequence[Array], y: Array, full: Array) -> Fit | None:
    """A 'fit' of a formula whose constants are all fixed: its error at them."""
    k = len(full) - 2
    residual = full[k] * values_at(tokens, columns, full[:k]) + full[k + 1] - y
    if not np.all(np.isfinite(residual)):
        return None
    return Fit(tuple(tokens), full.copy(), np.zeros(len(full), dtype=bool), float(residual @ residual),
               np.zeros((len(y), 0)))


# A row whose leverage is this close to 1 decides its own fit; its HC3 weight is held here instead of growing
# without bound (its residual is near 0 then, and 0/0 would say nothing).
MOST_LEVERAGE = 0.99


def _column_norms(jacobian: Array) -> Array:
    """Each column's Euclidean norm; for a parameter of almost no effect (or an enormous one), whose sum
    of squares underflows to 0 (or overflows), computed on the column divided by its largest entry."""
    with np.errstate(over="ignore"):
        norms: Array = np.sqrt(np.sum(jacobian * jacobian, axis=0))
    awkward = ~((norms > 0.0) & np.isfinite(norms))
    if np.any(awkward):
        columns = jacobian[:, awkward]
        peaks = np.max(np.abs(columns), axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):  # a column of zeros stays without a norm (nan)
            norms[awkward] = peaks * np.sqrt(np.sum((columns / peaks) ** 2, axis=0))
    return norms


def standard_errors(fit: Fit, problem: Problem) -> tuple[Array, int]:
    """The standard errors of the free parameters and the degrees of freedom n − p. Each is the larger of
    the classical one, sqrt(diag((JᵀJ)⁻¹) · SSE / (n − p)) with the SSE at least the problem's floor (as
    R's nls reports it), and the heteroscedasticity-consistent HC3 one of the sandwich (JᵀJ)⁻¹ · Jᵀ ·
    diag(r² / (1 − h)²) · J · (JᵀJ)⁻¹ (MacKinnon and White 1985; h the rows' leverages). The classical
    error assumes the same noise on every row; with noise that grows with the value (a relative error of
    measurement) it is too small for a constant that the largest values fix, such as a peak's height, and
    its interval misses the truth far more often than one time in twenty."""
    n, p = fit.jacobian.shape
    dof = n - p
    if dof <= 0:
        return np.full(p, math.inf), 0
    norms = _column_norms(fit.jacobian)
    scaled = fit.jacobian / norms
    inverse = np.linalg.pinv(scaled.T @ scaled)
    classical = np.diag(inverse) * (max(fit.sse, problem.sse_floor) / dof)
    residual = problem.residuals(fit)
    leverage = np.einsum("ij,jk,ik->i", scaled, inverse, scaled)
    weights = (residual / (1.0 - np.minimum(leverage, MOST_LEVERAGE))) ** 2
    bread = scaled @ inverse
    sandwich = np.einsum("ij,i,ij->j", bread, weights, bread)
    with np.errstate(over="ignore", divide="ignore"):  # a parameter of almost no effect: its error is infinite
        variances = np.maximum(classical, np.where(np.isfinite(sandwich), sandwich, 0.0)) / (norms * norms)
    return np.sqrt(np.maximum(variances, 0.0)), dof


def t_quantile(dof: int) -> float:
    # scipy.stats.t.ppf is this function; importing scipy.stats costs a second or two, a short time limit's worth.
    from scipy.special import stdtrit

    return float(stdtrit(dof, 0.5 + LEVEL / 2.0)) if dof > 0 else math.inf


@dataclass
class Problem:
    """The data a parametric stage fits on, and what its formulas are judged with."""

    columns: list[Array]
    target: Array
    names: tuple[str, ...]
    domain: Box
    penalty: float
    kinds: int  # operator and leaf kinds, for the description length
    # Noise relative to the value (see zor._noise): fits minimise Σ ln(m / y)², and sse, the snapping gate
    # and the floor are in those terms.
    relative: bool = False

    def __post_init__(self) -> None:
        self.sign = sign_of(self.target) if self.relative else None
        if self.relative and self.sign is None:
            raise ValueError("noise relative to the value needs targets of one sign")
        self.log_target = np.log(np.abs(self.target)) if self.relative else self.target
        self.syy = float(len(self.target)) if self.relative else float(self.target @ self.target)
        self.sse_floor = SNAP_FLOOR * self.syy
        self.mean_square = float(np.mean(self.target * self.target))
        self.variance = float(np.var(self.target))

    def residuals(self, fit: Fit) -> Array:
        """The fit's residuals on the problem's measure: a·f + b − y, or ln((a·f + b) / y)."""
        k = len(fit.full) - 2
        model: Array = fit.full[k] * values_at(fit.tokens, self.columns, fit.inner) + fit.full[k + 1]
        if self.relative:
            with np.errstate(all="ignore"):
                logs: Array = np.log(model / self.target)
            return logs
        return model - self.target


def _linear_start(values: Array, y: Array) -> tuple[float, float]:
    centred = values - values.mean()
    sff = float(centred @ centred)
    scale = float(centred @ (y - y.mean())) / sff if sff > 0.0 else 0.0
    return scale, float(y.mean() - scale * values.mean())


def fit_shapes(problem: Problem, shapes: Sequence[tuple[tuple[Token, ...], list[Array]]]) -> list[Fit | None]:
    """fit_shape of each (shape, starting parameter vectors), every start of every shape fitted in one native
    batch on the worker pool (each fit on one thread, so the results do not depend on the number of
    threads)."""
    jobs = [(tuple(tokens), np.asarray(inner, dtype=np.float64)) for tokens, starts in shapes for inner in starts]
    results = iter(_native.fit_parameters_batch(jobs, problem.columns, problem.target,
                                                evaluations_per_entry=MAX_EVALUATIONS, linear_start=True)
                   if jobs else [])
    rows = len(problem.target)
    best_fits: list[Fit | None] = []
    for tokens, starts in shapes:
        best: Fit | None = None
        shape = tuple(tokens)
        every: NDArray[np.bool_] | None = None  # one mask for the shape's fits: _fit_from copies it
        for inner in starts:
            if every is None or len(every) != len(inner) + 2:
                every = np.ones(len(inner) + 2, dtype=bool)
            fitted = _fit_from(shape, every, rows, next(results))
            if fitted is not None and (best is None or fitted.sse < best.sse):
                best = fitted
        best_fits.append(best)
    if problem.relative:  # the best start of each shape, refitted on the relative measure
        return _log_fits_from(problem, best_fits)
    return best_fits


def _log_fits_from(problem: Problem, fits: list[Fit | None]) -> list[Fit | None]:
    """log_fits of least-squares fits. Where one fails from its offset, it starts again from an offset of
    0: fitted to the largest values, an offset can take a·f + b off the targets' sign on the smallest rows
    (a·M^0.75 − 0.6 on masses from 0.1), where ln(m / y) is undefined, and the shape would be lost."""
    items = [None if f is None else (f.tokens, f.full, f.free) for f in fits]
    refitted = log_fits(problem, items)
    again = [k for k, (fitted, item) in enumerate(zip(refitted, items))
             if fitted is None and item is not None and item[1][-1] != 0.0 and item[2][-1]]
    retried = log_fits(problem, [(items[k][0], np.concatenate([items[k][1][:-1], [0.0]]), items[k][2])  # type: ignore[index]
                                 for k in again])
    for k, fitted in zip(again, retried):
        refitted[k] = fitted
    return refitted


def fit_shape(problem: Problem, tokens: tuple[Token, ...], starts: list[Array]) -> Fit | None:
    """The best converged fit of a shape from its starting parameter vectors, each with the scale and
    offset of the least-squares line through the shape's values there (none where the shape is not finite
    on every row, or that scale is 0); the first of equal ones."""
    return fit_shapes(problem, [(tokens, starts)])[0]


def offset_free_fits(problem: Problem, fits: Sequence[Fit]) -> list[Fit | None]:
    """Each fit too rough for snapping to try an offset of 0 refitted as scale·f(parameters) alone, from
    its parameters and the least-squares scale through the origin, in one native batch (None for the
    others and for a refit that fails). Snapping weighs an offset of 0 only on a close fit; on a rough one
    (a law under a few per cent of noise) the offset would always stay and cost its unit of complexity,
    so a law without one, a·exp(c·t) or a·x^c, would lose to a shorter approximant with one. Fitted as a
    model of its own, one constant fewer, the information criterion weighs the offset instead."""
    chosen: list[tuple[int, tuple[Token, ...], Array, NDArray[np.bool_]]] = []
    for position, fitted in enumerate(fits):
        k = len(fitted.full) - 2
        if fitted.sse <= SNAP_GATE**2 * problem.syy or not fitted.free[k] or fitted.full[k + 1] == 0.0:
            continue
        values = values_at(fitted.tokens, problem.columns, fitted.inner)
        with np.errstate(all="ignore"):
            sff = float(values @ values)
            scale = float(values @ problem.target) / sff if sff > 0.0 else 0.0
        if not (math.isfinite(scale) and scale != 0.0):
            continue
        free = fitted.free.copy()
        free[k + 1] = False
        chosen.append((position, fitted.tokens, np.concatenate([fitted.inner, [scale, 0.0]]), free))
    refitted: list[Fit | None]
    if problem.relative:
        refitted = log_fits(problem, [(tokens, full, free) for _, tokens, full, free in chosen])
    else:
        jobs = [(tokens, full, free.tolist()) for _, tokens, full, free in chosen]
        results = _native.fit_parameters_batch(jobs, problem.columns, problem.target,
                                               evaluations_per_entry=MAX_EVALUATIONS) if jobs else []
        refitted = [_fit_from(tokens, free, len(problem.target), result)
                    for (_, tokens, _, free), result in zip(chosen, results)]
    found: list[Fit | None] = [None] * len(fits)
    for (position, *_), refit_of in zip(chosen, refitted):
        found[position] = refit_of
    return found


def problem_for(columns: Sequence[Array], target: Array, names: tuple[str, ...], domain: Box, penalty: float,
                operators: Sequence[str], relative: bool = False) -> Problem:
    return Problem([np.ascontiguousarray(c, dtype=np.float64) for c in columns],
                   np.ascontiguousarray(target, dtype=np.float64), names, domain, penalty,
                   operator_kinds(len(operators), len(columns)), relative)
