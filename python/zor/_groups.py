"""Dimensionless groups (Buckingham's π theorem): with the variables' and the target's units known, a
law y = f(x₁, …, xₙ) is y = P·g(π₁, …, π_k), where P is a product of powers of the variables with the
target's unit and each π a product of powers without a unit; k is n less the rank of the variables'
dimensions. The search then looks for g over the groups, a problem with fewer variables.

The basis, by rule: a variable without a dimension is a group of its own; the others are split into
r "repeating" variables (r the rank of their dimensions) and the rest, each of which makes one group
with the repeating ones, π = x·∏ rᵢ^(−aᵢ), and P is a product of the repeating ones. Among every
choice of repeating variables whose groups and P have integer or half-integer exponents and are
defined on every row, the one with the fewest tokens wins (the smallest sum of |exponents| as the
tie-breaker, then the earliest in column order). `first_columns` is the textbook rule the benchmark
compares it with: the first independent columns.
"""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from zor import _native
from zor._data import Column
from zor._expression import Token, to_text
from zor._units import Dimension, Units

# The most variables whose choices of repeating variables are all tried (C(12, 6) = 924 choices).
LARGEST_EXHAUSTIVE = 12

Exponents = tuple[Fraction, ...]


@dataclass(frozen=True)
class Reduction:
    """The groups (their exponents over the variables, and tokens) and the factor P with the target's
    unit; `expand` turns a formula over the groups into the formula over the variables."""

    groups: tuple[Exponents, ...]
    factor: Exponents
    group_tokens: tuple[tuple[Token, ...], ...]
    factor_tokens: tuple[Token, ...]
    positive: frozenset[int] = frozenset()  # the variables positive on every row

    def columns(self, columns: Sequence[Column]) -> list[Column]:
        return [_evaluate(tokens, columns) for tokens in self.group_tokens]

    def target(self, columns: Sequence[Column], target: Column) -> Column:
        if not self.factor_tokens:
            return target
        return np.ascontiguousarray(target / _evaluate(self.factor_tokens, columns))

    def expand(self, tokens: Sequence[Token]) -> tuple[Token, ...]:
        """P times the formula, each group written out over the variables."""
        expanded: list[Token] = []
        for token in tokens:
            expanded += self.group_tokens[int(token[1])] if token[0] == "var" else [token]
        if self.factor_tokens:
            expanded = list(self.factor_tokens) + expanded + [("op", "Mul")]
        return combine_monomials(expanded, len(self.factor), self.positive)

    def describe(self, names: Sequence[str]) -> tuple[str, ...]:
        """'π1 = a**3/(G*M)' for each group, then 'P = ...' (when there is a factor)."""
        lines = [f"π{k + 1} = {to_text(tokens, names)}" for k, tokens in enumerate(self.group_tokens)]
        if self.factor_tokens:
            lines.append(f"P = {to_text(self.factor_tokens, names)}")
        return tuple(lines)


_MONOMIAL_POWERS = {"Mul": 1, "Div": -1}
_MONOMIAL_UNARY = {"Square": Fraction(2), "Sqrt": Fraction(1, 2), "Recip": Fraction(-1)}


def combine_monomials(tokens: Sequence[Token], n: int, positive: frozenset[int]) -> tuple[Token, ...]:
    """The tokens with each largest part that is a product of powers of variables written as one
    (P·(m2/m1) with P = m1²·G/r² is m1·m2·G/r²), where that is no longer. A square root is one only of
    variables that are `positive` (√(x²) is |x|)."""
    # Each node: its tokens and its exponents over the variables (None where it is no product of powers).
    stack: list[tuple[list[Token], Exponents | None]] = []
    for token in tokens:
        if token[0] == "var":
            stack.append(([token], tuple(Fraction(int(k == int(token[1]))) for k in range(n))))
        elif token[0] != "op":
            stack.append(([token], None))
        elif token[1] in _MONOMIAL_POWERS:
            (right, b), (left, a) = stack.pop(), stack.pop()
            sign = _MONOMIAL_POWERS[str(token[1])]
            both = None if a is None or b is None else tuple(x + sign * y for x, y in zip(a, b, strict=True))
            stack.append((_settled(left, a, both, positive) + _settled(right, b, both, positive) + [token], both))
        elif token[1] in _MONOMIAL_UNARY and stack:
            inner, a = stack.pop()
            power = _MONOMIAL_UNARY[str(token[1])]
            scaled = None if a is None else tuple(x * power for x in a)
            if token[1] == "Sqrt" and a is not None and any(x and k not in positive for k, x in enumerate(a)):
                scaled = None
            stack.append((_settled(inner, a, scaled, positive) + [token], scaled))
        else:
            arity = 2 if token[1] in ("Add", "Sub", "Zor") else 1
            parts = [stack.pop() for _ in range(arity)][::-1]
            written = [t for part, powers in parts for t in _settled(part, powers, None, positive)]
            stack.append((written + [token], None))
    whole, powers = stack[-1]
    return tuple(_settled(whole, powers, None, positive))


def _settled(tokens: list[Token], exponents: Exponents | None, parent: Exponents | None,
             positive: frozenset[int]) -> list[Token]:
    """A node's tokens once its parent is known: a product of powers whose parent is not one is
    written afresh, where that is no longer than it was."""
    if exponents is None or parent is not None:
        return tokens
    written = _product_tokens(exponents, positive) if any(exponents) else None
    return list(written) if written is not None and len(written) <= len(tokens) else tokens


def _evaluate(tokens: Sequence[Token], columns: Sequence[Column]) -> Column:
    return np.ascontiguousarray(np.asarray(_native.evaluate(list(tokens), list(columns)), dtype=np.float64))


def reduce(units: Units, columns: Sequence[Column], shortest: bool = True) -> Reduction | None:
    """The reduction by the rule of the module's note (or, with `shortest` False, by the first
    independent columns); None where it would not help: no product of the variables has the target's
    unit, or there are no fewer groups than variables and no factor to divide by. Without groups, the
    factor is the one law the units allow (a constant times P)."""
    n = len(units.dimensions)
    if n < 2:
        return None
    dimensional = [k for k in range(n) if any(units.dimensions[k])]
    rank = _rank([units.dimensions[k] for k in dimensional])
    if not dimensional and not any(units.target_dimension):
        return None
    best: tuple[tuple[int, Fraction, tuple[int, ...]], Reduction] | None = None
    choices = itertools.islice(itertools.combinations(dimensional, rank),
                               1 if len(dimensional) > LARGEST_EXHAUSTIVE else None)
    for repeating in choices:
        reduction = _with_repeating(units, columns, repeating)
        if reduction is None:
            continue
        if not shortest:
            return reduction
        tokens = sum(map(len, reduction.group_tokens)) + len(reduction.factor_tokens)
        size = sum((abs(e) for exponents in reduction.groups + (reduction.factor,) for e in exponents), Fraction(0))
        key = (tokens, size, repeating)
        if best is None or key < best[0]:
            best = (key, reduction)
    return None if best is None else best[1]


def reachable(units: Units) -> bool:
    """Whether some product of powers of the variables has the target's unit."""
    dimensional = [units.dimensions[k] for k in range(len(units.dimensions)) if any(units.dimensions[k])]
    basis: list[Dimension] = []
    for dimension in dimensional:  # an independent subset spans what they all span
        if _rank(basis + [dimension]) > len(basis):
            basis.append(dimension)
    return _solve(basis, units.target_dimension) is not None


def _with_repeating(units: Units, columns: Sequence[Column], repeating: tuple[int, ...]) -> Reduction | None:
    n = len(units.dimensions)
    basis = [units.dimensions[k] for k in repeating]
    if _rank(basis) < len(repeating):
        return None
    factor_powers = _solve(basis, units.target_dimension)
    if factor_powers is None:
        return None  # the target's unit is out of the variables' reach: a constant must carry a unit
    groups: list[Exponents] = []
    for k in range(n):
        if k in repeating:
            continue
        powers = _solve(basis, units.dimensions[k])
        if powers is None:
            return None
        exponents = [Fraction(0)] * n
        exponents[k] = Fraction(1)
        for index, power in zip(repeating, powers, strict=True):
            exponents[index] -= power
        groups.append(tuple(exponents))
    factor = [Fraction(0)] * n
    for index, power in zip(repeating, factor_powers, strict=True):
        factor[index] = power
    if len(groups) == n and not any(factor):
        return None  # every variable is a group already and the target has no unit: nothing to reduce
    positive = frozenset(k for k, column in enumerate(columns) if np.all(column > 0.0))
    group_tokens = [_product_tokens(exponents, positive) for exponents in groups]
    factor_tokens = _product_tokens(tuple(factor), positive) if any(factor) else ()
    if any(tokens is None for tokens in group_tokens) or factor_tokens is None:
        return None
    reduction = Reduction(tuple(groups), tuple(factor), tuple(group_tokens), factor_tokens,  # type: ignore[arg-type]
                          positive)
    values = reduction.columns(columns) + ([_evaluate(factor_tokens, columns)] if factor_tokens else [])
    if any(not np.all(np.isfinite(v)) for v in values) or (factor_tokens and np.any(values[-1] == 0.0)):
        return None
    return reduction


def _product_tokens(exponents: Exponents, positive: frozenset[int] = frozenset()) -> tuple[Token, ...] | None:
    """∏ xᵢ^eᵢ as tokens: the numerator's powers multiplied in column order, divided by the
    denominator's; None for an exponent that is not a multiple of 1/2 or larger than 4. With half
    powers of `positive` variables only, the square root of the whole product where that is no longer
    (√(L/g) rather than √L/√g)."""
    each = _powers_tokens(exponents)
    used = [k for k, e in enumerate(exponents) if e]
    if each is None or all(e.denominator == 1 for e in exponents) or any(k not in positive for k in used):
        return each
    doubled = _powers_tokens(tuple(2 * e for e in exponents))
    if doubled is None or len(doubled) + 1 > len(each):
        return each
    return doubled + (("op", "Sqrt"),)


def _powers_tokens(exponents: Exponents) -> tuple[Token, ...] | None:
    def power(k: int, exponent: Fraction) -> list[Token] | None:
        doubled = exponent * 2
        if doubled.denominator != 1 or doubled > 8:
            return None
        whole, half = divmod(int(doubled), 2)
        tokens: list[Token] = [("var", k)]
        if half:
            tokens = [("var", k), ("op", "Sqrt")] if whole == 0 else _integer_power(k, int(doubled)) + [
                ("op", "Sqrt")]
        else:
            tokens = _integer_power(k, whole)
        return tokens

    numerator: list[Token] = []
    denominator: list[Token] = []
    for k, exponent in enumerate(exponents):
        if exponent == 0:
            continue
        part = power(k, abs(exponent))
        if part is None:
            return None
        side = numerator if exponent > 0 else denominator
        side += part if not side else part + [("op", "Mul")]
    if not denominator:
        return tuple(numerator)
    if not numerator:
        return tuple(denominator) + (("op", "Recip"),)
    return tuple(numerator) + tuple(denominator) + (("op", "Div"),)


def _integer_power(k: int, n: int) -> list[Token]:
    if n == 1:
        return [("var", k)]
    if n % 2 == 0:
        return _integer_power(k, n // 2) + [("op", "Square")]
    return [("var", k)] + _integer_power(k, n - 1) + [("op", "Mul")]


def _rank(rows: Sequence[Dimension]) -> int:
    matrix = [list(row) for row in rows]
    rank = 0
    columns = len(matrix[0]) if matrix else 0
    for column in range(columns):
        pivot = next((r for r in range(rank, len(matrix)) if matrix[r][column] != 0), None)
        if pivot is None:
            continue
        matrix[rank], matrix[pivot] = matrix[pivot], matrix[rank]
        for r in range(len(matrix)):
            if r != rank and matrix[r][column] != 0:
                ratio = matrix[r][column] / matrix[rank][column]
                matrix[r] = [a - ratio * b for a, b in zip(matrix[r], matrix[rank], strict=True)]
        rank += 1
    return rank


def _solve(basis: Sequence[Dimension], wanted: Dimension) -> tuple[Fraction, ...] | None:
    """Powers p with Σ pᵢ·basisᵢ = wanted (the basis independent), or None where there are none."""
    if not basis:
        return () if not any(wanted) else None
    m = len(wanted)
    # Rows: one per base dimension; columns: the basis, then the wanted dimension.
    rows = [[basis[j][i] for j in range(len(basis))] + [wanted[i]] for i in range(m)]
    pivots: list[int] = []
    r = 0
    for column in range(len(basis)):
        pivot = next((i for i in range(r, m) if rows[i][column] != 0), None)
        if pivot is None:
            continue
        rows[r], rows[pivot] = rows[pivot], rows[r]
        lead = rows[r][column]
        rows[r] = [value / lead for value in rows[r]]
        for i in range(m):
            if i != r and rows[i][column] != 0:
                ratio = rows[i][column]
                rows[i] = [a - ratio * b for a, b in zip(rows[i], rows[r], strict=True)]
        pivots.append(column)
        r += 1
    if any(rows[i][-1] != 0 for i in range(r, m)):
        return None
    powers = [Fraction(0)] * len(basis)
    for i, column in enumerate(pivots):
        powers[column] = rows[i][-1]
    return tuple(powers)
