"""Sums of terms: y ≈ b + a₁·f₁ + … + a_D·f_D, the shapes f drawn from a pool of terms.

A greedy search ranks each formula as a whole, so a law made of unlike terms (a·v + b·v², or
I₁ + I₂ + 2·sqrt(I₁·I₂)·cos δ) is out of its reach: no one term fits y. The sums are found the way
SISSO finds them (Ouyang et al. 2018):

- the pool: the raw variables, a small library of each variable and each pair (x², sqrt x, ln x, exp x,
  1/x, sin x, cos x, x·y, x/y), and the shapes the search found, on y and on residuals;
- screening: for D = 1, 2, … the pool's terms most correlated with what the best sum of D - 1 terms
  leaves over join the screened set (SCREENED_PER_TERM each time);
- an exact search over every subset of the screened set of up to max_terms terms, which keeps, per
  complexity, the subset with the least squared error.

Residual searches add what the library cannot build: the driver searches what the best sums leave over
and what the best full sum leaves without each of its terms (with the others' coefficients snapped, so
an exact law's missing term is exactly what is left), and offers their shapes to the pool.

Each chosen subset is refitted on every row by least squares and its coefficients snapped to exact values
where the fit stays as good (`fit_sum`); the least-squares model on the raw variables is always one of
the candidates, so the front never loses to linear regression on the rows it was fitted on.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Iterable, Iterator, Sequence

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._constants import SNAP_GATE, Exact, Snapped, affine_text, exact_near, exact_value, snap_allowance
from zor._data import Column
from zor._domain import Box, defined_over
from zor._derivatives import apply_binary, apply_unary
from zor._expression import Token, fold
from zor._results import Formula
from zor._terms import Term, sum_complexity, sum_text, sum_tokens

Shape = tuple[Token, ...]

# The pool's terms that join the screened set for each further term of the sums.
SCREENED_PER_TERM = 12
# At most this many terms take part in the exact subset search (142,880 subsets of three, half a second).
MAX_SCREENED = 96
# Terms whose values differ from a kept term's by less than this share of their spread are one term.
SAME_TERM = 1e-9
# The library's terms screened on their own, per further term.
LIBRARY_PER_TERM = 8
# Of the shapes a search of a residual finds, this many (those closest to the residual) join the
# screened set whatever their correlation with y.
FOUND_PER_RESIDUAL = 4

_LIBRARY_UNARY = ("Square", "Sqrt", "Ln", "Exp", "Recip")
_LIBRARY_TRIG = ("Sin", "Cos")


def term_library(variables: int, use_trig: bool) -> list[Shape]:
    """Each variable, each variable under one operator, and each pair's product and quotients."""
    unary = _LIBRARY_UNARY + (_LIBRARY_TRIG if use_trig else ())
    shapes: list[Shape] = []
    for k in range(variables):
        x: Shape = (("var", k),)
        shapes.append(x)
        shapes += [x + (("op", name),) for name in unary]
    for j, k in itertools.combinations(range(variables), 2):
        shapes += [(("var", j), ("var", k), ("op", "Mul")), (("var", j), ("var", k), ("op", "Div")),
                   (("var", k), ("var", j), ("op", "Div"))]
    return shapes


def shape_values(shape: Shape, columns: Sequence[Column]) -> NDArray[np.float64]:
    return np.asarray(_native.evaluate(list(shape), list(columns)), dtype=np.float64)


# A difference (a − b, a + b, zor's exp(a) − ln(b)) no larger than this share of its operands on every row
# is zero but for rounding, as exp(ln x) − x is.
ROUNDING_ZERO = 1e-9


def rounds_to_zero(shape: Shape, columns: Sequence[Column]) -> bool:
    """Whether some sum or difference inside the shape is zero on every row but for rounding: a term
    made of it is rounding noise, which a large enough coefficient fits to anything."""
    found = False

    def leaf(token: Token) -> NDArray[np.float64]:
        if token[0] == "var":
            return columns[int(token[1])]
        return np.full(len(columns[0]), float(token[2] if token[0] == "param" else token[1]))  # type: ignore[misc]

    def binary(name: str, a: NDArray[np.float64], b: NDArray[np.float64]) -> NDArray[np.float64]:
        nonlocal found
        value = apply_binary(name, a, b)
        if name in ("Add", "Sub", "Zor"):
            size = np.abs(a) + np.abs(b) if name != "Zor" else np.abs(np.exp(a)) + np.abs(np.log(b))
            found = found or bool(np.all(np.abs(value) <= ROUNDING_ZERO * size) and np.any(size > 0.0))
        return value

    with np.errstate(all="ignore"):
        fold(shape, leaf, apply_unary, binary)
    return found


class TermPool:
    """The pool of terms on the search's rows: each term's values standardised, distinct terms only, and
    the screening and exact subset search over them."""

    def __init__(self, columns: Sequence[Column], target: Column, max_terms: int) -> None:
        self.columns, self.max_terms = columns, max_terms
        self.shapes: list[Shape] = []
        self.standardised: list[NDArray[np.float64]] = []
        self.keys: set[bytes] = set()
        self.centred = target - float(np.mean(target))
        self.rows = len(target)
        self.found: list[int] = []  # the pool's terms that the searches of residuals put forward

    def add_found(self, shapes: Sequence[Shape], residual: Column) -> None:
        """Adds the shapes a search of `residual` found; those closest to it join the screened set."""
        self.add(shapes)
        index = {shape: k for k, shape in enumerate(self.shapes)}
        present = sorted({index[s] for s in shapes if s in index} - set(self.found))
        if not present:
            return
        centred = residual - float(np.mean(residual))
        closeness = np.abs(np.stack([self.standardised[k] for k in present], axis=1).T @ centred)
        order = np.argsort(-closeness, kind="stable")[:FOUND_PER_RESIDUAL]
        self.found += [present[k] for k in order]

    def add(self, shapes: Iterable[Shape]) -> None:
        """Adds the shapes that are finite on every row, vary, and differ from every term in the pool."""
        for shape in sorted(set(shapes) - set(self.shapes), key=lambda s: (len(s), repr(s))):
            values = shape_values(shape, self.columns)
            if not np.all(np.isfinite(values)) or rounds_to_zero(shape, self.columns):
                continue
            with np.errstate(over="ignore"):
                spread = float(np.std(values))
            if not math.isfinite(spread) or not spread > 1e-12 * float(np.max(np.abs(values))):
                continue  # values past 1e154, whose squares overflow, are of no use in a least-squares sum
            z = (values - float(np.mean(values))) / spread
            if z[0] < 0.0 or (z[0] == 0.0 and np.any(z < 0.0) and z[np.argmax(z != 0.0)] < 0.0):
                z = -z  # a term and its negation are one term
            key = np.round(z / SAME_TERM).astype(np.int64).tobytes()
            if key in self.keys or not np.all(np.isfinite(z)):
                continue
            self.keys.add(key)
            self.shapes.append(shape)
            self.standardised.append(z)

    def _matrix(self) -> NDArray[np.float64]:
        return np.stack(self.standardised, axis=1) if self.standardised else np.empty((self.rows, 0))

    def screened(self, among: int | None = None, per_term: int = SCREENED_PER_TERM) -> list[int]:
        """The screened set: for each number of terms, the `per_term` terms most correlated with what the
        best sum of one term fewer leaves; of the first `among` terms of the pool when given."""
        z = self._matrix()[:, :among]
        chosen: list[int] = []
        residual = self.centred
        for terms in range(1, self.max_terms + 1):
            correlation = np.abs(z.T @ residual)
            correlation[chosen] = -1.0
            order = np.argsort(-correlation, kind="stable")
            chosen += [int(k) for k in order[:per_term] if correlation[k] >= 0.0]
            _, subsets = self.best_subsets(chosen, terms, z)
            if not len(subsets):
                break
            subset = subsets[0]
            coefficients = np.linalg.lstsq(z[:, subset], self.centred, rcond=None)[0]
            residual = self.centred - z[:, subset] @ coefficients
        return chosen

    def best_subsets(self, chosen: Sequence[int], terms: int,
                     z: NDArray[np.float64] | None = None) -> tuple[NDArray[np.float64], NDArray[np.intp]]:
        """Every subset of `terms` of the chosen terms (as rows of pool indices) with its squared error,
        least first."""
        if z is None:
            z = self._matrix()
        if len(chosen) < terms or self.rows <= terms + 1:
            return np.empty(0), np.empty((0, terms), dtype=np.intp)
        indices = np.asarray(chosen, dtype=np.intp)
        combos = np.asarray(list(itertools.combinations(range(len(indices)), terms)), dtype=np.intp)
        gram = z[:, indices].T @ z[:, indices]
        moment = z[:, indices].T @ self.centred
        # A ridge of a billionth of a standardised term's own square keeps a set of nearly dependent terms
        # solvable; the subsets kept are refitted exactly.
        systems = gram[combos[:, :, None], combos[:, None, :]] + 1e-9 * self.rows * np.eye(terms)
        rights = moment[combos]
        solved = np.linalg.solve(systems, rights[:, :, None])[:, :, 0]
        errors = float(self.centred @ self.centred) - np.sum(rights * solved, axis=1)
        order = np.argsort(errors, kind="stable")
        return errors[order], indices[combos[order]]

    def candidates(self, library: int) -> list[tuple[Shape, ...]]:
        """Per number of terms from 2 up and per complexity, the subset of the screened terms with the
        least squared error: the sums worth refitting on every row. The first `library` terms of the pool
        (the simple ones) are screened on their own too, so that shapes close to y all through do not
        crowd them out; then the shapes put forward by the searches of residuals, the earliest first."""
        chosen = self.screened()
        chosen += [k for k in self.screened(library, LIBRARY_PER_TERM) + self.found if k not in chosen]
        del chosen[MAX_SCREENED:]
        z = self._matrix()
        lengths = np.asarray([len(shape) for shape in self.shapes], dtype=np.intp)
        found: list[tuple[Shape, ...]] = []
        for terms in range(2, self.max_terms + 1):
            _, subsets = self.best_subsets(chosen, terms, z)
            complexity = lengths[subsets].sum(axis=1) + 2 * terms  # with coefficients, signs and offset
            _, first = np.unique(complexity, return_index=True)  # the least error of each complexity
            found += [tuple(self.shapes[k] for k in subsets[i]) for i in sorted(first)]
        return found

    def best_sum(self, terms: int, among: int | None = None) -> tuple[Shape, ...] | None:
        """The best sum of `terms` of the screened terms (of the first `among` of the pool when given)."""
        _, subsets = self.best_subsets(self.screened(among), terms)
        return tuple(self.shapes[k] for k in subsets[0]) if len(subsets) else None


def residual_targets(pool: TermPool, target: Column, library: int) -> Iterator[Column]:
    """What the driver searches for further terms, most telling first: what the least-squares linear
    model on the raw variables leaves (I₁ + I₂ + 2·sqrt(I₁·I₂)·cos δ leaves about its last term); what the
    best sums of the first `library` terms of the pool (the simple ones) leave, of each size below
    max_terms; then, for the best full sum with its coefficients snapped, what it leaves without each of
    its terms; then what the best sums of each size below max_terms leave."""
    yield target - _least_squares(np.stack(list(pool.columns), axis=1), target)[1]
    for among in (library, None):
        for terms in range(1, pool.max_terms):
            shapes = pool.best_sum(terms, among)
            if shapes is not None:
                values = np.stack([shape_values(s, pool.columns) for s in shapes], axis=1)
                yield target - _least_squares(values, target)[1]
        if among is not None:
            yield from _left_out(pool, target)


def _left_out(pool: TermPool, target: Column) -> Iterator[Column]:
    shapes = pool.best_sum(pool.max_terms)
    if shapes is None:
        return
    values = np.stack([shape_values(s, pool.columns) for s in shapes], axis=1)
    coefficients, _, offset, _ = _snapped(values, target)
    for left_out in range(len(shapes)):
        others = [k for k in range(len(shapes)) if k != left_out]
        yield target - (values[:, others] @ coefficients[others] + offset)


def _least_squares(values: NDArray[np.float64], target: Column) -> tuple[NDArray[np.float64], Column]:
    """The coefficients (offset last) of target ≈ values·a + b, and the fitted values."""
    design = np.column_stack([values, np.ones(len(target))])
    coefficients = np.linalg.lstsq(design, target, rcond=None)[0]
    return coefficients, design @ coefficients


def _snapped(values: NDArray[np.float64],
             target: Column) -> tuple[NDArray[np.float64], list[Exact | None], float, Exact | None]:
    """The least-squares coefficients of target ≈ Σ a_k·values_k + b, each snapped in turn to the
    simplest exact value that keeps the squared error within snap_allowance of the fit's, the others
    refitted; the offset last, 0 first. Nothing snaps on a fit rougher than SNAP_GATE."""
    n, terms = values.shape
    syy = float(target @ target)
    fixed: dict[int, Exact] = {}

    def refit(fixed: dict[int, Exact], offset: Exact | None) -> tuple[NDArray[np.float64], float, float]:
        free = [k for k in range(terms) if k not in fixed]
        rest = target - sum((exact_value(e) * values[:, k] for k, e in fixed.items()), np.zeros(n))
        if offset is not None:
            rest = rest - exact_value(offset)
        design = values[:, free] if offset is not None else np.column_stack([values[:, free], np.ones(n)])
        solved = np.linalg.lstsq(design, rest, rcond=None)[0] if design.shape[1] else np.empty(0)
        coefficients = np.empty(terms)
        coefficients[free] = solved[:len(free)]
        for k, e in fixed.items():
            coefficients[k] = exact_value(e)
        b = exact_value(offset) if offset is not None else float(solved[-1])
        residual = target - (values @ coefficients + b)
        return coefficients, b, float(residual @ residual)

    coefficients, offset, least = refit({}, None)
    exact_offset: Exact | None = None
    if least <= SNAP_GATE**2 * syy:
        freedom = n - terms - 1
        errors = _standard_errors(values, least, freedom)
        for k in range(terms):
            for candidate in exact_near(float(coefficients[k]), float(errors[k])):
                trial = fixed | {k: candidate}
                moved, b, error = refit(trial, None)
                if error - least <= snap_allowance(len(trial), least, freedom, syy):
                    fixed, coefficients, offset = trial, moved, b
                    break
        for candidate in [(0, 1, "")] + exact_near(offset, float(errors[-1])):
            moved, b, error = refit(fixed, candidate)
            if error - least <= snap_allowance(len(fixed) + 1, least, freedom, syy):
                coefficients, offset, exact_offset = moved, b, candidate
                break
    return coefficients, [fixed.get(k) for k in range(terms)], offset, exact_offset


def _standard_errors(values: NDArray[np.float64], sse: float, freedom: int) -> NDArray[np.float64]:
    """The standard errors of the least-squares coefficients of Σ a_k·values_k + b (b's last)."""
    design = np.column_stack([values, np.ones(len(values))])
    with np.errstate(all="ignore"):
        covariance = np.linalg.pinv(design.T @ design) * (sse / max(freedom, 1))
    return np.sqrt(np.abs(np.diag(covariance)))


def fit_sum(shapes: Sequence[Shape], columns: Sequence[Column], target: Column, names: tuple[str, ...],
            penalty: float, domain: Box) -> Formula | None:
    """The sum of the shapes fitted on the rows given, its coefficients snapped (see _snapped); None
    when a shape is undefined on a row or between them, or the fit is not finite."""
    values = np.stack([shape_values(s, columns) for s in shapes], axis=1)
    if not np.all(np.isfinite(values)) or len(target) <= len(shapes) + 1:
        return None
    coefficients, exacts, offset, exact_offset = _snapped(values, target)
    if not (np.all(np.isfinite(coefficients)) and math.isfinite(offset)):
        return None
    # Larger terms first, and a term that adds before one that subtracts, as a reader writes a sum.
    order = sorted(range(len(shapes)), key=lambda k: (coefficients[k] < 0.0, -len(shapes[k]), k))
    terms = tuple(Term(shapes[k], float(coefficients[k]), exacts[k]) for k in order if coefficients[k] != 0.0)
    if len(terms) < 2:
        return None  # a single term is a formula the judge makes
    tokens = sum_tokens(terms)
    if not defined_over(tokens, domain):
        return None
    snapped = Snapped(1.0, offset, None, exact_offset)
    predicted = np.asarray(_native.evaluate(list(tokens), list(columns)), dtype=np.float64)
    if snapped.used_offset != 0.0:
        predicted = predicted + snapped.used_offset
    if not np.all(np.isfinite(predicted)):
        return None
    error = float(np.sqrt(np.mean((predicted - target) ** 2)))
    complexity = sum_complexity(terms) + (snapped.used_offset != 0.0)
    mean_square, variance = float(np.mean(target * target)), float(np.var(target))
    return Formula(
        complexity=complexity,
        error=error,
        score=_native.penalised_score(error, complexity, penalty),
        formula=affine_text(sum_text(terms, names), snapped),
        tokens=tokens,
        variable_names=names,
        scale=1.0,
        offset=snapped.offset,
        exact_offset=snapped.exact_offset,
        relative_error=error / math.sqrt(mean_square) if mean_square > 0 else math.nan,
        r2=1.0 - error * error / variance if variance > 0 else math.nan,
        domain=domain,
        terms=terms,
    )


def linear_shapes(variables: int) -> tuple[Shape, ...]:
    """The raw variables as terms: the least-squares linear model."""
    return tuple((("var", k),) for k in range(variables))

