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

import numpy as np
from numpy.typing import NDArray

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
