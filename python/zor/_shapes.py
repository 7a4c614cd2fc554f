"""The shapes of the parametric stage: small formulas with parameter leaves, enumerated once per process
with their duplicates dropped (`enumerate_shapes`, `shapes_for`), screened on a grid of parameter values
with the scale and offset solved linearly (`screen`), and the sums f + c·g of two one-parameter shapes
with their starting points (`pair_shape`, `pair_starts`)."""

from __future__ import annotations

import math
import time
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from zor._derivatives import Array, apply_binary, apply_unary, number_parameters, values_at
from zor._expression import BINARY, UNARY, Token


# A parameter leaf before its parameters are numbered left to right.
PARAM: Token = ("param", 0, 0.0)

# The grid a shape is screened on: every parameter takes ±10^(k/2) for k = -6 ... 6.
GRID_MAGNITUDES = 10.0 ** (np.arange(-6, 7) / 2.0)
GRID_VALUES = np.concatenate([-GRID_MAGNITUDES[::-1], GRID_MAGNITUDES])
FINE_MAGNITUDES = 10.0 ** (np.arange(-24, 25) / 8.0)
# The most grid points a shape is screened on (three parameters take a fixed sample of the 26³).
MOST_GRID_POINTS = 2000

# Rows a shape is screened on (evenly spaced over the rows, in their order).
SCREEN_ROWS = 48
# Parameter values at which shapes are compared for duplicates: irrational-looking, so that two
# different shapes almost never agree there.
PROBE_PARAMETERS = (0.8377, 1.3319, 0.6151)
# Pairs of operators one directly under the other that undo or repeat each other.
_REDUNDANT = {("Exp", "Ln"), ("Ln", "Exp"), ("Recip", "Recip"), ("Abs", "Abs"), ("Abs", "Square"),
              ("Abs", "Exp"), ("Abs", "Sqrt"), ("Sqrt", "Square"), ("Square", "Sqrt"), ("Recip", "Div")}
COMMUTATIVE = {"Add", "Mul"}


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


def screen_rows(n: int) -> NDArray[np.intp]:
    return np.unique(np.linspace(0, n - 1, min(n, SCREEN_ROWS)).round().astype(np.intp))


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
