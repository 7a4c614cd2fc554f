"""Noise that grows with the value. A measurement whose error is a share of what it measures,
y = law·(1 + ε), spreads the large values more than the small ones; least squares then listens to the
largest rows and the information criterion, which assumes the same noise on every row, may prefer a
wrong shape that bends to them (Antoine's law over two decades of pressure, households' spending over a
range of incomes). For targets of one sign, discover weighs the two models of the noise against each
other on every formula of the ladder's front (and again with the parametric stage's formulas); where the
relative one explains the rows clearly better, the formulas are fitted and ranked on ln(predicted / y),
the fit the log-normal model's likelihood asks for (Carroll and Ruppert, Transformation and Weighting
in Regression, 1988)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from zor._settings import SearchSettings

Array = NDArray[np.float64]

# The relative model must lower −2·log-likelihood by more than this many times ln(rows): as if it cost
# two parameters of the information criterion more, so that data with the same noise on every row,
# whose two models differ by chance, keep their usual fit.
MARGIN_PER_LOG_ROW = 2.0
# The rows the comparison needs: on fewer, formulas of a few constants leave too few residuals for the
# spread of the noise to be told from its size. From ten rows on, with the margin and the law itself as
# the reference, data with the same noise on every row choose the relative model in at most 4 draws in a
# hundred (laws whose values span a factor of 2 to 1000), while noise relative to the value over a factor
# of 20 or more is told in 40 to 60 from 12 rows on: a short law of growth is often measured on fewer
# than 20 rows.
FEWEST_ROWS = 10


def sign_of(target: Array) -> float | None:
    """1.0 or −1.0 when every target is of that sign (none zero), else None."""
    if np.all(target > 0.0):
        return 1.0
    if np.all(target < 0.0):
        return -1.0
    return None


def log_ratios(predicted: Array, target: Array) -> Array | None:
    """ln(predicted / target) on every row; None where a prediction is of the other sign, zero or not
    finite."""
    with np.errstate(all="ignore"):
        ratio = predicted / target
        if not np.all(np.isfinite(ratio) & (ratio > 0.0)):
            return None
        return np.log(ratio)


def relative_error(predicted: Array, target: Array) -> float:
    """The root mean square of ln(predicted / target): about the relative error of a close fit; ∞ where a
    prediction does not share its target's sign."""
    ratios = log_ratios(predicted, target)
    return math.inf if ratios is None else math.sqrt(float(np.mean(ratios * ratios)))


def prefers_relative(fits: Sequence[tuple[int, float, float | None]], target: Array) -> bool:
    """Whether some formula under noise relative to the value explains the rows better than every formula
    under the same noise on every row, by more than the margin: each (complexity, mean squared error of
    its least-squares fit, mean ln(ŷ/y)² of its fit on the log ratios, None where it has none) is weighed
    under both models by the information criterion −2ℓ + complexity·ln(rows) (the likelihoods as in
    is_relative), and the lowest under the relative model must be below the lowest under the usual one
    by MARGIN_PER_LOG_ROW·ln(rows). A single reference formula is not enough:
    the search's choice under the usual model is fitted to the largest values, its relative misfit on the
    smallest ones (where an approximant bends away from the law) then speaks against the relative model
    however clearly the rows carry it."""
    n = len(target)
    if n < FEWEST_ROWS or sign_of(target) is None:
        return False
    log_terms = 2.0 * float(np.sum(np.log(np.abs(target))))
    same_best = relative_best = math.inf
    for complexity, same, relative in fits:
        penalty = complexity * math.log(n)
        if same > 0.0 and math.isfinite(same):
            same_best = min(same_best, n * math.log(same) + penalty)
        if relative is not None and relative > 0.0 and math.isfinite(relative):
            relative_best = min(relative_best, n * math.log(relative) + log_terms + penalty)
    return relative_best < same_best - MARGIN_PER_LOG_ROW * math.log(n)


def is_relative(predicted: Array, target: Array) -> bool:
    """Whether the noise of the target about these predictions is better told as a share of the value
    (log-normal, −2ℓ = n·ln(mean ln(ŷ/y)²) + 2·Σ ln|y|) than as the same on every row (normal,
    −2ℓ = n·ln(mean (ŷ − y)²)), by more than the margin. Both leave out the same constants."""
    n = len(target)
    if n < FEWEST_ROWS or sign_of(target) is None:
        return False
    ratios = log_ratios(predicted, target)
    residual = predicted - target
    same = float(np.mean(residual * residual))
    relative = None if ratios is None else float(np.mean(ratios * ratios))
    if relative is None or not (same > 0.0 and relative > 0.0):
        return False
    same_noise = n * math.log(same)
    relative_noise = n * math.log(relative) + 2.0 * float(np.sum(np.log(np.abs(target))))
    return relative_noise < same_noise - MARGIN_PER_LOG_ROW * math.log(n)


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
