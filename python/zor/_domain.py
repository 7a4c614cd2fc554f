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


# The spacings between the distinct values next to an extreme that estimate the gap beyond it.
EDGE_SPACINGS = 2


def reach(columns: Sequence[NDArray[np.float64]]) -> Box:
    """The box the columns span, widened on each side by the gap a further row drawn like them is expected
    to leave beyond their extreme. For rows spread evenly near that extreme, that gap is distributed as
    the spacings between them, so it is estimated by the mean of the EDGE_SPACINGS spacings between the
    distinct values next to the extreme: a year past years 1, 2, 3, ..., a fraction of a decade past
    masses spread evenly over three decades. A variable that never crosses 0 is not widened across it: a
    count or a time that starts at 1 may be 0 next, never negative."""
    widened = []
    for column in columns:
        values = np.unique(column)
        lo, hi = float(values[0]), float(values[-1])
        k = min(EDGE_SPACINGS, len(values) - 1)
        low, high = lo, hi
        if k > 0:
            low, high = lo - (float(values[k]) - lo) / k, hi + (hi - float(values[-1 - k])) / k
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
    pole or a logarithm's 0 between them. A denominator or a logarithm's argument that takes both signs
    on the sample (and is defined, so continuous, over the box) is 0 somewhere inside it; one that only
    touches 0 is found when it is a square or an absolute value of one that crosses it, or when a point
    of the sample lands on it."""
    return _defined_over(tuple(tokens), box)


@functools.lru_cache(maxsize=4096)  # a front's formulas are checked again by predict and the selection
def _defined_over(tokens: tuple[Token, ...], box: Box) -> bool:
    sample = box_sample(box)
    if np.any(undefined_rows(tokens, sample)):
        return False
    for name, operands in _operands(tokens):
        if name in ("Div", "Recip", "Ln"):
            if _crosses_zero(tuple(operands[-1]), box):
                return False
    return True


@functools.lru_cache(maxsize=16384)  # formulas over groups repeat the same denominators many times
def _crosses_zero(tokens: tuple[Token, ...], box: Box) -> bool:
    """Whether a denominator or a logarithm's argument is 0 somewhere in the box: it takes both signs on
    the sample, or it is the square or the absolute value of something that does (ln((c − x)²) is
    positive on the sample but for a point landing on c)."""
    sample = box_sample(box)
    while True:
        values = _values(list(tokens), sample)
        if np.any(values > 0.0) and np.any(values < 0.0):
            return True
        if tokens[-1] not in (("op", "Square"), ("op", "Abs")):
            return False
        tokens = tokens[:-1]


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



def range_text(box: Box, names: Sequence[str]) -> str:
    """The range of each variable the formula was fitted on: "a ∈ [0.387, 30.07], b ∈ [1, 2]"."""
    return ", ".join(f"{name} ∈ [{lo:.6g}, {hi:.6g}]" for (lo, hi), name in zip(box, names))
