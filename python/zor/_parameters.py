"""Free parameters inside formulas: shapes such as exp(c0·x) or x/(x + c0), fitted by least squares.

The search finds formulas whose constants sit outside, y = a·f + b. A law whose constants sit inside a
function (a + b·exp(−t/θ), Vm·c/(K + c), exp(A − B/(T + C))) needs its inner constants fitted as well:
here they are the ("param", index, value) tokens of a formula, fitted jointly with the scale a and the
offset b by Eigen's Levenberg–Marquardt in zor._native (fit_parameters, and fit_parameters_batch for many
fits at once on the worker pool), with exact derivatives by forward mode over the token list.

Where the shapes come from:

- every small formula the operator table builds from the variables and parameter leaves, up to a
  number of tokens and parameters (`enumerate_shapes`), the duplicates dropped by their values at fixed
  parameter values on a fixed probe, and the affine repeats (f + c, c·f) left to the outer scale and
  offset;
- the sums f + c·g of the best short one-parameter shapes (a biexponential decay; `pair_shape`);
- the search's own front, with a parameter at each literal constant.

Each shape is screened on a fixed grid of parameter values (the scale and offset solved linearly at each
point) on a few rows, and the best ones are fitted from their best grid points on every row. A fit that
fails to converge, gives a non-finite value on a row, is undefined over the box the data span, or whose
parameters are not determined by the data (a singular Jacobian) is dropped. Everything is fixed by the
data and the settings, so the result is the same on every run; a time limit only cuts the stage short.

Each fitted parameter carries its standard error and 95 % interval (zor._uncertainty.Parameter), and
snaps to an exact constant only where that lies within two standard errors and lowers the description
length (zor._description_length).
"""

from __future__ import annotations

import math
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._constants import ONE, SNAP_FLOOR, SNAP_GATE, ZERO, Exact, Snapped, affine_text, exact_near, exact_text
from zor._constants import exact_value, snap_allowance
from zor._description_length import description_length, operator_kinds
from zor._domain import Box, defined_over
from zor._derivatives import Array, apply_binary, apply_unary, number_parameters, parameter_count, values_at
from zor._derivatives import value_and_gradient
from zor._expression import BINARY, ROWS, UNARY, Token, fold
from zor._noise import sign_of
from zor._uncertainty import Parameter

if TYPE_CHECKING:
    from zor._results import Formula
    from zor._settings import SearchSettings

# A parameter leaf before its parameters are numbered left to right.
PARAM: Token = ("param", 0, 0.0)

# The grid a shape is screened on: every parameter takes ±10^(k/2) for k = -6 ... 6.
GRID_MAGNITUDES = 10.0 ** (np.arange(-6, 7) / 2.0)
GRID_VALUES = np.concatenate([-GRID_MAGNITUDES[::-1], GRID_MAGNITUDES])
FINE_MAGNITUDES = 10.0 ** (np.arange(-24, 25) / 8.0)
# The most grid points a shape is screened on (three parameters take a fixed sample of the 26³).
MOST_GRID_POINTS = 2000
# Evaluations a fit may take per fitted constant (and one more): a fit converges in a few dozen, and
# one that wanders off (a rate drifting to 0 on data that has none) is given up early.
MAX_EVALUATIONS = 40
# Shapes fitted in one native batch between two looks at the time limit.
FIT_BATCH = 16
# Starting points of each sum of two terms.
PAIR_STARTS = 3
# Shapes of at most this many tokens are fitted whatever their screen.
ALWAYS_FITTED = 4
# Rows a shape is screened on (evenly spaced over the rows, in their order).
SCREEN_ROWS = 48
# Parameter values at which shapes are compared for duplicates: irrational-looking, so that two
# different shapes almost never agree there.
PROBE_PARAMETERS = (0.8377, 1.3319, 0.6151)
# Pairs of operators one directly under the other that undo or repeat each other.
_REDUNDANT = {("Exp", "Ln"), ("Ln", "Exp"), ("Recip", "Recip"), ("Abs", "Abs"), ("Abs", "Square"),
              ("Abs", "Exp"), ("Abs", "Sqrt"), ("Sqrt", "Square"), ("Square", "Sqrt"), ("Recip", "Div")}
COMMUTATIVE = {"Add", "Mul"}
# The 95 % quantile of Student's t is taken from SciPy; a standard error is computed on the sum of
# squared errors floored at SNAP_FLOOR times the targets' sum of squares (rounding on exact data).
LEVEL = 0.95


@dataclass(frozen=True)
class StageSize:
    """How much work the parametric stage does: fixed, so that its result does not depend on time."""

    max_tokens: int  # the largest enumerated shape with one parameter (one more token with two or more)
    max_params: int  # parameters per formula (inner ones)
    fits: int  # shapes fitted after the screen
    pair_terms: int  # best one-parameter shapes combined in sums f + c·g (0: none)
    kept: int  # fits made formulas (snapped and checked over the box)


# On at most this many rows (those the screen takes all of) a search without a time limit gets the stage
# it gets with one. The search's short approximants fit a few noisy rows as closely as a law with a
# constant inside does (sqrt(exp(t)) + b for a·exp(c·t), a cosine for a logistic), so on such data the
# law is found here or not at all; and there the stage's cost is its fixed number of shapes (a second
# or two), not a multiple of the rows. It needs ROWS_PER_CONSTANT rows per constant of its largest fits
# (the inner parameters, a scale and an offset): on fewer, thousands of shapes with as many constants
# as rows interpolate them instead of measuring anything.
FEW_ROWS = SCREEN_ROWS
ROWS_PER_CONSTANT = 2


def stage_size(max_params: int, variables: int, climbing: bool, rows: int | None = None) -> StageSize:
    """The work of the stage: more with a time limit to climb in or on at most FEW_ROWS rows, smaller shapes
    over more variables."""
    climbing = climbing or (rows is not None and ROWS_PER_CONSTANT * (max_params + 2) <= rows <= FEW_ROWS)
    tokens = (6 if climbing else 4) - min(max(variables - 1, 0), 2)
    return StageSize(max_tokens=max(tokens, 3), max_params=max_params, fits=60 if climbing else 12,
                     pair_terms=(6 if climbing else 2) if max_params >= 3 else 0, kept=12 if climbing else 4)


# With a time limit, the share of it the search leaves to the parametric stage.
PARAMETER_SHARE = 0.15
# With a deadline, the share of the stage's time the screen may take: the fits after it are what the stage is
# for, and a screen cut short by the deadline itself would leave none of them (the screen of thousands of
# shapes costs several times what fitting the best sixty does).
SCREEN_SHARE = 0.75


# --- shapes ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Node:
    tokens: tuple[Token, ...]
    params: int
    has_var: bool
    top: str  # "var", "param" or the operator
    parameter_operand: bool  # an operand of the top operator is a parameter leaf
    functions: int  # transcendental operators (exp, ln, sqrt, sin, cos) in it
    # Values on the probe rows with the parameters numbered from each offset 0, 1, ... at PROBE_PARAMETERS.
    values: tuple[Array, ...]


def _probe_key(values: Array) -> bytes | None:
    """The values as a key for duplicates; None when they are nowhere finite."""
    finite = np.isfinite(values)
    if not finite.any():
        return None
    mantissa, exponent = np.frexp(np.where(finite, values, 0.0))
    # Nine significant digits or so: parts that differ only by rounding are one part.
    return np.concatenate([np.round(mantissa * 2.0**30), exponent, finite]).tobytes()


def _affine_key(values: Array) -> bytes | None:
    """The values up to a scale and an offset (what the outer a·f + b absorbs); None when they are not
    finite everywhere or do not vary."""
    if not np.all(np.isfinite(values)):
        return None
    largest = float(np.max(np.abs(values)))
    if not 0.0 < largest < 1e150:
        return None
    centred = values / largest - np.mean(values / largest)
    norm = float(np.sqrt(np.sum(centred * centred)))
    if not norm > 1e-9:
        return None
    unit = centred / norm
    first = unit[np.argmax(np.abs(unit) > 1e-6)]
    return np.round(unit * math.copysign(1.0, first), 8).tobytes()


# Operators counted against MOST_FUNCTIONS, and operators the enumeration leaves out (a negation is the
# sign of a parameter or of the scale; abs and zor take parameters through the search's own formulas).
FUNCTIONS = {"Exp", "Ln", "Sqrt", "Sin", "Cos"}
MOST_FUNCTIONS = 2
LEFT_OUT = {"Neg", "Abs", "Zor"}


def enumerate_shapes(variables: int, max_tokens: int, max_params: int, operators: Sequence[str],
                     probe_columns: Sequence[Array], deadline: float | None = None) -> list[tuple[Token, ...]] | None:
    """Every formula of at most `max_tokens` tokens (one more with two or more parameters) over the
    variables and parameter leaves, with 1 to `max_params` parameters and at most MOST_FUNCTIONS transcendental functions, built from `operators`
    (names of the operator table) but LEFT_OUT, in order of size.

    Also left out: a part without a variable other than a lone parameter (it is a parameter), an
    operator undoing the one under it, the second order of a commutative operator's operands, x − c and
    x / c (x + c and c·x), c + (c' + f) and c·(c'·f), and whatever repeats an earlier formula's values
    at fixed parameter values on the probe rows (exactly for a part, up to scale and offset for a whole
    shape); a whole shape is neither f + c nor c·f, which the outer offset and scale already are.

    None once time.monotonic() passes `deadline`: the largest sizes take a second to make."""
    unary = [name for name in operators if name in UNARY and name not in LEFT_OUT]
    binary = [name for name in operators if name in BINARY and name not in LEFT_OUT]
    probe = [np.full(len(probe_columns[0]), PROBE_PARAMETERS[k % len(PROBE_PARAMETERS)]) for k in range(max_params)]
    seen: set[bytes] = set()
    by_size: list[list[_Node]] = [[]]

    def limit(params: int) -> int:
        return max_tokens + (params >= 2)

    def useful(size: int, params: int) -> bool:
        """Whether a part of this size may be a shape, or grow into one with more parameters."""
        return (params >= 1 and size <= limit(params)) or (params < max_params and size + 2 <= limit(max_params))

    def admit(node: _Node, level: list[_Node]) -> None:
        key = _probe_key(node.values[0])
        if key is None or key in seen:
            return
        seen.add(key)
        level.append(node)

    leaves = [_Node((("var", k),), 0, True, "var", False, 0, (column,) * (max_params + 1))
              for k, column in enumerate(probe_columns)]
    leaves.append(_Node((PARAM,), 1, False, "param", False, 0, tuple(probe)))
    by_size.append(leaves)
    with np.errstate(all="ignore"):
        for size in range(2, limit(max_params) + 1):
            level: list[_Node] = []
            for name in unary:
                if deadline is not None and time.monotonic() > deadline:
                    return None
                functions = name in FUNCTIONS
                for node in by_size[size - 1]:
                    if (not node.has_var or not useful(size, node.params) or (name, node.top) in _REDUNDANT
                            or node.functions + functions > MOST_FUNCTIONS):
                        continue
                    values = tuple(apply_unary(name, v) for v in node.values)
                    admit(_Node(node.tokens + (("op", name),), node.params, True, name, False,
                                node.functions + functions, values), level)
            for name in binary:
                for left_size in range(1, size - 1):
                    for i, left in enumerate(by_size[left_size]):
                        if deadline is not None and time.monotonic() > deadline:
                            return None
                        for j, right in enumerate(by_size[size - 1 - left_size]):
                            params = left.params + right.params
                            if (not (left.has_var or right.has_var) or params > max_params
                                    or not useful(size, params)
                                    or left.functions + right.functions > MOST_FUNCTIONS):
                                continue
                            if name in COMMUTATIVE and (left_size, i) > (size - 1 - left_size, j):
                                continue
                            if name in ("Sub", "Div") and right.top == "param":
                                continue
                            if name == "Mul" and left.top == "param" and right.top in ("Recip", "Div"):
                                continue
                            parameter_operand = left.top == "param" or right.top == "param"
                            family = ("Add", "Sub") if name in ("Add", "Sub") else ("Mul", "Div")
                            if parameter_operand and name in ("Add", "Sub", "Mul", "Div") and (
                                    (left.top in family and left.parameter_operand)
                                    or (right.top in family and right.parameter_operand)):
                                continue  # c + (c' + f), c·(c'·f): one parameter too many
                            values = tuple(apply_binary(name, left.values[o], right.values[o + left.params])
                                           for o in range(max_params + 1 - params))
                            admit(_Node(left.tokens + right.tokens + (("op", name),), params, True, name,
                                        parameter_operand, left.functions + right.functions, values), level)
            by_size.append(level)
    shapes: list[tuple[Token, ...]] = []
    whole: set[bytes] = set()
    for level in by_size:
        if deadline is not None and time.monotonic() > deadline:
            return None
        for node in sorted(level, key=lambda node: node.params):  # fewer parameters first
            key = _affine_key(np.broadcast_to(node.values[0], probe[0].shape))
            if node.params == 0 or not node.has_var:
                if key is not None:
                    whole.add(key)  # the search's own shapes: a parametric repeat of one is left out
                continue
            if key is None or key in whole or (node.parameter_operand and node.top in ("Add", "Sub", "Mul", "Div")):
                continue
            whole.add(key)
            shapes.append(number_parameters(node.tokens))
    return shapes


# Rows of the probe the enumeration compares shapes on: fixed, so that the shapes depend on the
# settings alone and are made once per process.
PROBE_ROWS = 48


# The shapes of the last SHAPE_SETS_KEPT sizes of the stage enumerated in this process.
SHAPE_SETS_KEPT = 8
_shape_sets: dict[tuple[int, int, int, tuple[str, ...]], list[tuple[Token, ...]]] = {}


def shapes_for(variables: int, max_tokens: int, max_params: int, operators: tuple[str, ...],
               deadline: float | None = None) -> list[tuple[Token, ...]] | None:
    """enumerate_shapes on a fixed probe: each variable spread over [0.35, 3.05] in an order of its own;
    made once per process, and None when `deadline` passes before they are."""
    key = (variables, max_tokens, max_params, operators)
    if key not in _shape_sets:
        rng = np.random.default_rng(variables)
        probe = [rng.permutation(np.linspace(0.35, 3.05, PROBE_ROWS)) for _ in range(variables)]
        shapes = enumerate_shapes(variables, max_tokens, max_params, operators, probe, deadline)
        if shapes is None:
            return None
        if len(_shape_sets) >= SHAPE_SETS_KEPT:
            del _shape_sets[next(iter(_shape_sets))]
        _shape_sets[key] = shapes
    return _shape_sets[key]


# --- screening and fitting -----------------------------------------------------------------------


def grid(count: int) -> Array:
    """The grid of parameter vectors a shape of `count` parameters is screened on: finer for one
    parameter (±10^(k/8)), which costs little."""
    if count == 1:
        return np.concatenate([-FINE_MAGNITUDES[::-1], FINE_MAGNITUDES])[:, None]
    values = GRID_VALUES
    points = np.array(np.meshgrid(*[values] * count, indexing="ij")).reshape(count, -1).T
    if len(points) > MOST_GRID_POINTS:
        points = points[np.random.default_rng(count).choice(len(points), MOST_GRID_POINTS, replace=False)]
    return np.ascontiguousarray(points)


def _grid_sse(tokens: Sequence[Token], columns: Sequence[Array], y: Array, points: Array,
              weights: Array | None = None) -> Array:
    """At each parameter vector, the sum of squared errors the best scale and offset leave on the rows
    (each squared error times its row's weight, when given); infinite where the shape is undefined on a
    row."""
    values = values_at(tokens, columns, points)
    with np.errstate(all="ignore"):
        finite = np.all(np.isfinite(values), axis=1)
        values = np.where(finite[:, None], values, 0.0)
        if weights is None:
            centred = values - values.mean(axis=1, keepdims=True)
            yc = y - y.mean()
        else:  # weighted least squares on rows scaled by the square roots of their weights
            share = weights / float(np.sum(weights))
            root = np.sqrt(weights)
            centred = (values - (values @ share)[:, None]) * root
            yc = (y - float(y @ share)) * root
        sff = np.sum(centred * centred, axis=1)
        sfy = centred @ yc
        syy = float(yc @ yc)
        sse = np.where(sff > 0.0, syy - sfy * sfy / sff, syy)
    return np.where(finite & np.isfinite(sse), np.maximum(sse, 0.0), np.inf)


# The local grid around the best coarse point: each parameter times 10^(k/8) for k = -3 ... 3.
LOCAL_STEPS = 10.0 ** (np.arange(-3, 4) / 8.0)


def screen(tokens: Sequence[Token], columns: Sequence[Array], y: Array, points: Array,
           starts: int, refine: bool = True, weights: Array | None = None) -> list[tuple[float, Array]]:
    """The `starts` grid points whose best scale and offset leave the least sum of squared errors on
    the rows (weighted by `weights`, when given), with that sum, best first, the first refined on a finer
    local grid around it (with `refine`); points where the shape is undefined on a row are left out."""
    sse = _grid_sse(tokens, columns, y, points, weights)
    order = [k for k in np.argsort(sse, kind="stable")[:starts] if math.isfinite(sse[k])]
    if not order:
        return []
    if not refine:
        return [(float(sse[k]), points[k]) for k in order]
    best = points[order[0]]
    local = np.array(np.meshgrid(*[LOCAL_STEPS] * len(best), indexing="ij")).reshape(len(best), -1).T * best
    local_sse = _grid_sse(tokens, columns, y, local, weights)
    k = int(np.argmin(local_sse))
    found = [(float(local_sse[k]), local[k])] if local_sse[k] < sse[order[0]] else [(float(sse[order[0]]), best)]
    return found + [(float(sse[k]), points[k]) for k in order[1:]]


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


# --- formulas -----------------------------------------------------------------------------------------


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


def _complexity(tokens: Sequence[Token], scale: float, offset: float) -> int:
    """The tokens, one more for each free parameter (a fitted real says more than the literal it
    replaces: (chi + c0) fitted to noise must not pass for the exact (chi + 1) at its complexity), and
    one each for a scale other than 1 and an offset other than 0."""
    return len(tokens) + sum(token[0] == "param" for token in tokens) + (scale != 1.0) + (offset != 0.0)


def _dl(problem: Problem, fitted: Fit, exact: dict[int, Exact]) -> float:
    k = len(fitted.full) - 2
    return description_length(
        sse=fitted.sse, rows=len(problem.target), complexity=_complexity(fitted.tokens, fitted.full[k],
                                                                         fitted.full[k + 1]),
        kinds=problem.kinds, free_values=fitted.full[fitted.free], jacobian=fitted.jacobian,
        exact=list(exact.values()), sse_floor=problem.sse_floor)


def snap_parameters(problem: Problem, fitted: Fit) -> tuple[Fit, dict[int, Exact], Fit]:
    """The fit's structure first (see `_structure`: an offset of 0 or a scale of 1 where the fit stays as
    good without it), then each inner parameter in turn replaced by the simplest exact constant within two
    standard errors of it whose refit (the others free) lowers the description length, then the scale and
    the offset the same way (see `_snap_outer`), every one within two standard errors of the structure's
    fit, which keeps the others free. Nothing snaps on a fit rougher than SNAP_GATE. Returns the final fit,
    the exact constants by position, and the structure's fit (whose standard errors the parameters
    report)."""
    exact = dict[int, Exact]()
    if not fitted.sse <= SNAP_GATE**2 * problem.syy:
        return fitted, exact, fitted
    k = len(fitted.full) - 2
    fitted, exact = _structure(problem, fitted)
    judged = fitted
    current_dl = _dl(problem, fitted, exact)
    errors, _ = standard_errors(judged, problem)
    error_of = dict(zip(np.flatnonzero(judged.free), errors))
    for position in range(k):
        if fitted.free[position]:
            found = _snapped_at(problem, fitted, exact, position, error_of[position], current_dl)
            if found is not None:
                fitted, exact, current_dl = found
    return *_snap_outer(problem, fitted, exact, current_dl, error_of), judged


def _structure(problem: Problem, fitted: Fit) -> tuple[Fit, dict[int, Exact]]:
    """The fit without its offset (an exact 0), its scale (an exact 1) or both, the others refitted, where
    that raises the sum of squared errors by at most snap_allowance of one constant (of two for both): the
    fewest constants win, then the least error. An offset of 0 is no term at all, which the scale must
    not be forced to make up for by snapping first."""
    k = len(fitted.full) - 2
    rows, count = fitted.jacobian.shape
    options = [(0, fitted.sse, fitted, dict[int, Exact]())]
    for positions in ([k + 1], [k], [k, k + 1]):
        if not all(fitted.free[position] for position in positions):
            continue
        start, free = fitted.full.copy(), fitted.free.copy()
        start[positions] = [1.0 if position == k else 0.0 for position in positions]
        free[positions] = False
        refitted = refit(problem, fitted.tokens, start, free)
        if refitted is None or not refitted.sse - fitted.sse <= snap_allowance(len(positions), fitted.sse,
                                                                                 rows - count, problem.syy):
            continue
        options.append((len(positions), refitted.sse, refitted, {p: ONE if p == k else ZERO for p in positions}))
    _, _, chosen, exact = min(options, key=lambda option: (-option[0], option[1]))
    return chosen, exact


def _snapped_at(problem: Problem, fitted: Fit, exact: dict[int, Exact], position: int, error: float,
                current_dl: float) -> tuple[Fit, dict[int, Exact], float] | None:
    """The refit with the constant at `position` replaced by the simplest exact value within two standard
    errors (`error`) of it (among the first of exact_near) that lowers the description length below
    `current_dl`, with its exact constants and description length; None when none does."""
    value = float(fitted.full[position])
    for candidate in exact_near(value, error)[:4]:
        target = exact_value(candidate)
        if not abs(target - value) <= 2.0 * error:
            continue
        start = fitted.full.copy()
        start[position] = target
        free = fitted.free.copy()
        free[position] = False
        snapped = refit(problem, fitted.tokens, start, free)
        if snapped is None:
            continue
        trial = {**exact, position: candidate}
        trial_dl = _dl(problem, snapped, trial)
        if trial_dl < current_dl:
            return snapped, trial, trial_dl
    return None


def _snap_outer(problem: Problem, fitted: Fit, exact: dict[int, Exact], current_dl: float,
                error_of: dict[int, float]) -> tuple[Fit, dict[int, Exact]]:
    """The scale and the offset the fit keeps free, snapped: each judged with the other free (see
    _snapped_at), and then the other judged with it fixed; both where that lowers the description length
    further (the scale's sequence tried first), otherwise the one whose refit leaves the smaller error, so
    that a snapped constant never leaves the other to make up for it."""
    k = len(fitted.full) - 2
    singles = [(position, found) for position in (k, k + 1) if fitted.free[position]
               and (found := _snapped_at(problem, fitted, exact, position, error_of[position], current_dl)) is not None]
    for position, (first, first_exact, first_dl) in singles:
        other = 2 * k + 1 - position
        if first.free[other]:
            both = _snapped_at(problem, first, first_exact, other, error_of[other], first_dl)
            if both is not None:
                return both[0], both[1]
    if not singles:
        return fitted, exact
    _, (best, best_exact, _) = min(singles, key=lambda single: single[1][0].sse)
    return best, best_exact


def formula_from_fit(problem: Problem, fitted: Fit, exact: dict[int, Exact], original: Fit) -> object | None:
    """The fit as a Formula with its parameters, judged by the native evaluation on the rows; None when
    it is not finite there or undefined over the data's box."""
    from zor._results import Formula

    k = len(fitted.full) - 2
    inner = [exact_value(exact[i]) if i in exact else float(fitted.full[i]) for i in range(k)]
    tokens = number_parameters(fitted.tokens, inner)
    if not defined_over(tokens, problem.domain):
        return None
    values = np.asarray(_native.evaluate(list(tokens), problem.columns), dtype=np.float64)
    if not np.all(np.isfinite(values)):
        return None
    scale, offset = float(fitted.full[k]), float(fitted.full[k + 1])
    snapped = Snapped(scale, offset, exact.get(k), exact.get(k + 1))
    from zor._constants import affine_values

    predicted = affine_values(values, snapped)
    y = problem.target
    error = float(np.sqrt(np.mean((predicted - y) ** 2)))
    if not math.isfinite(error):
        return None
    complexity = _complexity(tokens, snapped.used_scale, snapped.used_offset)
    parameters = _parameters(problem, fitted, original, exact, inner, snapped)
    return Formula(
        complexity=complexity,
        error=error,
        score=_native.penalised_score(error, complexity, problem.penalty),
        formula=affine_text(parameter_text(tokens, problem.names, exact), snapped),
        tokens=tokens,
        variable_names=problem.names,
        scale=scale,
        offset=offset,
        exact_scale=snapped.exact_scale,
        exact_offset=snapped.exact_offset,
        relative_error=error / math.sqrt(problem.mean_square) if problem.mean_square > 0 else math.nan,
        r2=1.0 - error * error / problem.variance if problem.variance > 0 else math.nan,
        domain=problem.domain,
        parameters=parameters,
    )


def _parameters(problem: Problem, final: Fit, original: Fit, exact: dict[int, Exact], inner: list[float],
                snapped: Snapped) -> tuple[Parameter, ...]:
    """Every constant of the formula, the inner ones, and the scale and offset where the formula has
    them (a scale of 1 or an offset of 0 only where the fit before snapping fitted it): a fitted one with
    its standard error and interval from the final fit (the formula's own, the snapped constants fixed), a
    snapped one with its fitted value, standard error and interval from the fit before snapping, which its
    exact value lies within."""
    k = len(original.full) - 2

    def errors_of(fit: Fit) -> tuple[dict[int, float], float]:
        errors, dof = standard_errors(fit, problem)
        return dict(zip(np.flatnonzero(fit.free), errors)), t_quantile(dof)

    final_errors, final_t = errors_of(final)
    original_errors, original_t = (final_errors, final_t) if original is final else errors_of(original)
    used = inner + [snapped.used_scale, snapped.used_offset]
    names = [f"c{i}" for i in range(k)] + ["scale", "offset"]
    result = []
    for position, name in enumerate(names):
        if position == k and snapped.used_scale == 1.0 or position == k + 1 and snapped.used_offset == 0.0:
            if position not in exact or not original.free[position]:
                continue  # a scale of 1 or an offset of 0 that was never fitted: the formula has none
        source, errors, t = (original, original_errors, original_t) if position in exact else (
            final, final_errors, final_t)
        fitted_value = float(source.full[position])
        error = float(errors.get(position, math.nan))
        result.append(Parameter(name, float(used[position]), fitted_value, error, fitted_value - t * error,
                                fitted_value + t * error, exact.get(position)))
    return tuple(result)


def parameter_text(tokens: Sequence[Token], names: Sequence[str], exact: dict[int, Exact] | None = None) -> str:
    """The formula as the native core lays it out, each parameter written as its value in full (or its
    exact constant)."""
    exact = exact or {}
    text = {name: row["text"] for name, row in ROWS.items()}

    def leaf(token: Token) -> str:
        if token[0] == "var":
            return names[int(token[1])]
        if token[0] == "param":
            index = int(token[1])
            return exact_text(exact[index]) if index in exact else repr(float(token[2]))  # type: ignore[misc]
        value = float(token[1])
        return str(int(value)) if value.is_integer() and abs(value) < 2**53 else repr(value)

    return fold(tokens, leaf, lambda op, a: text[op].format(a), lambda op, a, b: text[op].format(a, b))


# --- the stage --------------------------------------------------------------------------------------


def _screen_rows(n: int) -> NDArray[np.intp]:
    return np.unique(np.linspace(0, n - 1, min(n, SCREEN_ROWS)).round().astype(np.intp))


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
        return log_fits(problem, [None if f is None else (f.tokens, f.full, f.free) for f in best_fits])
    return best_fits


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


def pair_shape(first: tuple[Token, ...], second: tuple[Token, ...]) -> tuple[Token, ...]:
    """The sum f + g·c of two shapes: f's parameters, then g's, then c."""
    return number_parameters(first + second + (PARAM, ("op", "Mul"), ("op", "Add")))


# A term whose values are this close to a straight line in one variable (R²) is left out of a sum's
# starting points: a parameter near its limit (exp(c·x) with c near 0 is 1 + c·x) lets the sum's
# other coefficients grow without bound instead of finding the two terms.
LINEAR_TERM_R2 = 0.995


def _proper_terms(values: Array, columns: Sequence[Array]) -> NDArray[np.bool_]:
    """Per row of `values` (grid × rows): finite, and no nearly straight line in a variable."""
    with np.errstate(all="ignore"):
        finite = np.all(np.isfinite(values), axis=1)
        safe = np.where(finite[:, None], values, 0.0)
        centred = safe - safe.mean(axis=1, keepdims=True)
        sff = np.sum(centred * centred, axis=1)
        proper = finite & (sff > 0.0)
        for column in columns:
            xc = column - column.mean()
            sxx = float(xc @ xc)
            if sxx > 0.0:
                r2 = (centred @ xc) ** 2 / (sff * sxx)
                proper &= ~(r2 > LINEAR_TERM_R2)
    return proper


def pair_starts(first: tuple[Token, ...], second: tuple[Token, ...], columns: Sequence[Array], y: Array,
                starts: int) -> list[Array]:
    """Starting points (f's parameter, g's parameter, c) of the sum f + g·c of two one-parameter shapes:
    the pairs of grid values whose least-squares fit y = a·f + d·g + b leaves the least error, with
    c = d / a."""
    with np.errstate(all="ignore"):
        return _pair_starts(first, second, columns, y, starts)


def _pair_starts(first: tuple[Token, ...], second: tuple[Token, ...], columns: Sequence[Array], y: Array,
                 starts: int) -> list[Array]:
    f = values_at(first, columns, grid(1))
    g = values_at(second, columns, grid(1))
    keep_f, keep_g = _proper_terms(f, columns), _proper_terms(g, columns)
    if not keep_f.any() or not keep_g.any():
        return []
    values = grid(1)[:, 0]
    p, q = values[keep_f], values[keep_g]
    f, g = f[keep_f], g[keep_g]
    fc, gc, yc = f - f.mean(axis=1, keepdims=True), g - g.mean(axis=1, keepdims=True), y - y.mean()
    sff, sgg, sfg = np.sum(fc * fc, axis=1)[:, None], np.sum(gc * gc, axis=1)[None, :], fc @ gc.T
    sfy, sgy = (fc @ yc)[:, None], (gc @ yc)[None, :]
    with np.errstate(all="ignore"):
        determinant = sff * sgg - sfg * sfg
        a = (sgg * sfy - sfg * sgy) / determinant
        d = (sff * sgy - sfg * sfy) / determinant
        explained = a * sfy + d * sgy
    good = np.isfinite(explained) & (determinant > 1e-12 * sff * sgg) & (a != 0.0)
    if first == second:  # f + c·f: each unordered pair of parameter values once
        good &= p[:, None] < q[None, :]
    explained = np.where(good, explained, -np.inf)
    order = np.argsort(-explained, axis=None, kind="stable")[:starts]
    return [np.array([p[i], q[j], d[i, j] / a[i, j]]) for i, j in zip(*np.unravel_index(order, explained.shape))
            if good[i, j]]


@dataclass
class StageReport:
    """What the stage did: shapes enumerated, screened and fitted, formulas kept, seconds, and whether
    the time limit cut it short."""

    enumerated: int = 0
    screened: int = 0
    fitted: int = 0
    kept: int = 0
    seconds: float = 0.0
    cut_short: bool = False
    # Seconds of each part: enumeration and screen, fits of the enumerated shapes, of the sums of two
    # terms, of the search's front with parameters, and snapping with the making of formulas.
    parts: dict[str, float] = field(default_factory=dict)
    # Formulas kept from each source.
    sources: dict[str, int] = field(default_factory=dict)

    def lap(self, part: str, since: float) -> float:
        now = time.monotonic()
        self.parts[part] = self.parts.get(part, 0.0) + now - since
        return now


def _criterion(sse: float, rows: int, complexity: int, floor: float) -> float:
    """The information criterion the stage ranks fits by (as model_selection="best" ranks formulas)."""
    return rows * math.log(max(sse, floor, 1e-300) / rows) + complexity * math.log(rows)


def parametric_formulas(problem: Problem, size: StageSize, operators: Sequence[str],
                        front_tokens: Sequence[tuple[Token, ...]], deadline: float | None,
                        report: StageReport | None = None) -> list[object]:
    """The parametric stage: shapes enumerated and screened, the most promising fitted, sums of the best
    one-parameter terms and the search's front with parameters fitted too; the best fits snapped and
    made Formulas. Stops early (report.cut_short) once time.monotonic() passes `deadline`; the screen stops
    at SCREEN_SHARE of the time to it, so that the best of the shapes screened are fitted."""
    report = report if report is not None else StageReport()
    started = time.monotonic()
    y = problem.target
    n = len(y)
    if n < 4 or not problem.variance > 0.0 or size.max_params <= 0:
        return []
    rows = _screen_rows(n)
    screen_columns = [np.ascontiguousarray(column[rows]) for column in problem.columns]
    screen_y = np.ascontiguousarray(y[rows])
    m = len(screen_y)
    floor = problem.sse_floor

    def late() -> bool:
        past = deadline is not None and time.monotonic() > deadline
        report.cut_short = report.cut_short or past
        return past

    shapes = shapes_for(len(problem.columns), size.max_tokens, size.max_params, tuple(operators), deadline)
    if shapes is None:
        report.cut_short = True
        report.seconds = time.monotonic() - started
        return []
    report.enumerated = len(shapes)
    # For noise relative to the value the screen weighs each row by 1/y², the first-order form of the
    # Σ ln(m / y)² the shapes are fitted on: unweighted, it ranks shapes by the largest values alone, and
    # a law that holds over decades (a·x^c) ranks below shapes that only bend to the top rows.
    weights = 1.0 / (screen_y * screen_y) if problem.relative else None
    grids = {count: grid(count) for count in range(1, size.max_params + 1)}
    screened: list[tuple[float, int, tuple[Token, ...], Array]] = []
    screen_until = None if deadline is None else time.monotonic() + SCREEN_SHARE * (deadline - time.monotonic())
    for order, shape in enumerate(shapes):
        if order % 64 == 0 and (late() or (screen_until is not None and time.monotonic() > screen_until)):
            report.cut_short = True  # the best of the shapes screened so far are fitted in the time left
            break
        count = parameter_count(shape)  # one parameter's grid is fine already
        points = screen(shape, screen_columns, screen_y, grids[count], 1, refine=count > 1, weights=weights)
        report.screened += 1
        if points:
            sse, start = points[0]
            screened.append((_criterion(sse * n / m, n, len(shape) + 2, floor), order, shape, start))
    # The shortest shapes are fitted whatever their screen, then the others by it.
    screened.sort(key=lambda entry: (len(entry[2]) > ALWAYS_FITTED, entry[0], entry[1]))
    fits: list[tuple[float, int, Fit]] = []
    source: dict[int, str] = {}
    clock = report.lap("screen", started)

    def add(fitted: Fit | None, kind: str) -> None:
        report.fitted += 1
        if fitted is not None:
            source[len(fits)] = kind
            fits.append((_criterion(fitted.sse, n, len(fitted.tokens) + 2, floor), len(fits), fitted))

    def fit_all(items: Iterator[tuple[tuple[Token, ...], list[Array]]], kind: str) -> None:
        """Fits the shapes FIT_BATCH at a time, the time limit looked at before each shape."""
        batch: list[tuple[tuple[Token, ...], list[Array]]] = []
        for item in items:
            if late():
                break
            batch.append(item)
            if len(batch) == FIT_BATCH:
                for fitted in fit_shapes(problem, batch):
                    add(fitted, kind)
                batch = []
        for fitted in fit_shapes(problem, batch):
            add(fitted, kind)

    fit_all(((shape, [start]) for _, _, shape, start in screened[:size.fits]), "enumerated")
    clock = report.lap("enumerated", clock)
    singles = sorted((entry for entry in fits if parameter_count(entry[2].tokens) == 1
                      and len(entry[2].tokens) <= ALWAYS_FITTED), key=lambda e: e[:2])
    terms = [entry[2].tokens for entry in singles[:size.pair_terms]]
    fit_all(((pair_shape(first, second), pair_starts(first, second, screen_columns, screen_y, PAIR_STARTS))
             for i, first in enumerate(terms) for second in terms[i:]), "sums")
    clock = report.lap("sums", clock)

    def front_shapes() -> Iterator[tuple[tuple[Token, ...], list[Array]]]:
        for tokens in front_tokens:
            constants = [float(token[1]) for token in tokens if token[0] == "const"]
            if 1 <= len(constants) <= size.max_params:
                yield number_parameters([PARAM if token[0] == "const" else token for token in tokens]), [np.array(constants)]

    fit_all(front_shapes(), "front")
    clock = report.lap("front", clock)
    if not late():
        for order, fitted in zip([entry[1] for entry in fits], offset_free_fits(problem, [entry[2] for entry in fits])):
            if fitted is not None:
                source[len(fits)] = source[order]
                fits.append((_criterion(fitted.sse, n, len(fitted.tokens) + 1, floor), len(fits), fitted))
        clock = report.lap("offset free", clock)
    fits.sort(key=lambda entry: entry[:2])
    formulas: list[object] = []
    seen: set[bytes] = set()
    for _, order, fitted in fits:
        if len(formulas) >= size.kept:
            break
        # Past the deadline the fits made so far still become formulas, without the refits of snapping.
        snapped, exact, original = (fitted, {}, fitted) if late() else snap_parameters(problem, fitted)
        formula = formula_from_fit(problem, snapped, exact, original)
        if formula is None:
            continue
        key = np.round(np.asarray(formula.predict(problem.columns)) / (math.sqrt(problem.mean_square) or 1.0),  # type: ignore[attr-defined]
                       10).tobytes()
        if key not in seen:  # a reparametrisation of a formula already kept
            seen.add(key)
            formulas.append(formula)
            report.sources[source[order]] = report.sources.get(source[order], 0) + 1
    report.lap("formulas", clock)
    report.kept = len(formulas)
    report.seconds = time.monotonic() - started
    return formulas


def operator_names(use_trig: bool, use_zor: bool) -> list[str]:
    """The operators the stage builds shapes from, by the search's settings."""
    names = []
    for row in _native.OPERATORS:
        name = row["name"]
        if (name in ("Sin", "Cos") and not use_trig) or (name == "Zor" and not use_zor):
            continue
        names.append(name)
    return names


def problem_for(columns: Sequence[Array], target: Array, names: tuple[str, ...], domain: Box, penalty: float,
                operators: Sequence[str], relative: bool = False) -> Problem:
    return Problem([np.ascontiguousarray(c, dtype=np.float64) for c in columns],
                   np.ascontiguousarray(target, dtype=np.float64), names, domain, penalty,
                   operator_kinds(len(operators), len(columns)), relative)



# Without a time limit, a search over one variable that already has a formula of at most GATE_COMPLEXITY
# within NOISE_GATE of the data's noise level skips the stage: a formula with a parameter inside has at
# least that complexity (four tokens and a scale) and cannot fit the data better, and a default discover
# stays quick.
NOISE_GATE = 1.05
GATE_COMPLEXITY = 5
# The gate needs the noise level known to within twice its tolerance: on n rows the estimate's relative
# standard error is sqrt(35 / (36·(n − 2))) (the pseudo-residuals' squares of three neighbours are
# correlated, Gasser et al. 1986), which is 2·(NOISE_GATE − 1) from about 100 rows on. On fewer, a
# formula "at the noise level" may be well above it (the estimate drawn high, or raised by the law's
# curvature over wide gaps), and a law with a parameter inside that would beat it is never fitted.
NOISE_PRECISION = 2.0 * (NOISE_GATE - 1.0)


def noise_level_error(rows: int) -> float:
    """The relative standard error of noise_level on this many rows (normal noise, evenly spread)."""
    return math.sqrt(35.0 / (36.0 * (rows - 2))) if rows > 2 else math.inf


def noise_level(columns: Sequence[Array], target: Array) -> float | None:
    """The standard deviation of the noise in data over one variable: each target against the straight
    line through its two neighbours in the variable's order (Gasser, Sroka and Jennen-Steinmetz 1986),
    so that a smooth law adds only its curvature times the squared spacing; None for several
    variables, fewer than 8 rows, or neighbours at one value."""
    if len(columns) != 1 or len(target) < 8:
        return None
    order = np.argsort(columns[0], kind="stable")
    x, y = columns[0][order], target[order]
    span = x[2:] - x[:-2]
    if not np.all(span > 0.0):
        return None
    a, b = (x[2:] - x[1:-1]) / span, (x[1:-1] - x[:-2]) / span
    pseudo = a * y[:-2] + b * y[2:] - y[1:-1]
    return math.sqrt(float(np.mean(pseudo * pseudo / (a * a + b * b + 1.0))))


def worth_fitting(settings: SearchSettings, columns: Sequence[Array], target: Array,
                  found: Sequence[tuple[int, float]]) -> bool:
    """Whether the stage may improve on a search that found formulas of these (complexity, root mean
    square error): always with a time limit or where the noise level is not known to NOISE_PRECISION;
    otherwise unless the data are over one variable and one of those of at most GATE_COMPLEXITY is
    already at their noise level."""
    if settings.time_limit is not None or noise_level_error(len(target)) > NOISE_PRECISION:
        return True
    noise = noise_level(columns, target)
    return noise is None or not any(complexity <= GATE_COMPLEXITY and error <= NOISE_GATE * noise
                                    for complexity, error in found)


def parametric_stage(columns: Sequence[Array], target: Array, names: tuple[str, ...], domain: Box,
                     settings: SearchSettings, front_tokens: Sequence[tuple[Token, ...]],
                     deadline: float | None, all_columns: Sequence[Array] | None = None,
                     all_target: Array | None = None, relative: bool = False) -> tuple[list[Formula], bool]:
    """The parametric stage of a scaled search with these settings (see parametric_formulas), fitted on
    the rows the search ran on (for noise relative to the value when `relative`); its formulas, judged on
    every row (`all_columns`, `all_target`) when those are more, and whether the deadline cut it short."""
    if settings.max_parameters == 0 or not settings.scaling:
        return [], False
    operators = operator_names(settings.use_trig, settings.use_zor)
    problem = problem_for(columns, target, names, domain, settings.complexity_penalty, operators, relative)
    report = StageReport()
    formulas: list[Formula] = parametric_formulas(  # type: ignore[assignment]
        problem, stage_size(settings.max_parameters, len(columns), settings.climbing, len(target)), operators,
        front_tokens, deadline, report)
    if all_columns is not None and all_target is not None and len(all_target) > len(target):
        judged = (judged_on(formula, all_columns, all_target, settings.complexity_penalty) for formula in formulas)
        formulas = [formula for formula in judged if formula is not None]
    return formulas, report.cut_short


def judged_on(formula: Formula, columns: Sequence[Array], target: Array, penalty: float) -> Formula | None:
    """The formula with its error, relative error, R² and score on these rows; None where it is not
    finite on one of them."""
    import dataclasses

    predicted = formula.predict(list(columns))
    if not np.all(np.isfinite(predicted)):
        return None
    error = float(np.sqrt(np.mean((predicted - target) ** 2)))
    mean_square, variance = float(np.mean(target * target)), float(np.var(target))
    return dataclasses.replace(
        formula, error=error, score=_native.penalised_score(error, formula.complexity, penalty),
        relative_error=error / math.sqrt(mean_square) if mean_square > 0 else math.nan,
        r2=1.0 - error * error / variance if variance > 0 else math.nan)
