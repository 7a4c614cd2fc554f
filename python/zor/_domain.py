"""Where a formula is defined: over the box the data span, not only at the rows the search saw.

A formula undefined between the training rows (a pole of 1/(x - 2.5) in data that skip 2.5, a logarithm
of a difference that turns negative) would fit those rows and fail on the next ones. The box check
evaluates a formula at every corner of the box and at a dense low-discrepancy sample of its inside, both
fixed by the box alone, so the check is deterministic, and looks for poles between the points.
"Undefined" is what the native evaluation gives NaN or an infinity for, and also a zor whose guards take
over (a logarithm argument at or below 0, an exponent above the fold): there zor's value is a stand-in,
not the formula's.
"""

from __future__ import annotations

import functools
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._expression import Token, fold

Box = tuple[tuple[float, float], ...]

# Points of the sample inside the box, and the most corners checked (all of them up to 12 variables; beyond,
# this many chosen by a fixed stream).
INSIDE_POINTS = 4096
MOST_CORNERS = 4096
_PRIMES = (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73, 79, 83, 89, 97)


def box_of(columns: Sequence[NDArray[np.float64]]) -> Box:
    """The smallest and largest value of each column."""
    return tuple((float(np.min(column)), float(np.max(column))) for column in columns)


def reach(box: Box, rows: int) -> Box:
    """The box widened on each side by the gap a further row drawn like `rows` rows is expected to leave
    beyond their extreme, a 1/(rows + 1) share of the range, where rows of the same data would fall one time
    in (rows + 1) / 2. A variable that never crosses 0 is not widened across it: a count or a time that
    starts at 1 may be 0 next, never negative."""
    widened = []
    for lo, hi in box:
        gap = (hi - lo) / (rows + 1)
        low, high = lo - gap, hi + gap
        if lo >= 0.0:
            low = max(low, 0.0)
        if hi <= 0.0:
            high = min(high, 0.0)
        widened.append((low, high))
    return tuple(widened)


def _radical_inverse(index: NDArray[np.int64], base: int) -> NDArray[np.float64]:
    result = np.zeros(index.shape)
    scale = 1.0 / base
    remaining = index.copy()
    while np.any(remaining):
        result += (remaining % base) * scale
        remaining //= base
        scale /= base
    return result


@functools.lru_cache(maxsize=4)  # one search checks its whole front against one box
def box_sample(box: Box) -> tuple[NDArray[np.float64], ...]:
    """The box's corners and a Halton sample of its inside, as one column per variable (a scrambled
    stream of uniform points past 25 variables)."""
    d = len(box)
    low = np.array([lo for lo, _ in box])
    high = np.array([hi for _, hi in box])
    if d <= 12:
        bits = (np.arange(2**d)[:, None] >> np.arange(d)) & 1
    else:
        bits = np.random.default_rng(d).integers(0, 2, size=(MOST_CORNERS, d))
    corners = np.where(bits == 1, high, low)
    index = np.arange(1, INSIDE_POINTS + 1)
    if d <= len(_PRIMES):
        unit = np.column_stack([_radical_inverse(index, p) for p in _PRIMES[:d]])
    else:
        unit = np.random.default_rng(len(box)).random((INSIDE_POINTS, d))
    inside = low + unit * (high - low)
    points = np.vstack([corners, inside])
    columns = tuple(np.ascontiguousarray(points[:, j]) for j in range(d))
    for column in columns:
        column.flags.writeable = False  # shared by every caller of the cache
    return columns


def _operands(tokens: Sequence[Token]) -> list[tuple[str, list[list[Token]]]]:
    """Every operator of the formula with the token lists of its operands, left first."""
    found: list[tuple[str, list[list[Token]]]] = []

    def apply(name: str, *operands: list[Token]) -> list[Token]:
        found.append((name, list(operands)))
        return [token for operand in operands for token in operand] + [("op", name)]

    fold(tokens, lambda token: [token], apply, apply)
    return found


def _values(tokens: list[Token], columns: Sequence[NDArray[np.float64]]) -> NDArray[np.float64]:
    return np.asarray(_native.evaluate(tokens, list(columns)), dtype=np.float64)


def undefined_rows(tokens: Sequence[Token], columns: Sequence[NDArray[np.float64]]) -> NDArray[np.bool_]:
    """Per row, whether the formula is undefined there (see the module's note)."""
    undefined = ~np.isfinite(_values(list(tokens), columns))
    for name, operands in _operands(tokens):
        if name == "Zor":
            a, b = (_values(operand, columns) for operand in operands)
            with np.errstate(invalid="ignore"):
                undefined |= ~(b > 0.0) | ~(a <= _native.ZOR_EXP_FOLD)
    return undefined


def defined_over(tokens: Sequence[Token], box: Box) -> bool:
    """Whether the formula is defined over the whole box: at every point of its sample, and without a
    pole between them. A denominator that takes both signs on the sample (and is defined, so continuous,
    over the box) is 0 somewhere inside it; a pole where a denominator only touches 0 is found only when
    a point of the sample lands on it."""
    sample = box_sample(box)
    if np.any(undefined_rows(tokens, sample)):
        return False
    for name, operands in _operands(tokens):
        if name in ("Div", "Recip"):
            denominator = _values(operands[-1], sample)
            if np.any(denominator > 0.0) and np.any(denominator < 0.0):
                return False
    return True


def outside_note(columns: Sequence[NDArray[np.float64]], rows: NDArray[np.bool_], box: Box,
                 names: Sequence[str]) -> str:
    """Which variable takes the first of `rows` outside the box, and the box's range for it."""
    for row in np.flatnonzero(rows):
        for (lo, hi), column, name in zip(box, columns, names):
            value = float(column[row])
            if not lo <= value <= hi:
                return (f"{name} = {value:.6g} is outside the range [{lo:.6g}, {hi:.6g}] the formula was fitted "
                        f"on")
    return "they lie inside the range the formula was fitted on"

